// The qex_sim process: its storage files, its ends (--once, a hang-up,
// SIGTERM), its link and its command line.
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "common/sim_process.h"
#include "sim_host.h"

TEST(SimProcessTest, StoragePersistsAcrossTwoSimulators)
{
    const std::string dir = testing::TempDir() + "/qex_sim_storage_" + std::to_string(getpid());
    std::filesystem::remove_all(dir);
    const Bytes data = LcgBytes(4100, 5);
    const uint32_t crc = CalcCRC(data.data(), data.size(), 0);
    {
        SimProcess sim({"--firmware-running", "--storage-dir", dir});
        ASSERT_TRUE(sim.Started()) << sim.Error();
        Line line(sim.PtyPath(), kFw);
        ExpectReply(WriteData(line, STORAGE_SNOR, 0x100, data), ACK, WRITE_CMD, crc);
        line.Close();
        EXPECT_EQ(sim.Stop(), 0);
    }
    EXPECT_EQ(std::filesystem::file_size(dir + "/eflash.bin"), 0x200000u);
    EXPECT_EQ(std::filesystem::file_size(dir + "/snor.bin"), 0x100000u);
    SimProcess sim({"--firmware-running", "--storage-dir", dir});
    ASSERT_TRUE(sim.Started()) << sim.Error();
    Line line(sim.PtyPath(), kFw);
    ProtocolPacket final;
    EXPECT_EQ(ReadData(line, STORAGE_SNOR, 0x100, 4100, &final), data);
    ExpectReply(final, ACK, READ_CMD, crc);
    line.Close();
    sim.Stop();
    std::filesystem::remove_all(dir);
}

TEST(SimProcessTest, OnceEndsWhenTheHostCloses)
{
    SimProcess sim({"--firmware-running", "--once"});
    ASSERT_TRUE(sim.Started()) << sim.Error();
    // Nobody opened the line yet: that is no end.
    EXPECT_EQ(sim.Wait(300), -1);
    {
        Line line(sim.PtyPath(), kFw);
        line.Send(FwCmd(FW_PING));
        ExpectReply(line.ReadPacket(), ACK, FW_PING, 0);
    }
    EXPECT_EQ(sim.Wait(5000), 0);
}

TEST(SimProcessTest, ServesTheNextHostWithoutOnce)
{
    SimProcess sim({"--firmware-running"});
    ASSERT_TRUE(sim.Started()) << sim.Error();
    for (int host = 0; host < 2; ++host) {
        Line line(sim.PtyPath(), kFw);
        // A host that died mid-packet leaves a fragment behind.
        if (host == 0) {
            line.Send(Bytes(10, 0x13));
            line.Close();
            // Give the simulator time to see the line closed.
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            continue;
        }
        line.Send(FwCmd(FW_PING));
        ExpectReply(line.ReadPacket(), ACK, FW_PING, 0);
    }
    EXPECT_EQ(sim.Wait(200), -1);
}

TEST(SimProcessTest, HangupFaultClosesTheLine)
{
    SimProcess sim({"--firmware-running", "--hangup-after", "30"});
    ASSERT_TRUE(sim.Started()) << sim.Error();
    Line line(sim.PtyPath(), kFw);
    line.Send(FwCmd(FW_PING));
    ExpectReply(line.ReadPacket(), ACK, FW_PING, 0);
    line.Send(FwCmd(FW_PING));
    bool hungUp = false;
    EXPECT_TRUE(line.Read(24, 5000, &hungUp).empty());
    EXPECT_TRUE(hungUp);
    EXPECT_EQ(sim.Wait(5000), 0);
}

TEST(SimProcessTest, SigtermEndsCleanlyAndRemovesTheLink)
{
    const std::string link = testing::TempDir() + "/qex_sim_link_" + std::to_string(getpid());
    SimProcess sim({"--link", link});
    ASSERT_TRUE(sim.Started()) << sim.Error();
    EXPECT_EQ(std::filesystem::read_symlink(link).string(), sim.PtyPath());
    {
        Line line(link, kBoot);
        line.Send(kStart);
        ExpectReply(line.ReadPacket(kCbPacketSize), ACK, START_CMD, 0);
    }
    EXPECT_EQ(sim.Stop(), 0);
    EXPECT_FALSE(std::filesystem::is_symlink(link));
}

TEST(SimProcessTest, CommandLine)
{
    struct Case {
        std::vector<std::string> args;
        int exitCode;
        const char* text;  // expected in stdout (exit 0) or stderr
    } cases[] = {
        {{"--help"}, 0, "--line-rate"},
        {{"--bogus"}, 2, "unknown option '--bogus'"},
        {{"--chip", "0xZZ"}, 2, "invalid value '0xZZ' for option '--chip'"},
        {{"--form", "fast"}, 2, "invalid value 'fast'"},
        {{"--nack-chunk"}, 2, "needs a value"},
        {{"--silent-on", "PING"}, 2, "invalid value 'PING' for option '--silent-on'"},
        {{"--reply-latency", "-5"}, 2, "invalid value '-5'"},
        {{"--eflash-size", "0"}, 2, "invalid value '0'"},
        {{"--weak-cells", "snor:0x100"}, 2, "invalid value 'snor:0x100' for option '--weak-cells'"},
        {{"--weak-cells", "flash:0:1"}, 2, "invalid value 'flash:0:1'"},
        {{"--weak-cells", "eflash:0:0"}, 2, "invalid value 'eflash:0:0'"},
        {{"stray"}, 2, "unexpected argument 'stray'"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> argv = {QEX_SIM_PATH};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        const ProcessResult r = RunProcess(argv, "", 10000);
        EXPECT_EQ(r.exitCode, c.exitCode) << c.args[0] << r.err;
        const std::string& where = c.exitCode == 0 ? r.out : r.err;
        EXPECT_NE(where.find(c.text), std::string::npos) << where;
    }
}

// The simulated board over a real pseudo-terminal, running on a thread of
// the test: a small scripted host on the device side drives each exchange.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "common/inproc_sim.h"
#include "sim_board.h"
#include "sim_host.h"
#include "support/build_form.h"
#include "target/storage.h"

TEST(SimStorageSizes, DefaultsFollowTheBankTable)
{
    struct Case {
        uint32_t chip;
        uint64_t eflash;
        uint64_t snor;
    } cases[] = {
        {0x30230, 0x200000, 0x100000},
        {0x20360, 0x200000, 0x200000},
        {0x30360, 0x200000, 0x1BD000},
        {0x30110, 0x200000, 0},
        {0x12345, 0x200000, 0x200000},  // no rows
        {30230, 0x200000, 0x200000},    // decimal is not how the board reports it
    };
    for (const Case& c : cases) {
        uint64_t e = 0;
        uint64_t s = 0;
        DefaultStorageSizes(c.chip, &e, &s);
        EXPECT_EQ(e, c.eflash) << std::hex << c.chip;
        EXPECT_EQ(s, c.snor) << std::hex << c.chip;
    }
}

// The board keeps its own sizes; they must reach exactly as far as the
// host's bank table does for every chip in it, or a whole-bank run against
// the default board would fail on an address the real chip has.
TEST(SimStorageSizes, DefaultsReachAsFarAsEveryBankOfTheHostTable)
{
    std::map<uint32_t, std::pair<uint64_t, uint64_t>> reach;
    for (const StorageBankRow& row : g_storageBankTable) {
        auto& r = reach[DecimalDigitsAsHex(row.chip.chipNumber)];
        r.first = std::max<uint64_t>(r.first, uint64_t{row.bank.eFlashOffset} + row.bank.eFlashSize);
        r.second = std::max<uint64_t>(r.second, uint64_t{row.bank.snorOffset} + row.bank.snorSize);
    }
    ASSERT_EQ(reach.size(), 6u);
    for (const auto& [chip, sizes] : reach) {
        uint64_t e = 0;
        uint64_t s = 0;
        DefaultStorageSizes(chip, &e, &s);
        EXPECT_EQ(e, sizes.first) << std::hex << chip;
        EXPECT_EQ(s, sizes.second) << std::hex << chip;
    }
}

TEST(SimBoot, StartHandshakeImagesAndFirmwareStart)
{
    InProcSim sim({});
    Line line(sim.Path(), kBoot);

    // Junk in front of the start packet is skipped byte by byte.
    line.Send({0x00, 0x5A, 0x13});
    line.Send(kStart);
    ExpectReply(line.ReadPacket(kCbPacketSize), ACK, START_CMD, 0);
    const Bytes extra = line.ReadQuiet(200);
    EXPECT_GT(extra.size(), 0u);
    EXPECT_LE(extra.size(), 50u);

    const Bytes hsm = LcgBytes(0x10000, 1);
    const Bytes zolk = LcgBytes(1000, 2);
    const uint32_t hsmCrc = CalcCRC(hsm.data(), hsm.size(), 0);
    const uint32_t zolkCrc = CalcCRC(zolk.data(), zolk.size(), 0);

    // The firmware image is refused before a good HSM image.
    line.Send(BootCmd(RECEIVE_ZOLK_CMD, 1000, zolkCrc));
    ExpectReply(line.ReadPacket(kCbPacketSize), NACK, RECEIVE_ZOLK_CMD, INVALID_CMD);
    // An announcement with a wrong packet CRC.
    Bytes bad = BootCmd(RECEIVE_HSM_CMD, 0x10000, hsmCrc);
    bad[12] ^= 1;
    line.Send(bad);
    ExpectReply(line.ReadPacket(kCbPacketSize), NACK, RECEIVE_HSM_CMD, FAIL_CALC_CRC_CMD);
    // An image whose bytes do not match the announced CRC.
    line.Send(BootCmd(RECEIVE_HSM_CMD, 0x10000, hsmCrc ^ 1));
    ExpectReply(line.ReadPacket(kCbPacketSize), ACK, RECEIVE_HSM_CMD, 0);
    line.Send(hsm);
    ExpectReply(line.ReadPacket(kCbPacketSize), NACK, RECEIVE_HSM_CMD, FAIL_CALC_CRC_FILE);

    // Good images, the ZOLK one in 4-byte writes like the host sends it.
    line.Send(BootCmd(RECEIVE_HSM_CMD, 0x10000, hsmCrc));
    ExpectReply(line.ReadPacket(kCbPacketSize), ACK, RECEIVE_HSM_CMD, 0);
    line.Send(hsm);
    ExpectReply(line.ReadPacket(kCbPacketSize), ACK, RECEIVE_HSM_CMD, 0);
    line.Send(BootCmd(RECEIVE_ZOLK_CMD, 1000, zolkCrc));
    ExpectReply(line.ReadPacket(kCbPacketSize), ACK, RECEIVE_ZOLK_CMD, 0);
    for (size_t i = 0; i < zolk.size(); i += 4) {
        line.Send(Bytes(zolk.begin() + static_cast<long>(i), zolk.begin() + static_cast<long>(i + 4)));
    }
    ExpectReply(line.ReadPacket(kCbPacketSize), ACK, RECEIVE_ZOLK_CMD, 0);
    const Bytes text = line.ReadQuiet(200);
    EXPECT_GT(text.size(), 0u);
    EXPECT_LT(text.size(), 100u);

    // The firmware answers at its own speed only.
    line.Send(FwCmd(FW_PING));
    EXPECT_TRUE(line.ReadQuiet(300).empty());
    line.SetBaud(kFw);
    line.Send(FwCmd(FW_PING));
    ExpectReply(line.ReadPacket(), ACK, FW_PING, 0);
}

TEST(SimFirmware, SinglePacketAnswers)
{
    InProcSim sim({"--firmware-running", "--chip", "0x30230", "--expand-flash", "--ecc"});
    Line line(sim.Path(), kFw);
    Bytes badCrc = FwCmd(FW_PING);
    badCrc[23] ^= 0x80;
    struct Case {
        const char* what;
        Bytes packet;
        uint32_t type, p0, p1;
    } cases[] = {
        {"ping", FwCmd(FW_PING), ACK, FW_PING, 0},
        {"bad packet CRC", badCrc, NACK, FW_PING, FAIL_CALC_CRC_CMD},
        {"unknown code", FwCmd(VERSION_CMD), NACK, VERSION_CMD, INVALID_CMD},
        {"unknown storage", FwCmd(WRITE_CMD, 0, 16, 0, 0), NACK, WRITE_CMD, INVALID_CMD},
        {"write past eflash", FwCmd(WRITE_CMD, STORAGE_EFLASH, 0x1000, 0x1FF001, 0), NACK, WRITE_CMD, INVALID_CMD},
        {"read past snor", FwCmd(READ_CMD, STORAGE_SNOR, 0x100001, 0, 0), NACK, READ_CMD, INVALID_CMD},
        {"window wrapping 32 bits", FwCmd(READ_CMD, STORAGE_EFLASH, 0x10, 0xFFFFFFF8u, 0), NACK, READ_CMD,
         INVALID_CMD},
        {"empty write", FwCmd(WRITE_CMD, STORAGE_SNOR, 0, 0x100000, 0), ACK, WRITE_CMD, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        line.Send(c.packet);
        ExpectReply(line.ReadPacket(), c.type, c.p0, c.p1);
    }
    // The empty write ends at once with its final ACK (CRC of nothing: 0).
    ExpectReply(line.ReadPacket(), ACK, WRITE_CMD, 0);
    EXPECT_TRUE(line.ReadQuiet(200).empty());
}

TEST(SimFirmware, StorageAndChipInformation)
{
    InProcSim sim({"--firmware-running", "--chip", "20360", "--expand-flash", "--dual-bank"});
    Line line(sim.Path(), kFw);
    line.Send(FwCmd(STORAGE_INFO_CMD));
    const ProtocolPacket ack = line.ReadPacket();
    ExpectReply(ack, ACK, STORAGE_INFO_CMD, ack.param[1]);
    ASSERT_GT(ack.param[1], 0u);
    ASSERT_LT(ack.param[1], 200u);
    const Bytes text = line.Read(ack.param[1]);
    const std::string s(text.begin(), text.end());
    EXPECT_NE(s.find("0x20360"), std::string::npos) << s;
    EXPECT_NE(s.find("0x200000"), std::string::npos) << s;

    line.Send(FwCmd(CHIP_INFO_CMD));
    ExpectReply(line.ReadPacket(), ACK, CHIP_INFO_CMD, 0);
    const ProtocolPacket info = line.ReadPacket();
    EXPECT_NE(info.param[0], 0u);  // dual bank
    EXPECT_NE(info.param[1], 0u);  // expand flash
    EXPECT_EQ(info.param[2], 0x20360u);
    EXPECT_EQ(info.param[3], 0u);  // ECC
    EXPECT_TRUE(line.ReadQuiet(200).empty());
}

TEST(SimFirmware, WriteReadBackAndLowFormat)
{
    InProcSim sim({"--firmware-running", "--format-ms", "50"});
    Line line(sim.Path(), kFw);
    ExpectWriteAndReadBack(line, STORAGE_EFLASH, 0x1000, LcgBytes(5000, 7));
    ProtocolPacket final;
    // Around the window the storage is still erased.
    const Bytes around = ReadData(line, STORAGE_EFLASH, 0xFFF, 1, &final);
    EXPECT_EQ(around, Bytes{0xFF});

    line.Send(FwCmd(LOW_FORMAT_CMD));
    ExpectReply(line.ReadPacket(), ACK, LOW_FORMAT_CMD, 0);
    ExpectReply(line.ReadPacket(), ACK, LOW_FORMAT_CMD, 0);
    EXPECT_EQ(ReadData(line, STORAGE_EFLASH, 0x1000, 5000, &final), Bytes(5000, 0xFF));
}

TEST(SimFirmware, ChunkCrcMismatchIsResentInBothDirections)
{
    InProcSim sim({"--firmware-running"});
    Line line(sim.Path(), kFw);
    const Bytes data = LcgBytes(3000, 9);
    const uint32_t crc0 = CalcCRC(data.data(), 2048, 0);
    const uint32_t crcAll = CalcCRC(data.data(), data.size(), 0);

    // Write: a chunk whose header CRC does not match is refused, and taken
    // when it comes again intact.
    line.Send(FwCmd(WRITE_CMD, STORAGE_SNOR, 3000, 0, crcAll));
    ExpectReply(line.ReadPacket(), ACK, WRITE_CMD, 0);
    Bytes first = Wire(ProtocolPacket{ACK, {crc0, 0, 0, 0, 0}}, kFwPacketSize);
    first.insert(first.end(), data.begin(), data.begin() + 2048);
    Bytes damaged = first;
    damaged[100] ^= 0x01;
    line.Send(damaged);
    ExpectReply(line.ReadPacket(), NACK, WRITE_CMD, FAIL_CALC_CRC_FILE);
    line.Send(first);
    ExpectReply(line.ReadPacket(), CHUNK_ACK, WRITE_CMD, crc0);
    Bytes second = Wire(ProtocolPacket{ACK, {crcAll, 0, 0, 0, 0}}, kFwPacketSize);
    second.insert(second.end(), data.begin() + 2048, data.end());
    line.Send(second);
    ExpectReply(line.ReadPacket(), CHUNK_ACK, WRITE_CMD, crcAll);
    ExpectReply(line.ReadPacket(), ACK, WRITE_CMD, crcAll);

    // Dump: a NACK from the host brings the same chunk again.
    line.Send(FwCmd(READ_CMD, STORAGE_SNOR, 3000, 0));
    ExpectReply(line.ReadPacket(), ACK, READ_CMD, 0);
    EXPECT_EQ(line.ReadPacket().param[1], crc0);
    EXPECT_EQ(line.Read(2048), Bytes(data.begin(), data.begin() + 2048));
    line.Send(Wire(ProtocolPacket{NACK, {READ_CMD, FAIL_CALC_CRC_FILE, 0, 0, 0}}, kFwPacketSize));
    EXPECT_EQ(line.ReadPacket().param[1], crc0);
    EXPECT_EQ(line.Read(2048), Bytes(data.begin(), data.begin() + 2048));
    line.Send(Wire(ProtocolPacket{CHUNK_ACK, {READ_CMD, crc0, 0, 0, 0}}, kFwPacketSize));
    EXPECT_EQ(line.ReadPacket().param[1], crcAll);
    EXPECT_EQ(line.Read(952), Bytes(data.begin() + 2048, data.end()));
    line.Send(Wire(ProtocolPacket{CHUNK_ACK, {READ_CMD, crcAll, 0, 0, 0}}, kFwPacketSize));
    ExpectReply(line.ReadPacket(), ACK, READ_CMD, crcAll);
}

TEST(SimLine, SpeedsOfTheForms)
{
    struct Case {
        std::vector<std::string> args;
        uint32_t baud;
        bool answered;
    } cases[] = {
        {{"--firmware-running"}, 460800, true},
        {{"--firmware-running"}, 57600, false},
        {{"--firmware-running"}, 921600, false},
        {{"--firmware-running", "--form", "per-chip"}, 921600, true},
        {{"--firmware-running", "--form", "per-chip"}, 460800, false},
        {{"--firmware-running", "--any-speed"}, 9600, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args) + " at " + std::to_string(c.baud));
        InProcSim sim(c.args);
        Line line(sim.Path(), c.baud);
        line.Send(FwCmd(FW_PING));
        const Bytes answer = line.ReadQuiet(300);
        EXPECT_EQ(answer.size(), c.answered ? 24u : 0u);
    }
    // The boot ROM of the per-chip forms listens at 115200 only.
    InProcSim sim({"--form", "per-chip"});
    Line line(sim.Path(), 57600);
    line.Send(kStart);
    EXPECT_TRUE(line.ReadQuiet(300).empty());
    line.SetBaud(115200);
    line.Send(kStart);
    ExpectReply(line.ReadPacket(kCbPacketSize), ACK, START_CMD, 0);
}

// Faults, each with the script of a host that meets it.

TEST(SimLine, LineRatePacingKeepsTheDataIntact)
{
    InProcSim sim({"--firmware-running", "--line-rate"});
    Line line(sim.Path(), kFw);
    ExpectWriteAndReadBack(line, STORAGE_EFLASH, 0x20, LcgBytes(10000, 11));
}

// --reply-latency holds each answer back as a USB adapter's latency timer
// does: nothing comes before the delay, all of it right after.
TEST(SimLine, ReplyLatencyHoldsEveryAnswerBack)
{
    InProcSim sim({"--firmware-running", "--reply-latency", "300"});
    Line line(sim.Path(), kFw);
    for (int i = 0; i < 2; ++i) {
        SCOPED_TRACE(i);
        const int64_t sent = NowMs();
        line.Send(FwCmd(FW_PING));
        EXPECT_TRUE(line.Read(1, 250).empty());
        ExpectReply(line.ReadPacket(), ACK, FW_PING, 0);
        EXPECT_LT(NowMs() - sent, 300 + 2000);
    }
}

TEST(SimLine, TraceNamesEveryPacket)
{
    const std::string path = testing::TempDir() + "/qex_sim_trace.jsonl";
    {
        InProcSim sim({"--firmware-running", "--trace", path});
        Line line(sim.Path(), kFw);
        line.Send(FwCmd(FW_PING));
        line.ReadPacket();
        line.Send(FwCmd(STORAGE_INFO_CMD));
        line.Read(line.ReadPacket().param[1]);
    }
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string l; std::getline(in, l);) {
        lines.push_back(l);
    }
    ASSERT_GE(lines.size(), 5u);
    EXPECT_NE(lines[0].find("\"dir\":\"rx\",\"baud\":460800,\"words\":[{\"v\":\"0xAAAA0013\",\"name\":\"FW_PING\"}"),
              std::string::npos)
        << lines[0];
    EXPECT_NE(lines[1].find("\"dir\":\"tx\""), std::string::npos) << lines[1];
    EXPECT_NE(lines[1].find("\"name\":\"ACK\""), std::string::npos) << lines[1];
    EXPECT_NE(lines[4].find("\"data\":"), std::string::npos) << lines[4];
}

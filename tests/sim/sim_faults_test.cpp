// Every fault qex_sim plays, each with the script of a host that meets it,
// over a real pseudo-terminal.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "common/inproc_sim.h"
#include "sim_host.h"

TEST(SimFaults, EachFaultAsTheHostSeesIt)
{
    const Bytes data = LcgBytes(5000, 3);
    const uint32_t crcAll = CalcCRC(data.data(), data.size(), 0);
    struct Case {
        const char* name;
        std::vector<std::string> args;
        std::function<void(Line&)> script;
    } cases[] = {
        {"refuse-start",
         {"--refuse-start", "2"},
         [](Line& line) {
             line.SetBaud(kBoot);
             for (int i = 0; i < 2; ++i) {
                 line.Send(kStart);
                 ExpectReply(line.ReadPacket(kCbPacketSize), NACK, START_CMD, INVALID_CMD);
             }
             line.Send(kStart);
             ExpectReply(line.ReadPacket(kCbPacketSize), ACK, START_CMD, 0);
         }},
        {"refuse-image",
         {"--refuse-image"},
         [](Line& line) {
             line.SetBaud(kBoot);
             line.Send(kStart);
             line.ReadQuiet(200);
             const Bytes hsm = LcgBytes(0x10000, 4);
             line.Send(BootCmd(RECEIVE_HSM_CMD, 0x10000, CalcCRC(hsm.data(), hsm.size(), 0)));
             ExpectReply(line.ReadPacket(kCbPacketSize), ACK, RECEIVE_HSM_CMD, 0);
             line.Send(hsm);
             ExpectReply(line.ReadPacket(kCbPacketSize), NACK, RECEIVE_HSM_CMD, FAIL_CALC_CRC_FILE);
         }},
        {"nack-chunk",
         {"--firmware-running", "--nack-chunk", "1"},
         [&](Line& line) {
             line.Send(FwCmd(WRITE_CMD, STORAGE_EFLASH, 5000, 0, crcAll));
             ExpectReply(line.ReadPacket(), ACK, WRITE_CMD, 0);
             uint32_t crc = 0;
             int nacks = 0;
             for (size_t pos = 0; pos < data.size();) {
                 const size_t n = std::min<size_t>(2048, data.size() - pos);
                 const uint32_t next = CalcCRC(data.data() + pos, n, crc);
                 Bytes msg = Wire(ProtocolPacket{ACK, {next, 0, 0, 0, 0}}, kFwPacketSize);
                 msg.insert(msg.end(), data.begin() + static_cast<long>(pos),
                            data.begin() + static_cast<long>(pos + n));
                 line.Send(msg);
                 const ProtocolPacket reply = line.ReadPacket();
                 if (reply.cmdType == NACK) {
                     EXPECT_EQ(pos, 2048u);
                     EXPECT_EQ(reply.param[1], FAIL_CALC_CRC_FILE);
                     ++nacks;
                     continue;
                 }
                 ASSERT_EQ(reply.cmdType, CHUNK_ACK);
                 crc = next;
                 pos += n;
             }
             EXPECT_EQ(nacks, 1);
             ExpectReply(line.ReadPacket(), ACK, WRITE_CMD, crcAll);
         }},
        {"reject-chunk",
         {"--firmware-running", "--reject-chunk", "0"},
         [&](Line& line) {
             line.Send(FwCmd(WRITE_CMD, STORAGE_EFLASH, 5000, 0, crcAll));
             ExpectReply(line.ReadPacket(), ACK, WRITE_CMD, 0);
             Bytes msg = Wire(ProtocolPacket{ACK, {CalcCRC(data.data(), 2048, 0), 0, 0, 0, 0}}, kFwPacketSize);
             msg.insert(msg.end(), data.begin(), data.begin() + 2048);
             line.Send(msg);
             ExpectReply(line.ReadPacket(), NACK, WRITE_CMD, INVALID_CMD);
             // The write is over; the firmware takes commands again.
             line.Send(FwCmd(FW_PING));
             ExpectReply(line.ReadPacket(), ACK, FW_PING, 0);
         }},
        {"corrupt-dump-chunk",
         {"--firmware-running", "--corrupt-dump-chunk", "0"},
         [](Line& line) {
             line.Send(FwCmd(READ_CMD, STORAGE_EFLASH, 100, 0));
             ExpectReply(line.ReadPacket(), ACK, READ_CMD, 0);
             const uint32_t good = CalcCRC(Bytes(100, 0xFF).data(), 100, 0);
             EXPECT_EQ(line.ReadPacket().param[1], good);
             const Bytes damaged = line.Read(100);
             EXPECT_NE(damaged, Bytes(100, 0xFF));
             line.Send(Wire(ProtocolPacket{NACK, {READ_CMD, FAIL_CALC_CRC_FILE, 0, 0, 0}}, kFwPacketSize));
             EXPECT_EQ(line.ReadPacket().param[1], good);
             EXPECT_EQ(line.Read(100), Bytes(100, 0xFF));
             line.Send(Wire(ProtocolPacket{CHUNK_ACK, {READ_CMD, good, 0, 0, 0}}, kFwPacketSize));
             ExpectReply(line.ReadPacket(), ACK, READ_CMD, good);
         }},
        {"bad-final-crc",
         {"--firmware-running", "--bad-final-crc"},
         [&](Line& line) {
             const ProtocolPacket final = WriteData(line, STORAGE_SNOR, 0, data);
             EXPECT_EQ(final.cmdType, ACK);
             EXPECT_NE(final.param[1], crcAll);
             ProtocolPacket dumpFinal;
             EXPECT_EQ(ReadData(line, STORAGE_SNOR, 0, 5000, &dumpFinal), data);
             EXPECT_NE(dumpFinal.param[1], crcAll);
         }},
        {"nack-format",
         {"--firmware-running", "--nack-format", "--format-ms", "10"},
         [](Line& line) {
             line.Send(FwCmd(LOW_FORMAT_CMD));
             ExpectReply(line.ReadPacket(), ACK, LOW_FORMAT_CMD, 0);
             EXPECT_EQ(line.ReadPacket().cmdType, NACK);
         }},
        {"silent-after",
         {"--firmware-running", "--silent-after", "30"},
         [](Line& line) {
             line.Send(FwCmd(FW_PING));
             ExpectReply(line.ReadPacket(), ACK, FW_PING, 0);
             line.Send(FwCmd(FW_PING));
             EXPECT_TRUE(line.ReadQuiet(300).empty());
         }},
        {"silent-on",
         {"--firmware-running", "--silent-on", "STORAGE_INFO_CMD"},
         [](Line& line) {
             line.Send(FwCmd(FW_PING));
             ExpectReply(line.ReadPacket(), ACK, FW_PING, 0);
             line.Send(FwCmd(STORAGE_INFO_CMD));
             EXPECT_TRUE(line.ReadQuiet(300).empty());
             line.Send(FwCmd(FW_PING));
             EXPECT_TRUE(line.ReadQuiet(300).empty());
         }},
        {"silent-after-ack of a command",
         {"--firmware-running", "--silent-after-ack", "CHIP_INFO_CMD"},
         [](Line& line) {
             line.Send(FwCmd(CHIP_INFO_CMD));
             ExpectReply(line.ReadPacket(), ACK, CHIP_INFO_CMD, 0);
             EXPECT_TRUE(line.ReadQuiet(300).empty());  // no chip information block
         }},
        {"silent-after-ack of the start packet",
         {"--silent-after-ack", "START_CMD"},
         [](Line& line) {
             line.SetBaud(kBoot);
             line.Send(kStart);
             ExpectReply(line.ReadPacket(kCbPacketSize), ACK, START_CMD, 0);
             EXPECT_TRUE(line.ReadQuiet(300).empty());  // not even the boot ROM's banner
         }},
        {"refuse-command",
         {"--firmware-running", "--refuse-command", "FW_PING"},
         [](Line& line) {
             for (int i = 0; i < 2; ++i) {
                 line.Send(FwCmd(FW_PING));
                 ExpectReply(line.ReadPacket(), NACK, FW_PING, INVALID_CMD);
             }
             line.Send(FwCmd(CHIP_INFO_CMD));
             ExpectReply(line.ReadPacket(), ACK, CHIP_INFO_CMD, 0);
         }},
        {"weak-cells",
         {"--firmware-running", "--weak-cells", "snor:0x10FF:3", "--weak-cells", "eflash:0x1000:1"},
         [&](Line& line) {
             // The write's CRC is that of what arrived; the flash keeps all
             // but the weak bytes, which read as erased. The weak byte of
             // eflash is at the same address and leaves snor alone.
             ExpectReply(WriteData(line, STORAGE_SNOR, 0x1000, data), ACK, WRITE_CMD, crcAll);
             Bytes kept = data;
             kept[0xFF] = kept[0x100] = kept[0x101] = 0xFF;
             ProtocolPacket final;
             EXPECT_EQ(ReadData(line, STORAGE_SNOR, 0x1000, 5000, &final), kept);
         }},
        {"reset-after",
         {"--firmware-running", "--reset-after", "24"},
         [](Line& line) {
             line.Send(FwCmd(FW_PING));
             EXPECT_TRUE(line.ReadQuiet(300).empty());
             line.Send(FwCmd(FW_PING));
             EXPECT_TRUE(line.ReadQuiet(300).empty());
             line.SetBaud(kBoot);
             line.Send(kStart);
             ExpectReply(line.ReadPacket(kCbPacketSize), ACK, START_CMD, 0);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        InProcSim sim(c.args);
        Line line(sim.Path(), kFw);
        c.script(line);
    }
}

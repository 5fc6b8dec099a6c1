// The boot protocol, and the answer checks both protocols share, against a
// scripted target on a pty.
#include <regex>

#include "protocol/protocol_cb.h"
#include "protocol/protocol_fw.h"
#include "common/pty_pair.h"
#include "protocol_fixture.h"
#include "support/zolk_args.h"

using CbTest = ProtocolTest;

TEST_F(CbTest, StartPacketOnTheWireAndARefusedAnswer)
{
    std::vector<std::vector<uint8_t>> sent;
    RunPeer([&](PtyPair& p) {
        for (int attempt = 0; attempt < 40; ++attempt) {
            std::vector<uint8_t> bytes = p.Read(16);
            if (bytes.size() != 16) {
                return;
            }
            sent.push_back(bytes);
            if (attempt == 0) {
                p.Write(Wire(Packet(ACK, RECEIVE_HSM_CMD), 16));  // ACK for something else: refused
                continue;
            }
            std::vector<uint8_t> answer = Wire(Packet(ACK, START_CMD), 16);
            const std::string trailer = "boot rom says hello";
            answer.insert(answer.end(), trailer.begin(), trailer.end());
            p.Write(answer);
            return;
        }
    });
    ProtocolCB cb(&port);
    testing::internal::CaptureStdout();
    const bool ok = cb.StartQEXZOLK();
    const std::string out = testing::internal::GetCapturedStdout();
    JoinPeer();

    EXPECT_TRUE(ok) << out;
    ASSERT_GE(sent.size(), 2u);
    std::vector<uint8_t> expected = {0x5A, 0x4F, 0x4C, 0x4B};
    expected.resize(16, 0);
    for (const auto& packet : sent) {
        EXPECT_EQ(packet, expected);
    }
    // The count's line ends before the next message.
    EXPECT_NE(out.find("\rRetry : 0\n[ProtocolCB::StartQEXZOLK:"), std::string::npos) << out;
    EXPECT_NE(out.find("Complete to receive start res\n"), std::string::npos);
    // The boot ROM's chatter after its answer was taken up.
    uint8_t rest[64];
    uint32_t got = 0;
    EXPECT_TRUE(port.ReadDataTimeout(rest, sizeof(rest), &got, 1));
    EXPECT_EQ(got, 0u);
}

// A silent boot ROM: the count runs 0 to 30 on one line, then the prompt.
TEST_F(CbTest, SilentBootRomGetsTheResetPrompt)
{
    ProtocolCB cb(&port);
    testing::internal::CaptureStdout();
    const bool ok = cb.StartQEXZOLK();
    const std::string out = testing::internal::GetCapturedStdout();

    EXPECT_FALSE(ok);
    std::string counts;
    for (int i = 0; i <= 30; ++i) {
        counts += "\rRetry : " + std::to_string(i);
    }
    counts += "\n";
    const size_t at = out.find(counts);
    ASSERT_NE(at, std::string::npos) << out;
    EXPECT_EQ(out.find("Retry : 31"), std::string::npos);
    const size_t prompt = out.find("Please reset target board and retry zolk\n");
    EXPECT_NE(prompt, std::string::npos);
    EXPECT_GT(prompt, at);
    EXPECT_EQ(pty.ReadUntilQuiet(50, 2000).size(), 31u * 16u);
}

struct AnnounceCase {
    const char* name;
    uint32_t code;
    size_t fileSize;
    uint64_t offset;
    uint64_t size;
    uint32_t imageSize;
};
void PrintTo(const AnnounceCase& c, std::ostream* os)
{
    *os << c.name;
}

class CbAnnounceTest : public ProtocolTest, public testing::WithParamInterface<AnnounceCase> {};

TEST_P(CbAnnounceTest, AnnouncementCarriesTheImageSizeAndCrc)
{
    const AnnounceCase& c = GetParam();
    const std::vector<uint8_t> data = RandomBytes(c.fileSize, 31);
    std::string path = MakeFile("image.bin", data);
    ZOLKArgs args;
    args.pWriteFileName = path.data();
    args.ullFileOffset = c.offset;
    args.ullSize = c.size;

    ProtocolCB cb(&port);
    const ProtocolPacket packet = cb.MakeCmdPacket(c.code, &args);
    ASSERT_TRUE(cb.SendCommand(&packet));
    const std::vector<uint8_t> wire = pty.Read(16);
    EXPECT_TRUE(pty.ReadUntilQuiet(50, 500).empty());  // 16 bytes only
    ASSERT_EQ(wire.size(), 16u);
    EXPECT_EQ(GetLE32(wire.data()), c.code);
    EXPECT_EQ(GetLE32(wire.data() + 4), c.imageSize);
    EXPECT_EQ(GetLE32(wire.data() + 8), Crc(data, c.offset, c.imageSize));
    EXPECT_EQ(GetLE32(wire.data() + 12), CalcCRC(wire.data(), 12, 0));
}

INSTANTIATE_TEST_SUITE_P(
    Images, CbAnnounceTest,
    testing::Values(AnnounceCase{"Hsm", RECEIVE_HSM_CMD, 0x2000 + 0x10000 + 100, 0x2000, 0x10000, 0x10000},
                    AnnounceCase{"ZolkFirmware", RECEIVE_ZOLK_CMD, 10, 0, 0, 10}),
    [](const testing::TestParamInfo<AnnounceCase>& info) { return std::string(info.param.name); });

struct ImageCase {
    const char* name;
    size_t fileSize;
    uint32_t offset;
    uint32_t size;
    uint32_t answerCode;  // param[0] of the boot ROM's final answer
    bool ok;
};
void PrintTo(const ImageCase& c, std::ostream* os)
{
    *os << c.name;
}

class CbImageTest : public ProtocolTest, public testing::WithParamInterface<ImageCase> {};

// The image goes out raw in writes of at most 4 bytes; the progress line
// advances by the bytes of each write.
TEST_P(CbImageTest, ImageBytesThenTheFinalAnswer)
{
    const ImageCase& c = GetParam();
    const std::vector<uint8_t> data = RandomBytes(c.fileSize, 32);
    const std::string path = MakeFile("fw.bin", data);
    const uint32_t total = c.size != 0 ? c.size : static_cast<uint32_t>(c.fileSize) - c.offset;
    std::vector<uint8_t> received;
    RunPeer([&](PtyPair& p) {
        received = p.Read(total);
        p.Write(Wire(Packet(ACK, c.answerCode), 16));
    });
    ProtocolCB cb(&port);
    testing::internal::CaptureStdout();
    const bool ok = cb.SendFileAndRecvRes(path.c_str(), RECEIVE_ZOLK_CMD, c.offset, c.size);
    const std::string out = testing::internal::GetCapturedStdout();
    JoinPeer();

    EXPECT_EQ(ok, c.ok) << out;
    EXPECT_EQ(received, std::vector<uint8_t>(data.begin() + c.offset, data.begin() + c.offset + total));
    EXPECT_TRUE(pty.ReadUntilQuiet(50, 500).empty());
    EXPECT_NE(out.find("Complete to send file\n"), std::string::npos);

    std::vector<uint32_t> counts;
    const std::regex picture("\\] (\\d+)/" + std::to_string(total));
    for (auto it = std::sregex_iterator(out.begin(), out.end(), picture); it != std::sregex_iterator(); ++it) {
        counts.push_back(static_cast<uint32_t>(std::stoul((*it)[1])));
    }
    if (total == 10) {
        // Off a terminal only a new percent is drawn, so every write shows.
        EXPECT_EQ(counts, (std::vector<uint32_t>{4, 8, 10}));
    }
    if (!c.ok) {
        EXPECT_NE(out.find("Invalid cmd of res(0xFFFF0000(RECEIVE_HSM_CMD))\n"), std::string::npos) << out;
        EXPECT_NE(out.find("[ProtocolCB::DumpPacket:"), std::string::npos);
        EXPECT_NE(out.find("\tParam2 : "), std::string::npos);
        EXPECT_EQ(out.find("\tParam3 : "), std::string::npos);
    }
}

INSTANTIATE_TEST_SUITE_P(Images, CbImageTest,
                         testing::Values(ImageCase{"TenByteFirmware", 10, 0, 0, RECEIVE_ZOLK_CMD, true},
                                         ImageCase{"RegionOfAFile", 40, 8, 20, RECEIVE_ZOLK_CMD, true},
                                         ImageCase{"AnswerNamesAnotherImage", 10, 0, 0, RECEIVE_HSM_CMD, false}),
                         [](const testing::TestParamInfo<ImageCase>& info) { return std::string(info.param.name); });

TEST_F(CbTest, ImageRegionPastTheEndIsRefusedBeforeAnythingIsSent)
{
    const std::string path = MakeFile("hsm.bin", RandomBytes(0x2000 + 100, 33));
    ProtocolCB cb(&port);
    testing::internal::CaptureStdout();
    const bool ok = cb.SendFileAndRecvRes(path.c_str(), RECEIVE_HSM_CMD, 0x2000, 0x10000);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_FALSE(ok);
    EXPECT_NE(out.find("[ProtocolCB::SendFile:"), std::string::npos);
    EXPECT_NE(out.find("Write region(offset 8192, size 65536) runs past the end of " + path + " (8292 bytes)\n"),
              std::string::npos)
        << out;
    EXPECT_TRUE(pty.ReadUntilQuiet(50, 500).empty());
}

struct AnswerCase {
    const char* name;
    bool boot;
    uint32_t cmd;
    bool silent;  // the target sends nothing: the read times out with zeros
    ProtocolPacket answer;
    bool ok;
    std::vector<std::string> present;
    std::vector<std::string> absent;
};
void PrintTo(const AnswerCase& c, std::ostream* os)
{
    *os << c.name;
}

class AnswerTest : public ProtocolTest, public testing::WithParamInterface<AnswerCase> {};

TEST_P(AnswerTest, AnswerIsCheckedAgainstTheCommand)
{
    const AnswerCase& c = GetParam();
    // The short time-outs of the firmware ping: a silent target yields zeros.
    ASSERT_TRUE(port.SetCommunicationTimeouts(10, 10, 10, 10, 10));
    const uint32_t size = c.boot ? kCbPacketSize : kFwPacketSize;
    if (!c.silent) {
        pty.Write(Wire(c.answer, size));
    }
    ProtocolFW fw(&port);
    ProtocolCB cb(&port);
    ZolkProtocol& protocol = c.boot ? static_cast<ZolkProtocol&>(cb) : static_cast<ZolkProtocol&>(fw);
    ProtocolPacket res = Packet(1, 2, 3, 4, 5, 6);
    testing::internal::CaptureStdout();
    const bool ok = protocol.RecvResPacket(c.cmd, &res, 100);
    const std::string out = testing::internal::GetCapturedStdout();

    EXPECT_EQ(ok, c.ok);
    EXPECT_EQ(res.cmdType, c.silent ? 0u : c.answer.cmdType);
    for (const std::string& text : c.present) {
        EXPECT_NE(out.find(text), std::string::npos) << text << "\n--- in ---\n" << out;
    }
    for (const std::string& text : c.absent) {
        EXPECT_EQ(out.find(text), std::string::npos) << text << "\n--- in ---\n" << out;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Answers, AnswerTest,
    testing::Values(
        AnswerCase{"FwAccepted", false, WRITE_CMD, false, Packet(ACK, WRITE_CMD, 0x99), true,
                   {"[ProtocolFW::CheckResPacket:", "Complete to receive ack for cmd(0xAAAA0011(WRITE_CMD))\n"},
                   {"Dump Packet", "Receved CRC"}},
        AnswerCase{"FwWrongCommand", false, WRITE_CMD, false, Packet(ACK, READ_CMD), false,
                   {"Invalid cmd of res(0xAAAA0012(READ_CMD))\n", "[ProtocolFW::DumpPacket:",
                    "\tCmd type : 0xFFFF0010(ACK)\n", "\tParam4 : 0x0(Unknown define)\n"},
                   {"Received NACK"}},
        AnswerCase{"FwNack", false, WRITE_CMD, false, Packet(NACK, WRITE_CMD, FAIL_CALC_CRC_FILE), false,
                   {"Received NACK\n", "\tParam1 : 0xFFFF0100(FAIL_CALC_CRC_FILE)\n"},
                   {"Invalid cmd"}},
        AnswerCase{"FwUnknown", false, LOW_FORMAT_CMD, false, Packet(CHUNK_ACK, LOW_FORMAT_CMD), false,
                   {"Unknown response\n", "\tCmd type : 0xFFFF0012(Unknown define)\n",
                    "\tParam0 : 0xAAAA0015(LOW_FORMAT_CMD)\n"},
                   {}},
        AnswerCase{"FwTimedOutZeros", false, STORAGE_INFO_CMD, true, {}, false,
                   {"Invalid cmd of res(0x0(Unknown define))\n", "\tCmd type : 0x0(Unknown define)\n"},
                   {}},
        AnswerCase{"FwPingRefusedSilently", false, FW_PING, true, {}, false, {}, {"Invalid", "Dump", "NACK"}},
        AnswerCase{"FwPingNackSilently", false, FW_PING, false, Packet(NACK, FW_PING), false, {}, {"NACK", "Dump"}},
        AnswerCase{"CbPingReported", true, FW_PING, true, {}, false,
                   {"[ProtocolCB::CheckResPacket:", "Invalid cmd of res(0x0(Unknown define))\n",
                    "[ProtocolCB::DumpPacket:", "\tParam2 : 0x0(Unknown define)\n"},
                   {"\tParam3"}},
        AnswerCase{"CbNack", true, RECEIVE_HSM_CMD, false, Packet(NACK, RECEIVE_HSM_CMD, INVALID_CMD), false,
                   {"Received NACK\n", "Dump Packet\n\tCmd type : 0xFFFF0011(NACK)\n\tParam0 : 0xFFFF0000(RECEIVE_HSM_CMD)\n"
                                       "\tParam1 : 0xFFFF0101(INVALID_CMD)\n\tParam2 : 0x0(Unknown define)\n"},
                   {"\tParam3"}}),
    [](const testing::TestParamInfo<AnswerCase>& info) { return std::string(info.param.name); });

TEST_F(CbTest, OnlyTheFirmwareComparesTheCrcOfAnAnswer)
{
    ProtocolFW fw(&port);
    ProtocolCB cb(&port);
    const ProtocolPacket answer = Packet(ACK, WRITE_CMD, 0x1234);
    const uint32_t expected = 0x4321;
    testing::internal::CaptureStdout();
    EXPECT_FALSE(fw.CheckResPacket(&answer, WRITE_CMD, &expected));
    EXPECT_TRUE(cb.CheckResPacket(&answer, WRITE_CMD, &expected));
    EXPECT_FALSE(fw.CheckResPacket(nullptr, WRITE_CMD, nullptr));
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Receved CRC : 1234, Calculated CRC : 4321\n"), std::string::npos) << out;
    EXPECT_NE(out.find("[ERROR] pRes == NULL\n"), std::string::npos);

    char text[32];
    EXPECT_STREQ(ZolkProtocol::DefineToString(CHUNK_ACK, text), "Unknown define");
    EXPECT_STREQ(ZolkProtocol::DefineToString(FAIL_CALC_CRC_FILE, text), "FAIL_CALC_CRC_FILE");
}

TEST_F(CbTest, HangUpWhileWaitingForAnAnswerEndsTheWait)
{
    RunPeer([](PtyPair& p) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        p.CloseMaster();
    });
    ProtocolCB cb(&port);
    bool ok = true;
    testing::internal::CaptureStdout();
    const long long ms = ElapsedMs([&] { ok = cb.RecvResPacket(RECEIVE_ZOLK_CMD, nullptr, 0); });
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_FALSE(ok);
    EXPECT_LT(ms, 5000);
    EXPECT_NE(out.find("Serial line is gone - waiting for the answer to RECEIVE_ZOLK_CMD\n"), std::string::npos) << out;
}

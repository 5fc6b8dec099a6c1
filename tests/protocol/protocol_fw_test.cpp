// The firmware command protocol against a scripted target on a pty: the
// command packets and the writes.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <future>

#include "protocol/protocol_fw.h"
#include "common/pty_pair.h"
#include "protocol_fixture.h"
#include "support/zolk_args.h"
#include "support/zolk_file.h"

namespace {

struct SeenChunk {
    ProtocolPacket header;
    std::vector<uint8_t> data;
};

// The firmware's side of a write data phase of `total` bytes. Each chunk is
// answered with the next reply of the script (CHUNK_ACK once it runs out;
// with stopAtScriptEnd the target then falls silent instead). A CHUNK_ACK
// moves on; NACK + FAIL_CALC_CRC_FILE expects the chunk again; any other
// reply ends the script. After the last chunk the final answer goes out.
void PlayWrite(PtyPair& p, uint32_t total, const std::vector<ProtocolPacket>& replies,
               const ProtocolPacket& finalAnswer, std::vector<SeenChunk>* seen, bool stopAtScriptEnd = false)
{
    uint32_t done = 0;
    size_t next = 0;
    while (done < total) {
        const uint32_t n = std::min(total - done, kChunkSize);
        std::vector<uint8_t> bytes = p.Read(kPacketBufferSize + n);
        if (bytes.size() != kPacketBufferSize + n) {
            return;
        }
        seen->push_back({DecodePacket(bytes.data()), {bytes.begin() + kPacketBufferSize, bytes.end()}});
        const ProtocolPacket reply = next < replies.size() ? replies[next++] : Packet(CHUNK_ACK);
        p.Write(Wire(reply));
        if (stopAtScriptEnd && next == replies.size()) {
            return;
        }
        if (reply.cmdType == CHUNK_ACK) {
            done += n;
        } else if (!(reply.cmdType == NACK && reply.param[1] == FAIL_CALC_CRC_FILE)) {
            return;
        }
    }
    p.Write(Wire(finalAnswer));
}

}  // namespace

using FwTest = ProtocolTest;

TEST_F(FwTest, PingPacketOnTheWireAndThePauseAfterIt)
{
    static std::vector<uint32_t> pauses;
    pauses.clear();
    SetSleepFunction([](uint32_t ms) { pauses.push_back(ms); });

    ProtocolFW fw(&port);
    const ProtocolPacket ping = fw.MakeCmdPacket(FW_PING, nullptr);
    ASSERT_TRUE(fw.SendCommand(&ping));

    std::vector<uint8_t> expected = {0x13, 0x00, 0xAA, 0xAA};
    expected.resize(20, 0);
    expected.insert(expected.end(), {0xFE, 0xC1, 0xDA, 0x3A});
    EXPECT_EQ(pty.Read(24), expected);
    EXPECT_TRUE(pty.ReadUntilQuiet(50, 500).empty());
    EXPECT_EQ(pauses, std::vector<uint32_t>{200});
}

struct CmdCase {
    const char* name;
    uint32_t code;
    const char* storage;
    uint64_t fileOffset;
    uint64_t size;
    uint64_t addr;
    uint32_t storageCode;
    uint32_t wireSize;   // param[1]
    bool crcOfRegion;    // param[3] is the CRC of [fileOffset, fileOffset + wireSize)
};
void PrintTo(const CmdCase& c, std::ostream* os)
{
    *os << c.name;
}

class FwCmdPacketTest : public ProtocolTest, public testing::WithParamInterface<CmdCase> {};

TEST_P(FwCmdPacketTest, WordsFromRunArguments)
{
    const CmdCase& c = GetParam();
    const std::vector<uint8_t> data = RandomBytes(5000, 7);
    std::string path = MakeFile("w.bin", data);
    std::string storage = c.storage ? c.storage : "";
    ZOLKArgs args;
    args.pWriteFileName = path.data();
    args.pReadFileName = path.data();
    args.pStorage = c.storage ? storage.data() : nullptr;
    args.ullFileOffset = c.fileOffset;
    args.ullSize = c.size;
    args.ullAddr = c.addr;

    ProtocolFW fw(&port);
    const ProtocolPacket packet = fw.MakeCmdPacket(c.code, &args);
    const std::vector<uint8_t> wire = Wire(packet);

    EXPECT_EQ(packet.cmdType, c.code);
    EXPECT_EQ(packet.param[0], c.storageCode);
    EXPECT_EQ(packet.param[1], c.wireSize);
    EXPECT_EQ(packet.param[2], static_cast<uint32_t>(c.addr));
    EXPECT_EQ(packet.param[3], c.crcOfRegion ? Crc(data, c.fileOffset, c.wireSize) : 0u);
    EXPECT_EQ(packet.param[4], CalcCRC(wire.data(), 20, 0));
}

INSTANTIATE_TEST_SUITE_P(
    Commands, FwCmdPacketTest,
    testing::Values(
        CmdCase{"WriteWholeFileFromOffset", WRITE_CMD, "eflash", 1000, 0, 0x180002000ull, STORAGE_EFLASH, 4000, true},
        CmdCase{"WriteSizedRegion", WRITE_CMD, "snor", 1000, 300, 0x4000, STORAGE_SNOR, 300, true},
        CmdCase{"WriteOtherStorage", WRITE_CMD, "flash", 0, 0, 0, 0, 5000, true},
        CmdCase{"Read", READ_CMD, "eflash", 1000, 0x100000123ull, 0x8000, STORAGE_EFLASH, 0x123, false},
        CmdCase{"ReadNoStorage", READ_CMD, nullptr, 0, 4096, 0, 0, 4096, false}),
    [](const testing::TestParamInfo<CmdCase>& info) { return std::string(info.param.name); });

TEST_F(FwTest, MissingRunArgumentsLeaveOnlyTheCode)
{
    ProtocolFW fw(&port);
    ZOLKArgs noFiles;
    struct {
        uint32_t code;
        const ZOLKArgs* args;
        const char* message;
    } cases[] = {
        {WRITE_CMD, nullptr, "[ERROR] pZolkArgs == NULL\n"},
        {WRITE_CMD, &noFiles, "[ERROR] pWriteFileName == NULL\n"},
        {READ_CMD, nullptr, "[ERROR] pZolkArgs == NULL\n"},
        {READ_CMD, &noFiles, "[ERROR] pReadFileName == NULL\n"},
    };
    for (const auto& c : cases) {
        testing::internal::CaptureStdout();
        const ProtocolPacket packet = fw.MakeCmdPacket(c.code, c.args);
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_NE(out.find(std::string("[ProtocolFW::MakeCmdPacket:")), std::string::npos);
        EXPECT_NE(out.find(c.message), std::string::npos) << out;
        EXPECT_EQ(packet.cmdType, c.code);
        for (uint32_t word : packet.param) {
            EXPECT_EQ(word, 0u);
        }
    }
}

struct RegionCase {
    const char* name;
    uint32_t offset;
    uint32_t size;
    std::vector<uint32_t> chunks;
};
void PrintTo(const RegionCase& c, std::ostream* os)
{
    *os << c.name;
}

class FwWriteRegionTest : public ProtocolTest, public testing::WithParamInterface<RegionCase> {};

// Each region goes out in 2048-byte chunks behind headers with the running
// CRC; the first header carries zeros, later ones the words of the last reply.
TEST_P(FwWriteRegionTest, ChunksCarryRunningCrc)
{
    const RegionCase& c = GetParam();
    const std::vector<uint8_t> data = RandomBytes(5000, 11);
    const std::string path = MakeFile("w.bin", data);
    const uint32_t total = c.size != 0 ? c.size : static_cast<uint32_t>(data.size()) - c.offset;

    std::vector<SeenChunk> seen;
    RunPeer([&](PtyPair& p) {
        PlayWrite(p, total, {}, Packet(ACK, WRITE_CMD, Crc(data, c.offset, total)), &seen);
    });
    // Words of the CHUNK_ACK reply the target sends.
    const auto [ok, out] = SendWrite(&port, path, c.offset, c.size);
    JoinPeer();

    EXPECT_TRUE(ok) << out;
    ASSERT_EQ(seen.size(), c.chunks.size());
    uint32_t at = c.offset;
    for (size_t i = 0; i < seen.size(); ++i) {
        SCOPED_TRACE(i);
        ASSERT_EQ(seen[i].data.size(), c.chunks[i]);
        EXPECT_TRUE(std::equal(seen[i].data.begin(), seen[i].data.end(), data.begin() + at));
        at += c.chunks[i];
        EXPECT_EQ(seen[i].header.cmdType, ACK);
        EXPECT_EQ(seen[i].header.param[0], Crc(data, c.offset, at - c.offset));
        for (int w = 1; w < 5; ++w) {
            EXPECT_EQ(seen[i].header.param[w], 0u);
        }
    }
    EXPECT_NE(out.find("Complete to send file\n"), std::string::npos);
    EXPECT_NE(out.find("Complete to receive ack for cmd(0xAAAA0011(WRITE_CMD))\n"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Regions, FwWriteRegionTest,
                         testing::Values(RegionCase{"WholeFile", 0, 0, {2048, 2048, 904}},
                                         RegionCase{"FromOffsetToEnd", 1000, 0, {2048, 1952}},
                                         RegionCase{"SizedRegion", 100, 2100, {2048, 52}},
                                         RegionCase{"ExactlyOneChunk", 0, 2048, {2048}}),
                         [](const testing::TestParamInfo<RegionCase>& info) { return std::string(info.param.name); });

TEST_F(FwTest, RefusedChunkGoesAgainBehindAHeaderWithTheRefusal)
{
    const std::vector<uint8_t> data = RandomBytes(5000, 12);
    const std::string path = MakeFile("w.bin", data);
    std::vector<SeenChunk> seen;
    RunPeer([&](PtyPair& p) {
        PlayWrite(p, 5000,
                  {Packet(CHUNK_ACK, 0, 0x21, 0x22, 0x23, 0x24), Packet(NACK, WRITE_CMD, FAIL_CALC_CRC_FILE, 7, 8, 9)},
                  Packet(ACK, WRITE_CMD, Crc(data)), &seen);
    });
    const auto [ok, out] = SendWrite(&port, path, 0, 0);
    JoinPeer();

    EXPECT_TRUE(ok) << out;
    ASSERT_EQ(seen.size(), 4u);
    // The second header carries the words of the CHUNK_ACK reply.
    EXPECT_EQ(seen[1].header.param[1], 0x21u);
    EXPECT_EQ(seen[1].header.param[4], 0x24u);
    // The refused chunk again: same bytes, same CRC, the NACK's words.
    EXPECT_EQ(seen[2].data, seen[1].data);
    EXPECT_EQ(seen[2].header.cmdType, ACK);
    EXPECT_EQ(seen[2].header.param[0], seen[1].header.param[0]);
    EXPECT_EQ(seen[2].header.param[1], FAIL_CALC_CRC_FILE);
    EXPECT_EQ(seen[2].header.param[2], 7u);
    EXPECT_EQ(seen[3].data.size(), 904u);
}

class FwWriteRefusalBoundTest : public ProtocolTest, public testing::WithParamInterface<int> {};

TEST_P(FwWriteRefusalBoundTest, RefusalsInARowAreBounded)
{
    const int refusals = GetParam();
    const bool fits = refusals <= static_cast<int>(kMaxChunkRetries);
    const std::vector<uint8_t> data = RandomBytes(3000, 13);
    const std::string path = MakeFile("w.bin", data);
    std::vector<ProtocolPacket> script{Packet(CHUNK_ACK)};
    script.insert(script.end(), refusals, Packet(NACK, WRITE_CMD, FAIL_CALC_CRC_FILE));
    std::vector<SeenChunk> seen;
    RunPeer([&](PtyPair& p) { PlayWrite(p, 3000, script, Packet(ACK, WRITE_CMD, Crc(data)), &seen, !fits); });
    const auto [ok, out] = SendWrite(&port, path, 0, 0);
    JoinPeer();

    EXPECT_EQ(ok, fits) << out;
    if (fits) {
        EXPECT_EQ(seen.size(), static_cast<size_t>(refusals) + 2);
    } else {
        EXPECT_EQ(seen.size(), static_cast<size_t>(refusals) + 1);
        EXPECT_NE(out.find("Chunk at byte 2048 refused 17 times in a row\n"), std::string::npos) << out;
    }
}

INSTANTIATE_TEST_SUITE_P(Bound, FwWriteRefusalBoundTest, testing::Values(16, 17));

TEST_F(FwTest, NackForAnotherReasonEndsTheWriteWithADump)
{
    const std::vector<uint8_t> data = RandomBytes(5000, 14);
    const std::string path = MakeFile("w.bin", data);
    std::vector<SeenChunk> seen;
    RunPeer([&](PtyPair& p) { PlayWrite(p, 5000, {Packet(NACK, WRITE_CMD, INVALID_CMD)}, Packet(ACK), &seen); });
    const auto [ok, out] = SendWrite(&port, path, 0, 0);
    JoinPeer();

    EXPECT_FALSE(ok);
    EXPECT_EQ(seen.size(), 1u);
    EXPECT_NE(out.find("[ProtocolFW::SendFile:"), std::string::npos);
    EXPECT_NE(out.find("Failed to send file\n"), std::string::npos) << out;
    EXPECT_NE(out.find("[ProtocolFW::DumpPacket:"), std::string::npos);
    EXPECT_NE(out.find("Dump Packet\n\tCmd type : 0xFFFF0011(NACK)\n\tParam0 : 0xAAAA0011(WRITE_CMD)\n"
                       "\tParam1 : 0xFFFF0101(INVALID_CMD)\n\tParam2 : 0x0(Unknown define)\n"
                       "\tParam3 : 0x0(Unknown define)\n\tParam4 : 0x0(Unknown define)\n"),
              std::string::npos)
        << out;
    EXPECT_EQ(out.find("Complete to send file"), std::string::npos);
}

struct FinalCrcCase {
    const char* name;
    uint32_t flip;  // xor applied to the right CRC in the final answer
    bool ok;
    uint16_t attribute;
};
void PrintTo(const FinalCrcCase& c, std::ostream* os)
{
    *os << c.name;
}

class FwFinalCrcTest : public ProtocolTest, public testing::WithParamInterface<FinalCrcCase> {};

TEST_P(FwFinalCrcTest, FinalCrcComparedWithTheRegion)
{
    const FinalCrcCase& c = GetParam();
    const std::vector<uint8_t> data = RandomBytes(3000, 15);
    const std::string path = MakeFile("w.bin", data);
    const uint32_t right = Crc(data, 500, 1000);
    std::vector<SeenChunk> seen;
    RunPeer([&](PtyPair& p) { PlayWrite(p, 1000, {}, Packet(ACK, WRITE_CMD, right ^ c.flip), &seen); });
    ConsoleForceTerminal(1);
    const std::string colour = AttributeSequence(c.attribute);
    const auto [ok, out] = SendWrite(&port, path, 500, 1000);
    JoinPeer();

    EXPECT_EQ(ok, c.ok);
    char text[80];
    std::snprintf(text, sizeof(text), "Receved CRC : %x, Calculated CRC : %x\n", right ^ c.flip, right);
    EXPECT_NE(out.find(text), std::string::npos) << out;
    EXPECT_EQ(AttributeBefore(out, text), colour);
}

INSTANTIATE_TEST_SUITE_P(Crc, FwFinalCrcTest,
                         testing::Values(FinalCrcCase{"Match", 0, true, 7},
                                         FinalCrcCase{"Mismatch", 0x100, false, 12}),
                         [](const testing::TestParamInfo<FinalCrcCase>& info) { return std::string(info.param.name); });

TEST_F(FwTest, HangUpInTheMiddleOfAWriteEndsIt)
{
    const std::string path = MakeFile("w.bin", RandomBytes(5000, 16));
    RunPeer([](PtyPair& p) {
        p.Read(kPacketBufferSize + kChunkSize);
        p.CloseMaster();
    });
    Outcome r;
    const long long ms = ElapsedMs([&] { r = SendWrite(&port, path, 0, 0); });
    const auto& [ok, out] = r;

    EXPECT_FALSE(ok);
    EXPECT_LT(ms, 5000);  // far below the silence bound: the hang-up ended it
    EXPECT_NE(out.find("Serial line is gone - "), std::string::npos) << out;
}

TEST_F(FwTest, TargetFallingSilentInTheMiddleOfAWriteEndsIt)
{
    ZolkProtocol::SetSilenceLimitMs(300);
    const std::string path = MakeFile("w.bin", RandomBytes(5000, 17));
    std::promise<void> released;
    std::shared_future<void> release = released.get_future().share();
    RunPeer([release](PtyPair& p) {
        p.Read(kPacketBufferSize + kChunkSize);
        release.wait();  // keeps the line open, says nothing
    });
    const auto [ok, out] = SendWrite(&port, path, 0, 0);
    released.set_value();

    EXPECT_FALSE(ok);
    EXPECT_NE(out.find("No reply to the chunk at byte 0 of 5000 for 300 ms - the board stopped answering\n"),
              std::string::npos)
        << out;
}

TEST_F(FwTest, RegionPastTheEndIsRefusedBeforeAnythingIsSent)
{
    const std::string path = MakeFile("w.bin", RandomBytes(5000, 18));
    const std::string empty = MakeFile("empty.bin", {});
    struct {
        std::string file;
        uint32_t offset;
        uint32_t size;
        std::string message;
    } cases[] = {
        {path, 4000, 2000, "Write region(offset 4000, size 2000) runs past the end of " + path + " (5000 bytes)\n"},
        {path, 6000, 10, "Write region(offset 6000, size 10) runs past the end of " + path + " (5000 bytes)\n"},
        {path, 5000, 0, "Write region(offset 5000, size 0) of " + path + " is empty (5000 bytes)\n"},
        {empty, 0, 0, "Write region(offset 0, size 0) of " + empty + " is empty (0 bytes)\n"},
        {PathOf("missing.bin"), 0, 0, "Failed to open file - " + PathOf("missing.bin") + "\n"},
    };
    ProtocolFW fw(&port);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        testing::internal::CaptureStdout();
        const bool ok = fw.SendFileAndRecvRes(c.file.c_str(), WRITE_CMD, c.offset, c.size);
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_FALSE(ok);
        EXPECT_NE(out.find(c.message), std::string::npos) << out;
        EXPECT_TRUE(pty.ReadUntilQuiet(50, 500).empty());
    }
}

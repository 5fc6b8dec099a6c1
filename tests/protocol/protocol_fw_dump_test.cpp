// The firmware command protocol against a scripted target on a pty: the
// dumps and the data reads.
#include <algorithm>
#include <future>

#include "protocol/protocol_fw.h"
#include "common/pty_pair.h"
#include "protocol_fixture.h"

namespace {

// The firmware's side of a dump of `data`. damaged[i] attempts of chunk i go
// out with a flipped byte before the intact one. The host's replies are kept.
void PlayDump(PtyPair& p, const std::vector<uint8_t>& data, std::vector<int> damaged, const ProtocolPacket& finalAnswer,
              std::vector<ProtocolPacket>* replies)
{
    uint32_t crc = 0;
    size_t index = 0;
    for (size_t done = 0; done < data.size(); ++index) {
        const size_t n = std::min<size_t>(data.size() - done, kChunkSize);
        const uint32_t next = CalcCRC(data.data() + done, n, crc);
        const int bad = index < damaged.size() ? damaged[index] : 0;
        for (int attempt = 0; attempt <= bad; ++attempt) {
            std::vector<uint8_t> frame = Wire(Packet(0x5A5A5A5A, 0x1111, next, 0xC2, 0xC3, 0xC4));
            frame.insert(frame.end(), data.begin() + done, data.begin() + done + n);
            if (attempt < bad) {
                frame[kPacketBufferSize + n / 2] ^= 0x40;
            }
            p.Write(frame);
            std::vector<uint8_t> reply = p.Read(kPacketBufferSize, 2000);
            if (reply.size() != kPacketBufferSize) {
                return;
            }
            replies->push_back(DecodePacket(reply.data()));
        }
        crc = next;
        done += n;
    }
    p.Write(Wire(finalAnswer));
}

}  // namespace

using FwTest = ProtocolTest;

TEST_F(FwTest, DamagedDumpChunkIsRefusedAndWrittenOnce)
{
    const std::vector<uint8_t> data = RandomBytes(5000, 19);
    std::vector<ProtocolPacket> replies;
    RunPeer([&](PtyPair& p) { PlayDump(p, data, {0, 1}, Packet(ACK, READ_CMD, Crc(data)), &replies); });
    const std::string path = PathOf("dump.bin");
    const auto [ok, out] = Dump(&port, path, 5000);
    JoinPeer();

    EXPECT_TRUE(ok) << out;
    EXPECT_EQ(ReadWholeFile(path), data);
    ASSERT_EQ(replies.size(), 4u);
    const uint32_t expectedType[] = {CHUNK_ACK, NACK, CHUNK_ACK, CHUNK_ACK};
    for (size_t i = 0; i < replies.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(replies[i].cmdType, expectedType[i]);
        EXPECT_EQ(replies[i].param[0], READ_CMD);
        EXPECT_EQ(replies[i].param[2], 0xC2u);
        EXPECT_EQ(replies[i].param[4], 0xC4u);
    }
    EXPECT_EQ(replies[0].param[1], Crc(data, 0, 2048));
    EXPECT_EQ(replies[1].param[1], FAIL_CALC_CRC_FILE);
    EXPECT_EQ(replies[2].param[1], Crc(data, 0, 4096));
    EXPECT_NE(out.find("Complete to receive storage dump data\n"), std::string::npos);
}

class FwDumpRefusalBoundTest : public ProtocolTest, public testing::WithParamInterface<int> {};

TEST_P(FwDumpRefusalBoundTest, DamagedChunksInARowAreBounded)
{
    const int damaged = GetParam();
    const bool fits = damaged <= static_cast<int>(kMaxChunkRetries);
    const std::vector<uint8_t> data = RandomBytes(3000, 20);
    std::vector<ProtocolPacket> replies;
    RunPeer([&](PtyPair& p) { PlayDump(p, data, {0, damaged}, Packet(ACK, READ_CMD, Crc(data)), &replies); });
    const std::string path = PathOf("dump.bin");
    const auto [ok, out] = Dump(&port, path, 3000);
    JoinPeer();

    EXPECT_EQ(ok, fits) << out;
    if (fits) {
        EXPECT_EQ(ReadWholeFile(path), data);
    } else {
        EXPECT_NE(out.find("Chunk at byte 2048 refused 17 times in a row\n"), std::string::npos) << out;
        EXPECT_EQ(ReadWholeFile(path).size(), 2048u);  // what arrived before stays
    }
}

INSTANTIATE_TEST_SUITE_P(Bound, FwDumpRefusalBoundTest, testing::Values(16, 17));

TEST_F(FwTest, DumpOfSizeZeroReadsOnlyTheFinalAnswer)
{
    struct {
        uint32_t targetCrc;
        bool ok;
    } cases[] = {{0, true}, {5, false}};
    ProtocolFW fw(&port);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.targetCrc);
        pty.Write(Wire(Packet(ACK, READ_CMD, c.targetCrc)));
        const std::string path = PathOf("zero.bin");
        FileSink file(path);
        testing::internal::CaptureStdout();
        const bool ok = fw.DumpProtocol(&file, READ_CMD, 0);
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(ok, c.ok) << out;
        char text[64];
        std::snprintf(text, sizeof(text), "Receved CRC : %x, Calculated CRC : 0\n", c.targetCrc);
        EXPECT_NE(out.find(text), std::string::npos) << out;
        EXPECT_TRUE(pty.ReadUntilQuiet(50, 500).empty());  // no chunk reply
    }
}

TEST_F(FwTest, HangUpInTheMiddleOfADumpEndsIt)
{
    const std::vector<uint8_t> data = RandomBytes(5000, 21);
    RunPeer([&](PtyPair& p) {
        std::vector<uint8_t> frame = Wire(Packet(0, 0, Crc(data, 0, 2048)));
        frame.insert(frame.end(), data.begin(), data.begin() + 2048);
        p.Write(frame);
        p.Read(kPacketBufferSize);
        p.CloseMaster();
    });
    const std::string path = PathOf("dump.bin");
    Outcome r;
    const long long ms = ElapsedMs([&] { r = Dump(&port, path, 5000); });
    const auto& [ok, out] = r;
    EXPECT_FALSE(ok);
    EXPECT_LT(ms, 5000);
    EXPECT_NE(out.find("Serial line is gone - waiting for the chunk at byte 2048 of 5000\n"), std::string::npos) << out;
    EXPECT_EQ(ReadWholeFile(path).size(), 2048u);
}

TEST_F(FwTest, TargetFallingSilentInTheMiddleOfADumpEndsIt)
{
    ZolkProtocol::SetSilenceLimitMs(300);
    std::promise<void> released;
    std::shared_future<void> release = released.get_future().share();
    RunPeer([release](PtyPair& p) {
        p.Write(Wire(Packet(0, 0, 0x1234)));  // a header, then nothing
        release.wait();
    });
    const std::string path = PathOf("dump.bin");
    const auto [ok, out] = Dump(&port, path, 5000);
    released.set_value();
    EXPECT_FALSE(ok);
    EXPECT_NE(out.find("No data of the chunk at byte 0 of 5000 for 300 ms - the board stopped answering\n"),
              std::string::npos)
        << out;
    EXPECT_TRUE(ReadWholeFile(path).empty());
}

// A full disk fails the dump, whether a chunk write or the final flush meets it.
TEST_F(FwTest, DumpIntoAFullDeviceFails)
{
    for (uint32_t size : {100u, 10000u}) {
        SCOPED_TRACE(size);
        const std::vector<uint8_t> data = RandomBytes(size, size);
        // The target sends everything without waiting for the replies.
        std::vector<uint8_t> stream;
        uint32_t crc = 0;
        for (uint32_t done = 0; done < size; done += kChunkSize) {
            const uint32_t n = std::min(size - done, kChunkSize);
            crc = CalcCRC(data.data() + done, n, crc);
            std::vector<uint8_t> header = Wire(Packet(0, 0, crc));
            stream.insert(stream.end(), header.begin(), header.end());
            stream.insert(stream.end(), data.begin() + done, data.begin() + done + n);
        }
        const std::vector<uint8_t> final = Wire(Packet(ACK, READ_CMD, crc));
        stream.insert(stream.end(), final.begin(), final.end());
        RunPeer([stream](PtyPair& p) { p.Write(stream); });

        const auto [ok, out] = Dump(&port, "/dev/full", size);
        JoinPeer();
        EXPECT_FALSE(ok) << out;
        EXPECT_TRUE(out.find("Failed to write file - ") != std::string::npos ||
                    out.find("Failed to flush file - /dev/full") != std::string::npos)
            << out;
        pty.ReadUntilQuiet(50, 1000);
        // Whatever the host did not read stays on the line: start clean.
        uint8_t scrap[4096];
        uint32_t got = 0;
        port.SetCommunicationTimeouts(1, 1, 1, 1, 1);
        while (port.ReadDataTimeout(scrap, sizeof(scrap), &got, 1) && got != 0) {
        }
        port.SetCommunicationTimeouts(0, 0, 0, 0, 0);
    }
}

TEST_F(FwTest, ChipInfoDataIsReadWhole)
{
    ProtocolFW fw(&port);
    pty.Write(Wire(Packet(ACK, CHIP_INFO_CMD)));
    pty.Write(Wire(Packet(0, 1, 0, 0x30110, 1)));
    ProtocolPacket res;
    ASSERT_TRUE(fw.RecvResPacket(CHIP_INFO_CMD, &res, 0));
    uint8_t info[kPacketBufferSize] = {};
    ASSERT_TRUE(fw.RecvData(info, sizeof(info), 0));
    EXPECT_EQ(GetLE32(info + 12), 0x30110u);

    testing::internal::CaptureStdout();
    EXPECT_FALSE(fw.RecvData(nullptr, 24, 0));
    EXPECT_NE(testing::internal::GetCapturedStdout().find("[ProtocolFW::RecvData:"), std::string::npos);
}

// Line errors (framing, overrun, parity) that the driver counts while a
// transfer reads: the damaged chunk goes through the protocol's resend path,
// as a chunk with a wrong CRC does, and the transfer completes.
#include "common/pty_pair.h"
#include "common/serial_os_faults_posix.h"
#include "protocol/protocol_fw.h"
#include "protocol_fixture.h"
#include "support/zolk_file.h"

namespace {


class LineErrorTest : public ProtocolTest {
protected:
    void SetUp() override
    {
        ProtocolTest::SetUp();
        InstallSerialOsFaults();
        g_lineCounts = true;
    }
    void TearDown() override
    {
        RemoveSerialOsFaults();
        ProtocolTest::TearDown();
    }
};

// The first attempt of chunk 0 arrives intact but with a framing error
// counted: the host answers NACK and takes the chunk when it comes again.
TEST_F(LineErrorTest, DamagedDumpChunkIsAskedForAgain)
{
    const std::vector<uint8_t> data = RandomBytes(5000, 31);
    std::vector<ProtocolPacket> replies;
    RunPeer([&](PtyPair& p) {
        uint32_t crc = 0;
        bool damage = true;
        for (size_t done = 0; done < data.size();) {
            const size_t n = std::min<size_t>(data.size() - done, kChunkSize);
            const uint32_t next = CalcCRC(data.data() + done, n, crc);
            std::vector<uint8_t> frame = Wire(Packet(ACK, READ_CMD, next));
            frame.insert(frame.end(), data.begin() + done, data.begin() + done + n);
            g_damageNextRead = damage;
            damage = false;
            p.Write(frame);
            const std::vector<uint8_t> reply = p.Read(kPacketBufferSize, 3000);
            if (reply.size() != kPacketBufferSize) {
                return;
            }
            replies.push_back(DecodePacket(reply.data()));
            if (replies.back().cmdType == CHUNK_ACK) {
                crc = next;
                done += n;
            }
        }
        p.Write(Wire(Packet(ACK, READ_CMD, crc)));
    });
    const std::string path = PathOf("dump.bin");
    const auto [ok, out] = Dump(&port, path, static_cast<uint32_t>(data.size()));
    JoinPeer();

    EXPECT_TRUE(ok) << out;
    EXPECT_EQ(ReadWholeFile(path), data);
    ASSERT_EQ(replies.size(), 4u);
    EXPECT_EQ(replies[0].cmdType, NACK);
    EXPECT_EQ(replies[0].param[0], READ_CMD);
    EXPECT_EQ(replies[0].param[1], FAIL_CALC_CRC_FILE);
    for (size_t i = 1; i < replies.size(); ++i) {
        EXPECT_EQ(replies[i].cmdType, CHUNK_ACK) << i;
    }
}

// The board's reply to chunk 0 comes back damaged: the host cannot tell what
// it said (taken as it reads, it would end the write) and sends the chunk
// again, which the board then takes.
TEST_F(LineErrorTest, DamagedChunkReplySendsTheChunkAgain)
{
    const std::vector<uint8_t> data = RandomBytes(5000, 32);
    const std::string path = MakeFile("w.bin", data);
    std::vector<std::vector<uint8_t>> seen;
    RunPeer([&](PtyPair& p) {
        uint32_t done = 0;
        bool damage = true;
        while (done < data.size()) {
            const uint32_t n = std::min<uint32_t>(static_cast<uint32_t>(data.size()) - done, kChunkSize);
            std::vector<uint8_t> bytes = p.Read(kPacketBufferSize + n, 3000);
            if (bytes.size() != kPacketBufferSize + n) {
                return;
            }
            seen.emplace_back(bytes.begin() + kPacketBufferSize, bytes.end());
            g_damageNextRead = damage;
            p.Write(Wire(Packet(damage ? NACK : CHUNK_ACK, WRITE_CMD, damage ? uint32_t {INVALID_CMD} : 0u)));
            if (!damage) {
                done += n;
            }
            damage = false;
        }
        p.Write(Wire(Packet(ACK, WRITE_CMD, Crc(data))));
    });
    const auto [ok, out] = SendWrite(&port, path, 0, 0);
    JoinPeer();

    EXPECT_TRUE(ok) << out;
    ASSERT_EQ(seen.size(), 4u);
    EXPECT_EQ(seen[0], seen[1]);
    EXPECT_EQ(seen[1], std::vector<uint8_t>(data.begin(), data.begin() + kChunkSize));
}

}  // namespace

// The simulated board and its send queue driven in-process on a clock of the
// test: the time bounds the board keeps (a stale packet fragment, an
// abandoned transfer, the erase of a low format, a silence that never ends,
// the reply latency and the line pacing) and the faults that fire at an exact
// byte, without sleeping and without a terminal.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "sim_board.h"
#include "sim_host.h"
#include "sim_line.h"

namespace {

constexpr uint64_t kHour = 3600u * 1000u;

// A host that hands the board its bytes at the time it is told, and takes
// every answer apart into packets (firmware size) and raw bytes.
class BoardHost {
public:
    explicit BoardHost(SimConfig config) : m_board(config)
    {
        std::string error;
        EXPECT_TRUE(m_board.Init(&error)) << error;
    }

    SimBoard& Board() { return m_board; }

    // The bytes at nowMs, in pieces of `piece` bytes (the board sees a line
    // that delivers them one read at a time).
    void Send(const Bytes& bytes, uint64_t nowMs, size_t piece = SIZE_MAX)
    {
        for (size_t pos = 0; pos < bytes.size() && !m_board.HangupRequested(); pos += piece) {
            const size_t n = std::min(piece, bytes.size() - pos);
            m_board.Receive(bytes.data() + pos, n, m_board.ListenBaud(), nowMs);
            Collect();
        }
    }
    void Tick(uint64_t nowMs)
    {
        m_board.Tick(nowMs);
        Collect();
    }
    // Everything the board sent since the last call.
    Bytes Take()
    {
        Collect();
        Bytes out;
        out.swap(m_out);
        return out;
    }
    std::vector<ProtocolPacket> TakePackets()
    {
        const Bytes out = Take();
        EXPECT_EQ(out.size() % kFwPacketSize, 0u) << "not whole packets";
        std::vector<ProtocolPacket> packets;
        for (size_t pos = 0; pos + kFwPacketSize <= out.size(); pos += kFwPacketSize) {
            packets.push_back(DecodePacket(out.data() + pos, kFwPacketSize));
        }
        return packets;
    }

private:
    void Collect()
    {
        for (const SimBoard::Output& o : m_board.TakeOutput()) {
            m_out.insert(m_out.end(), o.bytes.begin(), o.bytes.end());
        }
    }
    SimBoard m_board;
    Bytes m_out;
};

// Faults with one of them set.
template <typename Field, typename Value>
SimFaults Fault(Field SimFaults::*field, Value value)
{
    SimFaults faults;
    faults.*field = static_cast<Field>(value);
    return faults;
}

SimConfig Firmware()
{
    SimConfig config;
    config.firmwareRunning = true;
    return config;
}

Bytes Concat(const Bytes& a, const Bytes& b)
{
    Bytes out = a;
    out.insert(out.end(), b.begin(), b.end());
    return out;
}

// A chunk of a write as the host sends it: header with the running CRC, data.
Bytes WriteChunk(const Bytes& data, size_t pos, size_t n, uint32_t* crc)
{
    *crc = CalcCRC(data.data() + pos, n, *crc);
    return Concat(Wire(Packet(ACK, *crc), kFwPacketSize),
                  Bytes(data.begin() + static_cast<long>(pos), data.begin() + static_cast<long>(pos + n)));
}

}  // namespace

// The board's own bounds: a fragment of a command that sees no further byte
// for 1 s is dropped; a write whose host went quiet for 15 s is abandoned;
// the erase of a low format answers after --format-ms. One millisecond
// either side of each bound.
TEST(SimBoardClock, TimeBoundsOfTheBoard)
{
    const Bytes ping = FwCmd(FW_PING);
    struct Case {
        const char* what;
        uint64_t quietMs;
    } fragments[] = {
        {"fragment completed before the bound", 999},
        {"fragment dropped at the bound", 1000},
    };
    for (const Case& c : fragments) {
        SCOPED_TRACE(c.what);
        BoardHost host(Firmware());
        host.Send(Bytes(ping.begin(), ping.begin() + 10), 0);
        EXPECT_EQ(host.Board().NextEventMs(), 1000u);
        host.Tick(c.quietMs);
        if (c.quietMs < 1000) {
            // The rest of the packet still joins the fragment.
            host.Send(Bytes(ping.begin() + 10, ping.end()), c.quietMs);
        } else {
            // The fragment is gone; a whole packet is framed right.
            host.Send(ping, c.quietMs);
        }
        const auto packets = host.TakePackets();
        ASSERT_EQ(packets.size(), 1u);
        ExpectReply(packets[0], ACK, FW_PING, 0);
    }

    struct Abandon {
        uint64_t quietMs;
        bool pingAnswered;
    } abandons[] = {{14999, false}, {15000, true}};
    const Bytes data = LcgBytes(5000, 1);
    for (const Abandon& c : abandons) {
        SCOPED_TRACE("write quiet for " + std::to_string(c.quietMs) + " ms");
        BoardHost host(Firmware());
        host.Send(FwCmd(WRITE_CMD, STORAGE_EFLASH, 5000, 0, 0), 0);
        ExpectReply(host.TakePackets().at(0), ACK, WRITE_CMD, 0);
        EXPECT_EQ(host.Board().NextEventMs(), 15000u);
        host.Tick(c.quietMs);
        // Still in the write, the ping is the header of the next chunk.
        host.Send(ping, c.quietMs);
        const auto packets = host.TakePackets();
        EXPECT_EQ(packets.size(), c.pingAnswered ? 1u : 0u);
        if (c.pingAnswered && !packets.empty()) {
            ExpectReply(packets[0], ACK, FW_PING, 0);
        }
    }

    SimConfig format = Firmware();
    format.formatMs = 300;
    BoardHost host(format);
    const Bytes written = LcgBytes(100, 2);
    uint32_t crc = 0;
    host.Send(Concat(FwCmd(WRITE_CMD, STORAGE_SNOR, 100, 0, 0), WriteChunk(written, 0, 100, &crc)), 0);
    ASSERT_EQ(host.TakePackets().size(), 3u);  // ACK, CHUNK_ACK, final ACK
    host.Send(FwCmd(LOW_FORMAT_CMD), 1000);
    ExpectReply(host.TakePackets().at(0), ACK, LOW_FORMAT_CMD, 0);
    EXPECT_EQ(host.Board().NextEventMs(), 1300u);
    // Commands wait behind the erase.
    host.Send(ping, 1100);
    host.Tick(1299);
    EXPECT_TRUE(host.Take().empty());
    EXPECT_EQ(host.Board().Snor().Data()[0], written[0]);
    host.Tick(1300);
    const auto packets = host.TakePackets();
    ASSERT_EQ(packets.size(), 2u);
    ExpectReply(packets[0], ACK, LOW_FORMAT_CMD, 0);
    ExpectReply(packets[1], ACK, FW_PING, 0);
    EXPECT_EQ(host.Board().Snor().Data()[0], 0xFF);
}

// A board that fell silent stays silent however long the host waits, and
// has no timed event left that would wake it.
TEST(SimBoardClock, SilencesLastForever)
{
    struct Case {
        const char* what;
        SimFaults faults;
        Bytes first;          // what the host sends first
        size_t packetsFirst;  // firmware packets the board answers it with
    } cases[] = {
        {"silent-on STORAGE_INFO_CMD", Fault(&SimFaults::silentOn, STORAGE_INFO_CMD), FwCmd(STORAGE_INFO_CMD), 0},
        {"silent-after-ack CHIP_INFO_CMD", Fault(&SimFaults::silentAfterAck, CHIP_INFO_CMD), FwCmd(CHIP_INFO_CMD), 1},
        {"silent-after 24", Fault(&SimFaults::silentAfter, 24), FwCmd(FW_PING), 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SimConfig config = Firmware();
        config.faults = c.faults;
        BoardHost host(config);
        host.Send(c.first, 0);
        EXPECT_EQ(host.TakePackets().size(), c.packetsFirst);
        for (uint64_t t : {1u, 1000u, 15000u}) {
            host.Send(FwCmd(FW_PING), t);
        }
        host.Tick(kHour);
        EXPECT_TRUE(host.Take().empty());
        EXPECT_EQ(host.Board().NextEventMs(), UINT64_MAX);
    }
}

// Byte-count faults fire at exactly the byte they name, the bytes fed one at
// a time: up to that byte the board does its work, after it the fault holds.
TEST(SimBoardClock, ByteCountFaultsFireAtTheirByte)
{
    const Bytes twoPings = Concat(FwCmd(FW_PING), FwCmd(FW_PING));
    struct Case {
        const char* what;
        SimFaults faults;
        size_t answers;  // pings answered
        bool hungUp;
        SimBoard::Mode mode;
    } cases[] = {
        {"silent after byte 47", Fault(&SimFaults::silentAfter, 47), 1, false, SimBoard::Mode::Firmware},
        {"silent after byte 48", Fault(&SimFaults::silentAfter, 48), 2, false, SimBoard::Mode::Firmware},
        {"hang-up after byte 47", Fault(&SimFaults::hangupAfter, 47), 1, true, SimBoard::Mode::Firmware},
        // The second answer was made, but a hang-up drops what is unsent.
        {"hang-up after byte 48", Fault(&SimFaults::hangupAfter, 48), 1, true, SimBoard::Mode::Firmware},
        {"reset after byte 25", Fault(&SimFaults::resetAfter, 25), 1, false, SimBoard::Mode::BootRom},
        {"reset after byte 48", Fault(&SimFaults::resetAfter, 48), 1, false, SimBoard::Mode::BootRom},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SimConfig config = Firmware();
        config.faults = c.faults;
        BoardHost host(config);
        host.Send(twoPings, 0, 1);
        EXPECT_EQ(host.TakePackets().size(), c.answers);
        EXPECT_EQ(host.Board().HangupRequested(), c.hungUp);
        EXPECT_EQ(host.Board().GetMode(), c.mode);
        const uint64_t received = c.hungUp ? static_cast<uint64_t>(c.faults.hangupAfter) : twoPings.size();
        EXPECT_EQ(host.Board().BytesReceived(), received);
    }
}

// A damaged dump chunk differs from the storage in exactly one byte, the
// middle one of chunk K, and only the first time it is sent.
TEST(SimBoardClock, CorruptDumpChunkDamagesOneByteOnce)
{
    struct Case {
        uint32_t size;
        int64_t chunk;
        size_t damagedAt;
    } cases[] = {
        {5000, 0, 1024},
        {5000, 1, 2048 + 1024},
        {5000, 2, 4096 + 452},  // the short last chunk of 904 bytes
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("chunk " + std::to_string(c.chunk));
        SimConfig config = Firmware();
        config.faults.corruptDumpChunk = c.chunk;
        BoardHost host(config);
        const Bytes stored = LcgBytes(c.size, 3);
        std::copy(stored.begin(), stored.end(), host.Board().Eflash().Data());
        host.Send(FwCmd(READ_CMD, STORAGE_EFLASH, c.size, 0), 0);
        // The acknowledgement and the first chunk come in one go.
        Bytes pending = host.Take();
        ASSERT_GE(pending.size(), kFwPacketSize);
        ExpectReply(DecodePacket(pending.data(), kFwPacketSize), ACK, READ_CMD, 0);
        pending.erase(pending.begin(), pending.begin() + kFwPacketSize);
        Bytes got;
        uint32_t crc = 0;
        bool resent = false;
        while (got.size() < c.size) {
            Bytes out = host.Take();
            if (!pending.empty()) {
                out.swap(pending);
            }
            const size_t n = std::min<size_t>(2048, c.size - got.size());
            ASSERT_EQ(out.size(), kFwPacketSize + n);
            const Bytes chunk(out.begin() + kFwPacketSize, out.end());
            const Bytes want(stored.begin() + static_cast<long>(got.size()),
                             stored.begin() + static_cast<long>(got.size() + n));
            if (chunk != want) {
                ASSERT_FALSE(resent) << "damaged twice";
                size_t differing = 0;
                for (size_t i = 0; i < n; ++i) {
                    if (chunk[i] != want[i]) {
                        ++differing;
                        EXPECT_EQ(got.size() + i, c.damagedAt);
                    }
                }
                EXPECT_EQ(differing, 1u);
                resent = true;
                host.Send(Wire(Packet(NACK, READ_CMD, FAIL_CALC_CRC_FILE), kFwPacketSize), 0);
                continue;
            }
            crc = CalcCRC(chunk.data(), n, crc);
            got.insert(got.end(), chunk.begin(), chunk.end());
            host.Send(Wire(Packet(CHUNK_ACK, READ_CMD, crc), kFwPacketSize), 0);
        }
        EXPECT_TRUE(resent);
        EXPECT_EQ(got, stored);
        ExpectReply(host.TakePackets().at(0), ACK, READ_CMD, crc);
    }
}

// Weak cells keep the erased value at exactly their addresses, in their own
// storage only, also where they reach past the window or the storage.
TEST(SimBoardClock, WeakCellsAtTheirAddresses)
{
    struct Case {
        const char* what;
        std::vector<SimWeakCells> weak;
        uint32_t storage;
        uint32_t addr;
        uint32_t size;
        std::vector<uint64_t> erased;  // addresses in the window that read 0xFF
    } cases[] = {
        {"inside the window", {{STORAGE_SNOR, 0x10FF, 3}}, STORAGE_SNOR, 0x1000, 0x200, {0x10FF, 0x1100, 0x1101}},
        {"across the window's start", {{STORAGE_SNOR, 0xFFE, 4}}, STORAGE_SNOR, 0x1000, 0x200, {0x1000, 0x1001}},
        {"across the window's end", {{STORAGE_EFLASH, 0x11FF, 8}}, STORAGE_EFLASH, 0x1000, 0x200, {0x11FF}},
        {"the other storage", {{STORAGE_EFLASH, 0x1010, 4}}, STORAGE_SNOR, 0x1000, 0x200, {}},
        {"past the end of the storage", {{STORAGE_SNOR, 0xFFFFF, 16}}, STORAGE_SNOR, 0xFFF00, 0x100, {0xFFFFF}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SimConfig config = Firmware();
        config.faults.weakCells = c.weak;
        BoardHost host(config);
        const Bytes data = Bytes(c.size, 0x5A);
        uint32_t crc = 0;
        host.Send(FwCmd(WRITE_CMD, c.storage, c.size, c.addr, 0), 0);
        host.Send(WriteChunk(data, 0, c.size, &crc), 0);
        const auto packets = host.TakePackets();
        ASSERT_EQ(packets.size(), 3u);
        // The final ACK carries the CRC of what arrived, not of what stuck.
        ExpectReply(packets[2], ACK, WRITE_CMD, crc);
        SimStorage& storage = c.storage == STORAGE_SNOR ? host.Board().Snor() : host.Board().Eflash();
        for (uint64_t a = c.addr; a < uint64_t{c.addr} + c.size; ++a) {
            const bool weak = std::find(c.erased.begin(), c.erased.end(), a) != c.erased.end();
            ASSERT_EQ(storage.Data()[a], weak ? 0xFF : 0x5A) << std::hex << a;
        }
    }
}

// The send queue on the test's clock: when the last byte of a reply may go
// out, for the reply latency and the line pacing (10 bits a byte).
TEST(SimSendQueueClock, LatencyAndPacingSetWhenBytesGoOut)
{
    struct Case {
        double latencyMs;
        uint32_t paceBaud;  // 0: not paced
        size_t bytes;
        double lastByteMs;  // after the board made the reply
    } cases[] = {
        {0, 0, 24, 0},
        {16, 0, 24, 16},
        {0, 9600, 24, 25},         // 24 bytes at 9600 baud: 25 ms
        {16, 9600, 24, 16 + 25},   // the latency, then the whole line time
        {1, 921600, 2072, 1 + 22.48},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.latencyMs) + " ms, " + std::to_string(c.paceBaud) + " baud");
        SimSendQueue queue(c.latencyMs);
        const double made = 1000.0;
        std::vector<SimBoard::Output> out;
        out.push_back(SimBoard::Output{460800, Bytes(c.bytes, 0x11)});
        queue.Add(std::move(out), made);
        double now = made;
        size_t sent = 0;
        double firstMs = -1;
        for (int turn = 0; turn < 100000 && !queue.Empty(); ++turn) {
            double waitMs = -1;
            const size_t allow = queue.Allow(now, c.paceBaud, &waitMs);
            if (allow == 0) {
                ASSERT_GE(waitMs, 0.0);
                now += std::max(waitMs, 0.001);
                continue;
            }
            if (firstMs < 0) {
                firstMs = now;
            }
            const size_t n = std::min(allow, queue.NextSize());
            queue.Sent(n, c.paceBaud);
            sent += n;
        }
        EXPECT_EQ(sent, c.bytes);
        // Nothing before the latency has passed; the last byte at the line
        // time, less the credit an idle line earns (1 ms, or two bytes on a
        // slow line).
        EXPECT_GE(firstMs - made, c.latencyMs);
        const double creditMs = c.paceBaud == 0 ? 0 : std::max(SimPacer::kBurstMs, 2 * 10000.0 / c.paceBaud);
        EXPECT_GE(now - made, c.lastByteMs - creditMs - 0.01);
        EXPECT_LE(now - made, c.lastByteMs + 0.1);
    }
}

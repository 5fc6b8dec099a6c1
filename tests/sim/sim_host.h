// A small scripted host for the simulated board: the host side of a real
// pseudo-terminal and the packets, writes and dumps as the host sends them.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "common/pattern.h"
#include "common/wire_packet.h"
#include "protocol/codes.h"
#include "protocol/packet.h"
#include "support/crc.h"
#include "support/line_speeds_posix.h"

using Bytes = std::vector<uint8_t>;

inline int64_t NowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The termios constant of a rate; 38400 for a rate termios has none for.
inline speed_t SpeedOf(uint32_t baud)
{
    speed_t code = B38400;
    SpeedOfBaud(baud, &code);
    return code;
}

// The host side of the line, opened with plain raw termios.
class Line {
public:
    Line(const std::string& path, uint32_t baud)
    {
        m_fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        EXPECT_GE(m_fd, 0) << path << ": " << strerror(errno);
        SetBaud(baud);
    }
    ~Line() { Close(); }
    void Close()
    {
        if (m_fd >= 0) {
            close(m_fd);
            m_fd = -1;
        }
    }
    void SetBaud(uint32_t baud)
    {
        struct termios tio {};
        ASSERT_EQ(tcgetattr(m_fd, &tio), 0);
        cfmakeraw(&tio);
        cfsetispeed(&tio, SpeedOf(baud));
        cfsetospeed(&tio, SpeedOf(baud));
        ASSERT_EQ(tcsetattr(m_fd, TCSANOW, &tio), 0);
    }
    void Send(const Bytes& bytes)
    {
        size_t pos = 0;
        while (pos < bytes.size()) {
            const ssize_t n = write(m_fd, bytes.data() + pos, bytes.size() - pos);
            ASSERT_GT(n, 0) << strerror(errno);
            pos += static_cast<size_t>(n);
        }
    }
    // Exactly n bytes, or fewer when the time limit passes or the line ends.
    Bytes Read(size_t n, int timeoutMs = 5000, bool* hungUp = nullptr)
    {
        Bytes out;
        const int64_t deadline = NowMs() + timeoutMs;
        while (out.size() < n) {
            const int64_t left = deadline - NowMs();
            if (left <= 0) {
                break;
            }
            struct pollfd pfd = {m_fd, POLLIN, 0};
            if (poll(&pfd, 1, static_cast<int>(left)) <= 0) {
                continue;
            }
            uint8_t buf[4096];
            const ssize_t r = read(m_fd, buf, std::min(sizeof(buf), n - out.size()));
            if (r <= 0) {
                if (hungUp != nullptr) {
                    *hungUp = true;
                }
                break;
            }
            out.insert(out.end(), buf, buf + r);
        }
        return out;
    }
    // Whatever arrives until the line stays quiet for quietMs.
    Bytes ReadQuiet(int quietMs = 300)
    {
        Bytes out;
        while (true) {
            Bytes b = Read(4096, quietMs);
            if (b.empty()) {
                return out;
            }
            out.insert(out.end(), b.begin(), b.end());
        }
    }
    ProtocolPacket ReadPacket(size_t size = kFwPacketSize)
    {
        const Bytes b = Read(size);
        EXPECT_EQ(b.size(), size) << "short packet";
        Bytes full(size, 0);
        std::copy(b.begin(), b.end(), full.begin());
        return DecodePacket(full.data(), size);
    }
    int Fd() const { return m_fd; }

private:
    int m_fd = -1;
};

// A firmware command packet with its packet CRC.
inline Bytes FwCmd(uint32_t code, uint32_t p0 = 0, uint32_t p1 = 0, uint32_t p2 = 0, uint32_t p3 = 0)
{
    ProtocolPacket p = Packet(code, p0, p1, p2, p3);
    p.param[4] = PacketCRC(p, kFwPacketSize);
    return Wire(p, kFwPacketSize);
}

inline Bytes BootCmd(uint32_t code, uint32_t p0, uint32_t p1)
{
    ProtocolPacket p = Packet(code, p0, p1);
    p.param[2] = PacketCRC(p, kCbPacketSize);
    return Wire(p, kCbPacketSize);
}

inline const Bytes kStart = {0x5A, 0x4F, 0x4C, 0x4B, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};

constexpr uint32_t kBoot = 57600;  // general form
constexpr uint32_t kFw = 460800;

inline void ExpectReply(const ProtocolPacket& p, uint32_t type, uint32_t p0, uint32_t p1)
{
    EXPECT_EQ(p.cmdType, type) << std::hex << p.cmdType;
    EXPECT_EQ(p.param[0], p0) << std::hex << p.param[0];
    EXPECT_EQ(p.param[1], p1) << std::hex << p.param[1];
}

// A whole write as the host does it; returns the final response.
inline ProtocolPacket WriteData(Line& line, uint32_t storage, uint32_t addr, const Bytes& data)
{
    line.Send(FwCmd(WRITE_CMD, storage, static_cast<uint32_t>(data.size()), addr,
                    CalcCRC(data.data(), data.size(), 0)));
    ExpectReply(line.ReadPacket(), ACK, WRITE_CMD, 0);
    uint32_t crc = 0;
    for (size_t pos = 0; pos < data.size(); pos += 2048) {
        const size_t n = std::min<size_t>(2048, data.size() - pos);
        crc = CalcCRC(data.data() + pos, n, crc);
        ProtocolPacket header;
        header.cmdType = ACK;
        header.param[0] = crc;
        Bytes msg = Wire(header, kFwPacketSize);
        msg.insert(msg.end(), data.begin() + static_cast<long>(pos), data.begin() + static_cast<long>(pos + n));
        line.Send(msg);
        ExpectReply(line.ReadPacket(), CHUNK_ACK, WRITE_CMD, crc);
    }
    return line.ReadPacket();
}

// A whole dump as the host does it; checks each header's running CRC and
// returns the data, with the final response in *final.
inline Bytes ReadData(Line& line, uint32_t storage, uint32_t addr, uint32_t size, ProtocolPacket* final)
{
    line.Send(FwCmd(READ_CMD, storage, size, addr));
    ExpectReply(line.ReadPacket(), ACK, READ_CMD, 0);
    Bytes out;
    uint32_t crc = 0;
    while (out.size() < size) {
        const ProtocolPacket header = line.ReadPacket();
        const size_t n = std::min<size_t>(2048, size - out.size());
        const Bytes chunk = line.Read(n);
        EXPECT_EQ(chunk.size(), n);
        const uint32_t next = CalcCRC(chunk.data(), chunk.size(), crc);
        EXPECT_EQ(header.param[1], next) << "running CRC of chunk at " << out.size();
        if (chunk.size() != n) {
            break;
        }
        crc = next;
        out.insert(out.end(), chunk.begin(), chunk.end());
        line.Send(Wire(ProtocolPacket{CHUNK_ACK, {READ_CMD, header.param[1], 0, 0, 0}}, kFwPacketSize));
    }
    *final = line.ReadPacket();
    return out;
}

// A write of data and a dump of the same window: both end with the CRC of
// data in their final ACK, and the dump brings data back.
inline void ExpectWriteAndReadBack(Line& line, uint32_t storage, uint32_t addr, const Bytes& data)
{
    const uint32_t crc = CalcCRC(data.data(), data.size(), 0);
    ExpectReply(WriteData(line, storage, addr, data), ACK, WRITE_CMD, crc);
    ProtocolPacket final;
    EXPECT_EQ(ReadData(line, storage, addr, static_cast<uint32_t>(data.size()), &final), data);
    ExpectReply(final, ACK, READ_CMD, crc);
}

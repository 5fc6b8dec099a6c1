// The simulated board over a real pseudo-terminal: a small scripted host on
// the device side drives each exchange, against the simulator running on a
// thread of the test or as the qex_sim process.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/inproc_sim.h"
#include "common/sim_process.h"
#include "common/wire_packet.h"
#include "protocol/codes.h"
#include "protocol/packet.h"
#include "sim_board.h"
#include "sim_server.h"
#include "support/build_form.h"
#include "support/crc.h"
#include "target/storage.h"

namespace {

using Bytes = std::vector<uint8_t>;

int64_t NowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

speed_t SpeedOf(uint32_t baud)
{
    switch (baud) {
    case 9600: return B9600;
    case 57600: return B57600;
    case 115200: return B115200;
    case 460800: return B460800;
    case 921600: return B921600;
    default: return B38400;
    }
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
Bytes FwCmd(uint32_t code, uint32_t p0 = 0, uint32_t p1 = 0, uint32_t p2 = 0, uint32_t p3 = 0)
{
    ProtocolPacket p = Packet(code, p0, p1, p2, p3);
    p.param[4] = PacketCRC(p, kFwPacketSize);
    return Wire(p, kFwPacketSize);
}

Bytes BootCmd(uint32_t code, uint32_t p0, uint32_t p1)
{
    ProtocolPacket p = Packet(code, p0, p1);
    p.param[2] = PacketCRC(p, kCbPacketSize);
    return Wire(p, kCbPacketSize);
}

const Bytes kStart = {0x5A, 0x4F, 0x4C, 0x4B, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};

Bytes Pattern(size_t n, uint32_t seed)
{
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) {
        seed = seed * 1103515245u + 12345u;
        b[i] = static_cast<uint8_t>(seed >> 16);
    }
    return b;
}

constexpr uint32_t kBoot = 57600;  // general form
constexpr uint32_t kFw = 460800;

void ExpectReply(const ProtocolPacket& p, uint32_t type, uint32_t p0, uint32_t p1)
{
    EXPECT_EQ(p.cmdType, type) << std::hex << p.cmdType;
    EXPECT_EQ(p.param[0], p0) << std::hex << p.param[0];
    EXPECT_EQ(p.param[1], p1) << std::hex << p.param[1];
}

// A whole write as the host does it; returns the final response.
ProtocolPacket WriteData(Line& line, uint32_t storage, uint32_t addr, const Bytes& data)
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
Bytes ReadData(Line& line, uint32_t storage, uint32_t addr, uint32_t size, ProtocolPacket* final)
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

}  // namespace

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

    const Bytes hsm = Pattern(0x10000, 1);
    const Bytes zolk = Pattern(1000, 2);
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
    const Bytes data = Pattern(5000, 7);
    const uint32_t crc = CalcCRC(data.data(), data.size(), 0);
    ExpectReply(WriteData(line, STORAGE_EFLASH, 0x1000, data), ACK, WRITE_CMD, crc);

    ProtocolPacket final;
    EXPECT_EQ(ReadData(line, STORAGE_EFLASH, 0x1000, 5000, &final), data);
    ExpectReply(final, ACK, READ_CMD, crc);
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
    const Bytes data = Pattern(3000, 9);
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
TEST(SimFaults, EachFaultAsTheHostSeesIt)
{
    const Bytes data = Pattern(5000, 3);
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
             const Bytes hsm = Pattern(0x10000, 4);
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

TEST(SimLine, LineRatePacingKeepsTheDataIntact)
{
    InProcSim sim({"--firmware-running", "--line-rate"});
    Line line(sim.Path(), kFw);
    const Bytes data = Pattern(10000, 11);
    const uint32_t crc = CalcCRC(data.data(), data.size(), 0);
    ExpectReply(WriteData(line, STORAGE_EFLASH, 0x20, data), ACK, WRITE_CMD, crc);
    ProtocolPacket final;
    EXPECT_EQ(ReadData(line, STORAGE_EFLASH, 0x20, 10000, &final), data);
    ExpectReply(final, ACK, READ_CMD, crc);
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

// ------------------------------------------------------- the qex_sim process

TEST(SimProcessTest, StoragePersistsAcrossTwoSimulators)
{
    const std::string dir = testing::TempDir() + "/qex_sim_storage_" + std::to_string(getpid());
    std::filesystem::remove_all(dir);
    const Bytes data = Pattern(4100, 5);
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

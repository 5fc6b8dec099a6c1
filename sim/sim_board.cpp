#include "sim_board.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "protocol/codes.h"
#include "support/build_form.h"
#include "support/crc.h"
#include "target/storage.h"

namespace {

// Largest image the boot ROM takes into its SRAM.
constexpr uint32_t kMaxImageSize = 64u * 1024u * 1024u;
// A partial command packet that sees no further byte for this long is line
// junk (a host that died mid-packet, bytes of another protocol): the board
// drops it so that the next host's packets are framed right again.
constexpr uint64_t kStalePacketMs = 1000;
// A write or dump whose host has sent nothing for this long was abandoned
// (the host bounds its own silences well below this): the firmware goes back
// to taking commands.
constexpr uint64_t kStaleTransferMs = 15000;

const uint8_t kStartPacket[kCbPacketSize] = {0x5A, 0x4F, 0x4C, 0x4B, 0, 0, 0, 0,
                                             0,    0,    0,    0,    0, 0, 0, 0};
// What the boot ROM prints after it answered the start packet.
const char kBootBanner[] = "QEX BOOT ROM 1.0\r\n";

}  // namespace

uint32_t SimCommandCode(const std::string& name)
{
    static const uint32_t kCommands[] = {START_CMD,     WRITE_CMD,       READ_CMD,        FW_PING,
                                         STORAGE_INFO_CMD, LOW_FORMAT_CMD, CHIP_INFO_CMD, RECEIVE_HSM_CMD,
                                         RECEIVE_ZOLK_CMD};
    for (uint32_t code : kCommands) {
        if (name == CodeName(code)) {
            return code;
        }
    }
    return 0;
}

void DefaultStorageSizes(uint32_t chip, uint64_t* eflashSize, uint64_t* snorSize)
{
    uint64_t eflash = 0;
    uint64_t snor = 0;
    bool found = false;
    for (const StorageBankRow& row : g_storageBankTable) {
        if (DecimalDigitsAsHex(row.chip.chipNumber) != chip) {
            continue;
        }
        found = true;
        eflash = std::max<uint64_t>(eflash, uint64_t{row.bank.eFlashOffset} + row.bank.eFlashSize);
        snor = std::max<uint64_t>(snor, uint64_t{row.bank.snorOffset} + row.bank.snorSize);
    }
    if (!found) {
        eflash = 2u * 1024u * 1024u;
        snor = 2u * 1024u * 1024u;
    }
    *eflashSize = eflash;
    *snorSize = snor;
}

// ---------------------------------------------------------------- SimStorage

SimStorage::~SimStorage()
{
    Close();
}

void SimStorage::Close()
{
    if (m_mapSize != 0) {
        msync(m_data, m_mapSize, MS_SYNC);
        munmap(m_data, m_mapSize);
        m_mapSize = 0;
    }
    m_data = nullptr;
    m_size = 0;
    m_memory.clear();
}

bool SimStorage::Open(const std::string& path, uint64_t size, std::string* error)
{
    Close();
    if (path.empty()) {
        m_memory.assign(size, 0xFF);
        m_data = m_memory.empty() ? nullptr : m_memory.data();
        m_size = size;
        return true;
    }
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        *error = "cannot open " + path + ": " + strerror(errno);
        return false;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        *error = "cannot stat " + path + ": " + strerror(errno);
        close(fd);
        return false;
    }
    const uint64_t oldSize = static_cast<uint64_t>(st.st_size);
    if (oldSize < size && ftruncate(fd, static_cast<off_t>(size)) != 0) {
        *error = "cannot resize " + path + ": " + strerror(errno);
        close(fd);
        return false;
    }
    if (size != 0) {
        void* map = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (map == MAP_FAILED) {
            *error = "cannot map " + path + ": " + strerror(errno);
            close(fd);
            return false;
        }
        m_data = static_cast<uint8_t*>(map);
        m_mapSize = size;
        // Flash that was never written reads as erased.
        if (oldSize < size) {
            memset(m_data + oldSize, 0xFF, size - oldSize);
        }
    }
    close(fd);
    m_size = size;
    return true;
}

void SimStorage::Erase()
{
    if (m_size != 0) {
        memset(m_data, 0xFF, m_size);
    }
}

void SimStorage::Flush()
{
    if (m_mapSize != 0) {
        msync(m_data, m_mapSize, MS_SYNC);
    }
}

// ------------------------------------------------------------------ SimTrace

SimTrace::~SimTrace()
{
    if (m_file != nullptr) {
        fclose(m_file);
    }
}

bool SimTrace::Open(const std::string& path, std::string* error)
{
    m_file = fopen(path.c_str(), "w");
    if (m_file == nullptr) {
        *error = "cannot open trace file " + path + ": " + strerror(errno);
        return false;
    }
    m_startNs = static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count());
    return true;
}

double SimTrace::NowMs() const
{
    const auto now = static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count());
    return static_cast<double>(now - m_startNs) / 1e6;
}

void SimTrace::Packet(const char* dir, uint32_t baud, const uint8_t* wire, size_t size)
{
    if (m_file == nullptr) {
        return;
    }
    fprintf(m_file, "{\"t_ms\":%.3f,\"dir\":\"%s\",\"baud\":%u,\"words\":[", NowMs(), dir, baud);
    for (size_t i = 0; i + 4 <= size; i += 4) {
        const uint32_t v = GetLE32(wire + i);
        const char* name = v == CHUNK_ACK ? "CHUNK_ACK" : CodeName(v);
        fprintf(m_file, "%s{\"v\":\"0x%08X\",\"name\":\"%s\"}", i == 0 ? "" : ",", v, name);
    }
    fprintf(m_file, "]}\n");
    fflush(m_file);
}

void SimTrace::Data(const char* dir, uint32_t baud, size_t count)
{
    if (m_file == nullptr) {
        return;
    }
    fprintf(m_file, "{\"t_ms\":%.3f,\"dir\":\"%s\",\"baud\":%u,\"data\":%zu}\n", NowMs(), dir, baud, count);
    fflush(m_file);
}

void SimTrace::Event(const char* what, int64_t value)
{
    if (m_file == nullptr) {
        return;
    }
    fprintf(m_file, "{\"t_ms\":%.3f,\"event\":\"%s\",\"value\":%lld}\n", NowMs(), what,
            static_cast<long long>(value));
    fflush(m_file);
}

// ------------------------------------------------------------------ SimBoard

SimBoard::SimBoard(const SimConfig& config, SimTrace* trace) : m_config(config), m_trace(trace)
{
    uint64_t eflash = 0;
    uint64_t snor = 0;
    DefaultStorageSizes(m_config.chip, &eflash, &snor);
    if (m_config.eflashSize == 0) {
        m_config.eflashSize = eflash;
    }
    if (m_config.snorSize == 0) {
        m_config.snorSize = snor;
    }
    if (m_config.firmwareRunning) {
        m_mode = Mode::Firmware;
        m_state = State::FwCommand;
        m_hsmLoaded = true;
    }
}

bool SimBoard::Init(std::string* error)
{
    std::string eflashPath;
    std::string snorPath;
    if (!m_config.storageDir.empty()) {
        if (mkdir(m_config.storageDir.c_str(), 0755) != 0 && errno != EEXIST) {
            *error = "cannot create storage directory " + m_config.storageDir + ": " + strerror(errno);
            return false;
        }
        eflashPath = m_config.storageDir + "/eflash.bin";
        snorPath = m_config.storageDir + "/snor.bin";
    }
    return m_eflash.Open(eflashPath, m_config.eflashSize, error) &&
           m_snor.Open(snorPath, m_config.snorSize, error);
}

uint32_t SimBoard::ListenBaud() const
{
    return m_mode == Mode::BootRom ? m_config.BootRomBaud() : m_config.FirmwareBaud();
}

std::string SimBoard::StorageText() const
{
    char text[200];
    snprintf(text, sizeof(text),
             "QEX 0x%X: eflash 0x%llX bytes, snor 0x%llX bytes, expand flash %s, ECC %s, dual bank %s",
             m_config.chip, static_cast<unsigned long long>(m_config.eflashSize),
             static_cast<unsigned long long>(m_config.snorSize), m_config.expandFlash ? "on" : "off",
             m_config.ecc ? "on" : "off", m_config.dualBank ? "on" : "off");
    return text;
}

std::string SimBoard::StartupText() const
{
    return "\r\nZOLK firmware started (qex_sim)\r\n";
}

std::vector<SimBoard::Output> SimBoard::TakeOutput()
{
    std::vector<Output> out;
    out.swap(m_out);
    return out;
}

uint64_t SimBoard::NextEventMs() const
{
    if (m_state == State::FwFormatting) {
        return m_formatDoneMs;
    }
    const bool commandState = m_state == State::BootCommand || m_state == State::FwCommand;
    if (commandState && m_inPos < m_in.size()) {
        return m_lastRxMs + kStalePacketMs;
    }
    if (m_state == State::FwWriteData || m_state == State::FwReadReply) {
        return m_lastRxMs + kStaleTransferMs;
    }
    return UINT64_MAX;
}

void SimBoard::HostClosed()
{
    m_in.clear();
    m_inPos = 0;
    m_out.clear();
    if (m_mode == Mode::BootRom) {
        // A boot ROM that was taking an image waits for a new announcement.
        if (m_state == State::BootImage) {
            m_state = State::BootCommand;
        }
    } else if (m_state != State::FwFormatting) {
        m_state = State::FwCommand;
    }
    if (m_trace != nullptr) {
        m_trace->Event("host_closed", static_cast<int64_t>(m_rxTotal));
    }
}

void SimBoard::Receive(const uint8_t* data, size_t size, uint32_t baud, uint64_t nowMs)
{
    const auto& f = m_config.faults;
    while (size > 0 && !m_hangup) {
        // Take bytes up to the next byte count at which a fault fires.
        uint64_t take = size;
        const auto limitTo = [&](int64_t threshold, bool active) {
            if (active && threshold >= 0 && static_cast<uint64_t>(threshold) >= m_rxTotal) {
                take = std::min<uint64_t>(take, static_cast<uint64_t>(threshold) - m_rxTotal);
            }
        };
        limitTo(f.hangupAfter, true);
        limitTo(f.resetAfter, !m_resetDone);
        limitTo(f.silentAfter, !m_silent);

        if (take > 0) {
            m_rxTotal += take;
            m_rxBaud = baud;
            if (!m_config.anySpeed && baud != ListenBaud()) {
                // Sent at another speed: what the UART sees is line noise.
                if (m_trace != nullptr) {
                    m_trace->Event("noise", static_cast<int64_t>(take));
                }
            } else {
                if (m_inPos > 0 && m_inPos == m_in.size()) {
                    m_in.clear();
                    m_inPos = 0;
                }
                m_in.insert(m_in.end(), data, data + take);
                m_lastRxMs = nowMs;
                ProcessInput(nowMs);
            }
            data += take;
            size -= static_cast<size_t>(take);
        }

        if (f.hangupAfter >= 0 && m_rxTotal >= static_cast<uint64_t>(f.hangupAfter)) {
            m_hangup = true;
            m_out.clear();
            if (m_trace != nullptr) {
                m_trace->Event("hangup", static_cast<int64_t>(m_rxTotal));
            }
            return;
        }
        if (!m_resetDone && f.resetAfter >= 0 && m_rxTotal >= static_cast<uint64_t>(f.resetAfter)) {
            m_resetDone = true;
            ResetToBootRom();
        }
        if (!m_silent && f.silentAfter >= 0 && m_rxTotal >= static_cast<uint64_t>(f.silentAfter)) {
            FallSilent("silent");
        }
    }
}

void SimBoard::Tick(uint64_t nowMs)
{
    ProcessInput(nowMs);
}

void SimBoard::ProcessInput(uint64_t nowMs)
{
    if (m_state == State::FwFormatting && nowMs >= m_formatDoneMs) {
        m_formatDoneMs = UINT64_MAX;
        m_state = State::FwCommand;
        if (m_config.faults.nackFormat) {
            Reply(NACK, LOW_FORMAT_CMD, INVALID_CMD);
        } else {
            m_eflash.Erase();
            m_snor.Erase();
            Reply(ACK, LOW_FORMAT_CMD, 0);
        }
    }
    const bool commandState = m_state == State::BootCommand || m_state == State::FwCommand;
    if (commandState && m_inPos < m_in.size() && nowMs >= m_lastRxMs + kStalePacketMs) {
        if (m_trace != nullptr) {
            m_trace->Event("stale_bytes_dropped", static_cast<int64_t>(m_in.size() - m_inPos));
        }
        m_in.clear();
        m_inPos = 0;
    }
    const bool transferState = m_state == State::FwWriteData || m_state == State::FwReadReply;
    if (transferState && nowMs >= m_lastRxMs + kStaleTransferMs) {
        if (m_trace != nullptr) {
            m_trace->Event("transfer_abandoned", static_cast<int64_t>(m_xferDone));
        }
        m_state = State::FwCommand;
        m_xferStorage = nullptr;
        m_in.clear();
        m_inPos = 0;
    }
    bool progress = true;
    while (progress && !m_hangup) {
        progress = m_mode == Mode::BootRom ? StepBoot() : StepFirmware(nowMs);
    }
    if (m_inPos > 0 && m_inPos == m_in.size()) {
        m_in.clear();
        m_inPos = 0;
    }
}

bool SimBoard::StepBoot()
{
    const size_t avail = m_in.size() - m_inPos;
    const uint8_t* p = m_in.data() + m_inPos;
    if (m_state == State::BootImage) {
        if (avail == 0) {
            return false;
        }
        const uint32_t n = static_cast<uint32_t>(std::min<size_t>(avail, m_imageSize - m_imageReceived));
        m_imageCrc = CalcCRC(p, n, m_imageCrc);
        m_imageReceived += n;
        m_inPos += n;
        if (m_imageReceived < m_imageSize) {
            return true;
        }
        if (m_trace != nullptr) {
            m_trace->Data("rx", m_rxBaud, m_imageSize);
        }
        m_state = State::BootCommand;
        if (m_config.faults.refuseImage || m_imageCrc != m_imageCrcExpected) {
            BootReply(NACK, m_imageCode, FAIL_CALC_CRC_FILE);
            return true;
        }
        BootReply(ACK, m_imageCode);
        if (m_imageCode == RECEIVE_HSM_CMD) {
            m_hsmLoaded = true;
        } else {
            EnterFirmware();
        }
        return true;
    }
    if (avail < kCbPacketSize) {
        return false;
    }
    if (memcmp(p, kStartPacket, kCbPacketSize) == 0) {
        if (m_trace != nullptr) {
            m_trace->Packet("rx", m_rxBaud, p, kCbPacketSize);
        }
        m_inPos += kCbPacketSize;
        if (SilentOn(START_CMD)) {
            return true;
        }
        if (m_startsRefused < m_config.faults.refuseStart) {
            ++m_startsRefused;
            BootReply(NACK, START_CMD, INVALID_CMD);
            return true;
        }
        BootReply(ACK, START_CMD);
        SendBytes(reinterpret_cast<const uint8_t*>(kBootBanner), sizeof(kBootBanner) - 1,
                  m_config.BootRomBaud(), false);
        m_state = State::BootCommand;
        return true;
    }
    if (m_state == State::BootHunt) {
        // Until the start packet shows, the boot ROM slides over the input
        // one byte at a time.
        ++m_inPos;
        return true;
    }
    const ProtocolPacket packet = DecodePacket(p, kCbPacketSize);
    if (m_trace != nullptr) {
        m_trace->Packet("rx", m_rxBaud, p, kCbPacketSize);
    }
    m_inPos += kCbPacketSize;
    HandleBootPacket(packet);
    return true;
}

void SimBoard::HandleBootPacket(const ProtocolPacket& packet)
{
    const uint32_t code = packet.cmdType;
    if (SilentOn(code)) {
        return;
    }
    if (PacketCRC(packet, kCbPacketSize) != packet.param[2]) {
        BootReply(NACK, code, FAIL_CALC_CRC_CMD);
        return;
    }
    if (code != RECEIVE_HSM_CMD && code != RECEIVE_ZOLK_CMD) {
        BootReply(NACK, code, INVALID_CMD);
        return;
    }
    // The firmware image is only started on top of a loaded HSM image.
    const bool orderOk = code == RECEIVE_HSM_CMD || m_hsmLoaded;
    if (!orderOk || packet.param[0] == 0 || packet.param[0] > kMaxImageSize) {
        BootReply(NACK, code, INVALID_CMD);
        return;
    }
    m_imageCode = code;
    m_imageSize = packet.param[0];
    m_imageCrcExpected = packet.param[1];
    m_imageReceived = 0;
    m_imageCrc = 0;
    if (code == RECEIVE_HSM_CMD) {
        m_hsmLoaded = false;
    }
    BootReply(ACK, code);
    m_state = State::BootImage;
}

void SimBoard::EnterFirmware()
{
    // The firmware prints its start-up text before it moves the UART to its
    // own speed, so the host still reads it at the boot ROM speed.
    const std::string text = StartupText();
    SendBytes(reinterpret_cast<const uint8_t*>(text.data()), text.size(), m_config.BootRomBaud(), false);
    m_mode = Mode::Firmware;
    m_state = State::FwCommand;
    // Whatever followed the image at the boot ROM speed is noise to the
    // firmware.
    m_in.clear();
    m_inPos = 0;
    if (m_trace != nullptr) {
        m_trace->Event("firmware_started", 0);
    }
}

void SimBoard::ResetToBootRom()
{
    m_mode = Mode::BootRom;
    m_state = State::BootHunt;
    m_hsmLoaded = false;
    m_formatDoneMs = UINT64_MAX;
    m_in.clear();
    m_inPos = 0;
    m_out.clear();
    m_xferStorage = nullptr;
    if (m_trace != nullptr) {
        m_trace->Event("reset", static_cast<int64_t>(m_rxTotal));
    }
}

bool SimBoard::StepFirmware(uint64_t nowMs)
{
    const size_t avail = m_in.size() - m_inPos;
    const uint8_t* p = m_in.data() + m_inPos;
    switch (m_state) {
    case State::FwFormatting:
        return false;
    case State::FwWriteData: {
        const size_t chunk = std::min<size_t>(kChunkSize, m_xferSize - m_xferDone);
        if (avail < kFwPacketSize + chunk) {
            return false;
        }
        HandleWriteChunk();
        m_inPos += kFwPacketSize + chunk;
        return true;
    }
    case State::FwReadReply:
    case State::FwCommand:
    default: {
        if (avail < kFwPacketSize) {
            return false;
        }
        const ProtocolPacket packet = DecodePacket(p, kFwPacketSize);
        if (m_trace != nullptr) {
            m_trace->Packet("rx", m_rxBaud, p, kFwPacketSize);
        }
        m_inPos += kFwPacketSize;
        if (m_state == State::FwReadReply) {
            HandleReadReply(packet, nowMs);
        } else {
            HandleFwCommand(packet, nowMs);
        }
        return true;
    }
    }
}

SimStorage* SimBoard::StorageFor(uint32_t code)
{
    if (code == STORAGE_EFLASH) {
        return &m_eflash;
    }
    if (code == STORAGE_SNOR) {
        return &m_snor;
    }
    return nullptr;
}

void SimBoard::KeepWeakCellsErased(uint32_t storage, uint64_t address, uint64_t size)
{
    SimStorage* target = StorageFor(storage);
    for (const SimWeakCells& weak : m_config.faults.weakCells) {
        const uint64_t begin = std::max(weak.address, address);
        const uint64_t end = std::min({weak.address + weak.count, address + size, target->Size()});
        if (weak.storage == storage && begin < end) {
            memset(target->Data() + begin, 0xFF, end - begin);
        }
    }
}

bool SimBoard::SilentOn(uint32_t code)
{
    if (m_config.faults.silentOn != 0 && code == m_config.faults.silentOn) {
        FallSilent("silent_on");
        return true;
    }
    return false;
}

void SimBoard::FallSilent(const char* why)
{
    if (m_silent) {
        return;
    }
    m_silent = true;
    if (m_trace != nullptr) {
        m_trace->Event(why, static_cast<int64_t>(m_rxTotal));
    }
}

void SimBoard::HandleFwCommand(const ProtocolPacket& packet, uint64_t nowMs)
{
    const uint32_t code = packet.cmdType;
    if (SilentOn(code)) {
        return;
    }
    if (m_config.faults.refuseCommand != 0 && code == m_config.faults.refuseCommand) {
        Reply(NACK, code, INVALID_CMD);
        return;
    }
    if (PacketCRC(packet, kFwPacketSize) != packet.param[4]) {
        Reply(NACK, code, FAIL_CALC_CRC_CMD);
        return;
    }
    switch (code) {
    case FW_PING:
        Reply(ACK, FW_PING, 0);
        return;
    case STORAGE_INFO_CMD: {
        const std::string text = StorageText();
        Reply(ACK, STORAGE_INFO_CMD, static_cast<uint32_t>(text.size()));
        SendBytes(reinterpret_cast<const uint8_t*>(text.data()), text.size(), m_config.FirmwareBaud(), true);
        return;
    }
    case CHIP_INFO_CMD: {
        Reply(ACK, CHIP_INFO_CMD, 0);
        ProtocolPacket block;
        block.cmdType = CHIP_INFO_CMD;
        block.param[0] = m_config.dualBank ? 1 : 0;
        block.param[1] = m_config.expandFlash ? 1 : 0;
        block.param[2] = m_config.chip;
        block.param[3] = m_config.ecc ? 1 : 0;
        SendPacket(block, kFwPacketSize, m_config.FirmwareBaud());
        return;
    }
    case LOW_FORMAT_CMD:
        Reply(ACK, LOW_FORMAT_CMD, 0);
        m_state = State::FwFormatting;
        m_formatDoneMs = nowMs + m_config.formatMs;
        return;
    case WRITE_CMD:
    case READ_CMD: {
        SimStorage* storage = StorageFor(packet.param[0]);
        const uint64_t end = uint64_t{packet.param[2]} + packet.param[1];
        if (storage == nullptr || end > storage->Size()) {
            Reply(NACK, code, INVALID_CMD);
            return;
        }
        // param[3] of WRITE_CMD (the host's CRC of the data it is about to
        // send) is not checked: the final ACK carries the CRC of what
        // actually arrived, and the host compares that.
        m_xferStorage = storage;
        m_xferStorageCode = packet.param[0];
        m_xferSize = packet.param[1];
        m_xferAddr = packet.param[2];
        m_xferDone = 0;
        m_xferCrc = 0;
        m_chunkIndex = 0;
        Reply(ACK, code, 0);
        if (m_xferSize == 0) {
            Reply(ACK, code, m_config.faults.badFinalCrc ? ~0u : 0u);
            return;
        }
        if (code == WRITE_CMD) {
            m_state = State::FwWriteData;
        } else {
            m_state = State::FwReadReply;
            SendReadChunk();
        }
        return;
    }
    default:
        Reply(NACK, code, INVALID_CMD);
        return;
    }
}

void SimBoard::HandleWriteChunk()
{
    const uint8_t* p = m_in.data() + m_inPos;
    const uint32_t chunk = static_cast<uint32_t>(std::min<size_t>(kChunkSize, m_xferSize - m_xferDone));
    const ProtocolPacket header = DecodePacket(p, kFwPacketSize);
    const uint8_t* data = p + kFwPacketSize;
    if (m_trace != nullptr) {
        m_trace->Packet("rx", m_rxBaud, p, kFwPacketSize);
        m_trace->Data("rx", m_rxBaud, chunk);
    }
    const uint32_t crc = CalcCRC(data, chunk, m_xferCrc);
    const auto& f = m_config.faults;
    if (f.rejectChunk >= 0 && static_cast<uint64_t>(f.rejectChunk) == m_chunkIndex) {
        Reply(NACK, WRITE_CMD, INVALID_CMD);
        m_state = State::FwCommand;
        m_xferStorage = nullptr;
        return;
    }
    if (header.param[0] != crc) {
        Reply(NACK, WRITE_CMD, FAIL_CALC_CRC_FILE);
        return;
    }
    if (!m_nackChunkDone && f.nackChunk >= 0 && static_cast<uint64_t>(f.nackChunk) == m_chunkIndex) {
        m_nackChunkDone = true;
        Reply(NACK, WRITE_CMD, FAIL_CALC_CRC_FILE);
        return;
    }
    memcpy(m_xferStorage->Data() + m_xferAddr + m_xferDone, data, chunk);
    KeepWeakCellsErased(m_xferStorageCode, uint64_t{m_xferAddr} + m_xferDone, chunk);
    m_xferDone += chunk;
    m_xferCrc = crc;
    ++m_chunkIndex;
    Reply(CHUNK_ACK, WRITE_CMD, crc);
    if (m_xferDone == m_xferSize) {
        Reply(ACK, WRITE_CMD, f.badFinalCrc ? ~crc : crc);
        m_state = State::FwCommand;
        m_xferStorage = nullptr;
    }
}

void SimBoard::SendReadChunk()
{
    const uint32_t chunk = static_cast<uint32_t>(std::min<size_t>(kChunkSize, m_xferSize - m_xferDone));
    const uint8_t* src = m_xferStorage->Data() + m_xferAddr + m_xferDone;
    ProtocolPacket header;
    header.cmdType = ACK;
    header.param[0] = READ_CMD;
    header.param[1] = CalcCRC(src, chunk, m_xferCrc);
    header.param[2] = m_chunkIndex;
    header.param[3] = chunk;
    SendPacket(header, kFwPacketSize, m_config.FirmwareBaud());
    std::vector<uint8_t> bytes(src, src + chunk);
    const auto& f = m_config.faults;
    if (!m_corruptDone && f.corruptDumpChunk >= 0 && static_cast<uint64_t>(f.corruptDumpChunk) == m_chunkIndex) {
        m_corruptDone = true;
        bytes[chunk / 2] ^= 0xFF;
        if (m_trace != nullptr) {
            m_trace->Event("corrupted_chunk", m_chunkIndex);
        }
    }
    SendBytes(bytes.data(), bytes.size(), m_config.FirmwareBaud(), true);
}

void SimBoard::HandleReadReply(const ProtocolPacket& packet, uint64_t nowMs)
{
    if (packet.cmdType == NACK) {
        SendReadChunk();
        return;
    }
    if (packet.cmdType != CHUNK_ACK) {
        // The host gave up on the dump and speaks again in commands.
        m_state = State::FwCommand;
        m_xferStorage = nullptr;
        HandleFwCommand(packet, nowMs);
        return;
    }
    const uint32_t chunk = static_cast<uint32_t>(std::min<size_t>(kChunkSize, m_xferSize - m_xferDone));
    m_xferCrc = CalcCRC(m_xferStorage->Data() + m_xferAddr + m_xferDone, chunk, m_xferCrc);
    m_xferDone += chunk;
    ++m_chunkIndex;
    if (m_xferDone < m_xferSize) {
        SendReadChunk();
        return;
    }
    Reply(ACK, READ_CMD, m_config.faults.badFinalCrc ? ~m_xferCrc : m_xferCrc);
    m_state = State::FwCommand;
    m_xferStorage = nullptr;
}

void SimBoard::SendPacket(const ProtocolPacket& packet, size_t size, uint32_t baud)
{
    uint8_t wire[kPacketBufferSize];
    EncodePacket(packet, wire, size);
    if (m_trace != nullptr && !m_silent) {
        m_trace->Packet("tx", baud, wire, size);
    }
    SendBytes(wire, size, baud, false);
}

void SimBoard::SendBytes(const uint8_t* data, size_t size, uint32_t baud, bool isData)
{
    if (m_silent || m_hangup || size == 0) {
        return;
    }
    if (isData && m_trace != nullptr) {
        m_trace->Data("tx", baud, size);
    }
    if (m_out.empty() || m_out.back().baud != baud) {
        m_out.push_back(Output{baud, {}});
    }
    m_out.back().bytes.insert(m_out.back().bytes.end(), data, data + size);
}

void SimBoard::Reply(uint32_t type, uint32_t p0, uint32_t p1)
{
    ProtocolPacket packet;
    packet.cmdType = type;
    packet.param[0] = p0;
    packet.param[1] = p1;
    packet.param[4] = PacketCRC(packet, kFwPacketSize);
    SendPacket(packet, kFwPacketSize, m_config.FirmwareBaud());
    if (type == ACK && m_config.faults.silentAfterAck != 0 && p0 == m_config.faults.silentAfterAck) {
        FallSilent("silent_after_ack");
    }
}

void SimBoard::BootReply(uint32_t type, uint32_t p0, uint32_t p1)
{
    ProtocolPacket packet;
    packet.cmdType = type;
    packet.param[0] = p0;
    packet.param[1] = p1;
    packet.param[2] = PacketCRC(packet, kCbPacketSize);
    SendPacket(packet, kCbPacketSize, m_config.BootRomBaud());
    if (type == ACK && m_config.faults.silentAfterAck != 0 && p0 == m_config.faults.silentAfterAck) {
        FallSilent("silent_after_ack");
    }
}

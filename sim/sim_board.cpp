#include "sim_board.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "protocol/codes.h"

namespace {

// A partial command packet that sees no further byte for this long is line
// junk (a host that died mid-packet, bytes of another protocol): the board
// drops it so that the next host's packets are framed right again.
constexpr uint64_t kStalePacketMs = 1000;
// A write or dump whose host has sent nothing for this long was abandoned
// (the host bounds its own silences well below this): the firmware goes back
// to taking commands.
constexpr uint64_t kStaleTransferMs = 15000;

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

SimBoard::SimBoard(const SimConfig& config, SimTrace& trace) : m_config(config), m_trace(trace)
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
    DropInput();
    m_out.clear();
    if (m_mode == Mode::BootRom) {
        // A boot ROM that was taking an image waits for a new announcement.
        if (m_state == State::BootImage) {
            m_state = State::BootCommand;
        }
    } else if (m_state != State::FwFormatting) {
        m_state = State::FwCommand;
    }
    m_trace.Event("host_closed", static_cast<int64_t>(m_rxTotal));
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
                m_trace.Event("noise", static_cast<int64_t>(take));
            } else {
                if (m_inPos > 0 && m_inPos == m_in.size()) {
                    DropInput();
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
            m_trace.Event("hangup", static_cast<int64_t>(m_rxTotal));
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
        m_trace.Event("stale_bytes_dropped", static_cast<int64_t>(m_in.size() - m_inPos));
        DropInput();
    }
    const bool transferState = m_state == State::FwWriteData || m_state == State::FwReadReply;
    if (transferState && nowMs >= m_lastRxMs + kStaleTransferMs) {
        m_trace.Event("transfer_abandoned", static_cast<int64_t>(m_xferDone));
        EndTransfer();
        DropInput();
    }
    bool progress = true;
    while (progress && !m_hangup) {
        progress = m_mode == Mode::BootRom ? StepBoot() : StepFirmware(nowMs);
    }
    if (m_inPos > 0 && m_inPos == m_in.size()) {
        DropInput();
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
    m_trace.Event(why, static_cast<int64_t>(m_rxTotal));
}

void SimBoard::SendPacket(const ProtocolPacket& packet, size_t size, uint32_t baud)
{
    uint8_t wire[kPacketBufferSize];
    EncodePacket(packet, wire, size);
    if (!m_silent) {
        m_trace.Packet("tx", baud, wire, size);
    }
    SendBytes(wire, size, baud, false);
}

void SimBoard::SendBytes(const uint8_t* data, size_t size, uint32_t baud, bool isData)
{
    if (m_silent || m_hangup || size == 0) {
        return;
    }
    if (isData) {
        m_trace.Data("tx", baud, size);
    }
    if (m_out.empty() || m_out.back().baud != baud) {
        m_out.push_back(Output{baud, {}});
    }
    m_out.back().bytes.insert(m_out.back().bytes.end(), data, data + size);
}

void SimBoard::Reply(uint32_t type, uint32_t p0, uint32_t p1)
{
    Answer(type, p0, p1, kFwPacketSize, m_config.FirmwareBaud());
}

void SimBoard::BootReply(uint32_t type, uint32_t p0, uint32_t p1)
{
    Answer(type, p0, p1, kCbPacketSize, m_config.BootRomBaud());
}

void SimBoard::Answer(uint32_t type, uint32_t p0, uint32_t p1, size_t size, uint32_t baud)
{
    ProtocolPacket packet;
    packet.cmdType = type;
    packet.param[0] = p0;
    packet.param[1] = p1;
    // The CRC is the last word: param[2] of a boot packet, param[4] of a
    // firmware one.
    packet.param[size / 4 - 2] = PacketCRC(packet, size);
    SendPacket(packet, size, baud);
    if (type == ACK && m_config.faults.silentAfterAck != 0 && p0 == m_config.faults.silentAfterAck) {
        FallSilent("silent_after_ack");
    }
}

void SimBoard::DropInput()
{
    m_in.clear();
    m_inPos = 0;
}

void SimBoard::EndTransfer()
{
    m_state = State::FwCommand;
    m_xferStorage = nullptr;
}

// The boot ROM of the simulated board: the start handshake, the image
// announcements and the image phases, then the start of the firmware.
#include <algorithm>
#include <cstring>

#include "protocol/codes.h"
#include "sim_board.h"
#include "support/crc.h"

namespace {

// Largest image the boot ROM takes into its SRAM.
constexpr uint32_t kMaxImageSize = 64u * 1024u * 1024u;

const uint8_t kStartPacket[kCbPacketSize] = {0x5A, 0x4F, 0x4C, 0x4B, 0, 0, 0, 0,
                                             0,    0,    0,    0,    0, 0, 0, 0};
// What the boot ROM prints after it answered the start packet.
const char kBootBanner[] = "QEX BOOT ROM 1.0\r\n";

}  // namespace

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
        m_trace.Data("rx", m_rxBaud, m_imageSize);
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
        m_trace.Packet("rx", m_rxBaud, p, kCbPacketSize);
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
    m_trace.Packet("rx", m_rxBaud, p, kCbPacketSize);
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
    DropInput();
    m_trace.Event("firmware_started", 0);
}

void SimBoard::ResetToBootRom()
{
    m_mode = Mode::BootRom;
    m_state = State::BootHunt;
    m_hsmLoaded = false;
    m_formatDoneMs = UINT64_MAX;
    DropInput();
    m_out.clear();
    m_xferStorage = nullptr;
    m_trace.Event("reset", static_cast<int64_t>(m_rxTotal));
}

// The ZOLK firmware of the simulated board: its commands (ping, storage and
// chip information, low format) and the chunk loops of writes and dumps.
#include <algorithm>
#include <cstring>

#include "protocol/codes.h"
#include "sim_board.h"
#include "support/crc.h"

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
        m_trace.Packet("rx", m_rxBaud, p, kFwPacketSize);
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
    m_trace.Packet("rx", m_rxBaud, p, kFwPacketSize);
    m_trace.Data("rx", m_rxBaud, chunk);
    const uint32_t crc = CalcCRC(data, chunk, m_xferCrc);
    const auto& f = m_config.faults;
    if (f.rejectChunk >= 0 && static_cast<uint64_t>(f.rejectChunk) == m_chunkIndex) {
        Reply(NACK, WRITE_CMD, INVALID_CMD);
        EndTransfer();
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
    m_xferStorage->KeepWeakCellsErased(m_config.faults.weakCells, m_xferStorageCode, uint64_t{m_xferAddr} + m_xferDone,
                                       chunk);
    m_xferDone += chunk;
    m_xferCrc = crc;
    ++m_chunkIndex;
    Reply(CHUNK_ACK, WRITE_CMD, crc);
    if (m_xferDone == m_xferSize) {
        Reply(ACK, WRITE_CMD, f.badFinalCrc ? ~crc : crc);
        EndTransfer();
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
        m_trace.Event("corrupted_chunk", m_chunkIndex);
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
        EndTransfer();
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
    EndTransfer();
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

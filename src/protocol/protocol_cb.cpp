#include "protocol/protocol_cb.h"

#include <algorithm>
#include <cstdio>

#include "support/clock.h"
#include "support/console.h"
#include "support/crc.h"
#include "support/logger.h"
#include "support/progress_bar.h"
#include "support/run_record.h"
#include "support/stop_request.h"
#include "support/zolk_args.h"
#include "support/zolk_file.h"
#include "transport/serial_port.h"

namespace {
// The boot ROM takes the image in writes of at most this many bytes.
constexpr uint32_t kBootWriteSize = 4;
// Bytes taken from the file at a time; they then go out in boot writes.
constexpr uint32_t kBootReadBlock = 0x10000;
// Refused or missing start answers before the user is asked to reset.
constexpr int kMaxStartRetries = 30;
// What the boot ROM may send after its start answer; read and dropped.
constexpr uint32_t kStartTrailerSize = 50;
}  // namespace

bool ProtocolCB::SendCommand(const ProtocolPacket* pCmd)
{
    return SendCommandAs(pCmd, "[ProtocolCB::SendCommand:%d] ");
}

bool ProtocolCB::RecvResPacket(uint32_t cmd, ProtocolPacket* pRes, uint32_t pollCount)
{
    return RecvResPacketAs(cmd, pRes, pollCount, "[ProtocolCB::RecvResPacket:%d] ");
}

bool ProtocolCB::CheckResPacket(const ProtocolPacket* pRes, uint32_t cmd, const uint32_t* pCrc)
{
    return CheckResPacketAs(pRes, cmd, pCrc, false, "[ProtocolCB::CheckResPacket:%d] ",
                            "[ProtocolCB::DumpPacket:%d] ");
}

void ProtocolCB::DumpPacket(int level, const ProtocolPacket* pPacket)
{
    DumpPacketAs(level, pPacket, "[ProtocolCB::DumpPacket:%d] ");
}

ProtocolPacket ProtocolCB::MakeCmdPacket(uint32_t code, const ZOLKArgs* pZolkArgs)
{
    ProtocolPacket packet;
    packet.cmdType = code;
    if (code == RECEIVE_HSM_CMD || code == RECEIVE_ZOLK_CMD) {
        if (pZolkArgs == nullptr) {
            LOG_MSG(LOG_ERROR, "[ProtocolCB::MakeCmdPacket:%d] ", "[ERROR] pZolkArgs == NULL\n");
            return packet;
        }
        if (pZolkArgs->pWriteFileName == nullptr) {
            LOG_MSG(LOG_ERROR, "[ProtocolCB::MakeCmdPacket:%d] ", "[ERROR] pWriteFileName == NULL\n");
            return packet;
        }
        // The image is a region of its file: the HSM image sits at 0x2000 of
        // its source, the firmware is a whole file.
        ZOLKFile opened;
        ZOLKFile& file = WriteFileOf(pZolkArgs, opened);
        const uint64_t offset = pZolkArgs->ullFileOffset;
        uint32_t size = 0;
        if (pZolkArgs->ullSize != 0) {
            size = static_cast<uint32_t>(pZolkArgs->ullSize);
        } else if (file.GetSize() > offset) {
            size = static_cast<uint32_t>(file.GetSize() - offset);
        }
        packet.param[0] = size;
        packet.param[1] = size != 0 ? CalcCRCInFile(&file, offset, size) : 0;
    }
    packet.param[2] = PacketCRC(packet, kCbPacketSize);
    return packet;
}

const char* ProtocolCB::SendFileTag() const
{
    return "[ProtocolCB::SendFile:%d] ";
}

bool ProtocolCB::SendFile(ZOLKFile& file, uint32_t offset, uint32_t size)
{
    if (m_serial == nullptr) {
        LOG_MSG(LOG_ERROR, "[ProtocolCB::SendFile:%d] ", "[ERROR] m_serial == NULL\n");
        return false;
    }
    if (!file.IsOpen() || !file.SetOffset(offset, SEEK_SET)) {
        return false;  // the file reported why
    }
    const uint32_t total = size != 0 ? size : static_cast<uint32_t>(file.GetSize() - offset);

    ProgressBar::Transfer progress(total);

    uint32_t sent = 0;
    uint32_t lastProgress = static_cast<uint32_t>(MilliClock());
    while (sent < total) {
        const uint32_t block = std::min(total - sent, kBootReadBlock);
        uint64_t got = 0;
        const uint8_t* data = file.Read(block, &got);
        if (data == nullptr || got != block) {
            return false;  // the file shrank; the read reported it
        }
        for (uint32_t pos = 0; pos < block;) {
            if (StopRequested()) {
                return false;
            }
            // A short write sends the rest of its piece before the next one,
            // so the ROM never sees a piece split across two boundaries.
            const uint32_t pieceEnd = std::min(pos + kBootWriteSize, block);
            while (pos < pieceEnd) {
                uint32_t written = 0;
                if (!m_serial->SendData(data + pos, pieceEnd - pos, &written)) {
                    if (m_serial->LastFailure() == SerialFailure::kStopped) {
                        return false;
                    }
                    if (LineLost()) {
                        LOG_MSG(LOG_ERROR, "[ProtocolCB::SendFile:%d] ",
                                "Serial line is gone - image stopped at byte %u of %u\n", sent, total);
                    } else {
                        LOG_MSG(LOG_ERROR, "[ProtocolCB::SendFile:%d] ", "Image stopped at byte %u of %u\n", sent,
                                total);
                    }
                    return false;
                }
                if (written > pieceEnd - pos) {
                    written = pieceEnd - pos;
                }
                if (written != 0) {
                    pos += written;
                    sent += written;
                    RunRecord::Get().AddBytes(written);
                    progress.Plus(written);
                    lastProgress = static_cast<uint32_t>(MilliClock());
                } else if (static_cast<uint32_t>(MilliClock()) - lastProgress >= AnswerBoundMs()) {
                    char bound[32];
                    LOG_MSG(LOG_ERROR, "[ProtocolCB::SendFile:%d] ",
                            "Image stopped at byte %u of %u - the line took nothing for %s\n", sent, total,
                            BoundText(AnswerBoundMs(), bound, sizeof(bound)));
                    return false;
                }
            }
        }
    }
    progress.End();
    LOG_MSG(LOG_DETAIL, "[ProtocolCB::SendFile:%d] ", "Complete to send file\n");
    return true;
}

bool ProtocolCB::StartQEXZOLK()
{
    int retry = 0;
    // The answer buffer is cleared once: a short answer keeps earlier bytes.
    uint8_t answer[kPacketBufferSize] = {};
    ProtocolPacket start;
    start.cmdType = START_CMD;  // no CRC in the start packet
    uint8_t startWire[kPacketBufferSize] = {};
    EncodePacket(start, startWire, kCbPacketSize);

    if (m_serial == nullptr) {
        LOG_MSG(LOG_ERROR, "[ProtocolCB::StartQEXZOLK:%d] ", "[ERROR] m_serial == NULL\n");
        return false;
    }
    m_serial->SetCommunicationTimeouts(10, 10, 10, 10, 10);

    for (;;) {
        if (StopRequested()) {
            ConsoleEndOpenLine();  // the retry counter's line
            return false;
        }
        uint32_t written = 0;
        if (!m_serial->SendData(startWire, kCbPacketSize, &written)) {
            if (m_serial->LastFailure() != SerialFailure::kStopped) {
                LOG_MSG(LOG_ERROR, "[ProtocolCB::StartQEXZOLK:%d] ", "Failed send data(%lu / %lu)\n",
                        static_cast<unsigned long>(written), static_cast<unsigned long>(kCbPacketSize));
            }
            return false;
        }
        uint32_t got = 0;
        // A failed read is not a refusal, unless it damaged the answer (a
        // boot ROM at another speed gives framing errors on every answer):
        // that is counted, so the reset prompt still comes. A line that
        // cannot carry anything any more ends the handshake.
        bool damaged = false;
        if (!m_serial->ReadDataTimeout(answer, kCbPacketSize, &got, 1)) {
            if (LineLost()) {
                return false;
            }
            damaged = m_serial->LastFailure() == SerialFailure::kLineError;
            if (!damaged) {
                continue;
            }
        }
        const ProtocolPacket res = DecodePacket(answer, kCbPacketSize);
        if (!damaged && res.param[0] == START_CMD && res.cmdType == ACK) {
            LOG_MSG(LOG_DETAIL, "[ProtocolCB::StartQEXZOLK:%d] ", "Complete to receive start res\n");
            uint8_t trailer[kStartTrailerSize];
            m_serial->ReadDataTimeout(trailer, kStartTrailerSize, &got, 1);
            return true;
        }
        std::printf("\rRetry : %d", retry);
        std::fflush(stdout);
        ConsoleMarkOpenLine();
        ++retry;
        if (retry > kMaxStartRetries) {
            LOG_MSG(LOG_ERROR, "[ProtocolCB::StartQEXZOLK:%d] ", "Please reset target board and retry zolk\n");
            return false;
        }
    }
}

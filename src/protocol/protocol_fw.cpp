#include "protocol/protocol_fw.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "protocol/codes.h"
#include "support/crc.h"
#include "support/logger.h"
#include "support/progress_bar.h"
#include "support/run_record.h"
#include "support/stop_request.h"
#include "support/zolk_args.h"
#include "support/zolk_file.h"
#include "transport/serial_port.h"

namespace {
// Data bytes behind one chunk header, in both directions.
constexpr uint32_t kChunkSize = 0x800;
}  // namespace

bool ProtocolFW::SendCommand(const ProtocolPacket* pCmd)
{
    return SendCommandAs(pCmd, "[ProtocolFW::SendCommand:%d] ");
}

bool ProtocolFW::RecvResPacket(uint32_t cmd, ProtocolPacket* pRes, uint32_t pollCount)
{
    return RecvResPacketAs(cmd, pRes, pollCount, "[ProtocolFW::RecvResPacket:%d] ");
}

bool ProtocolFW::CheckResPacket(const ProtocolPacket* pRes, uint32_t cmd, const uint32_t* pCrc)
{
    return CheckResPacketAs(pRes, cmd, pCrc, true, "[ProtocolFW::CheckResPacket:%d] ",
                            "[ProtocolFW::DumpPacket:%d] ");
}

void ProtocolFW::DumpPacket(int level, const ProtocolPacket* pPacket)
{
    DumpPacketAs(level, pPacket, "[ProtocolFW::DumpPacket:%d] ");
}

ProtocolPacket ProtocolFW::MakeCmdPacket(uint32_t code, const ZOLKArgs* pZolkArgs)
{
    ProtocolPacket packet;
    packet.cmdType = code;
    if (code == WRITE_CMD) {
        if (pZolkArgs == nullptr) {
            LOG_MSG(LOG_ERROR, "[ProtocolFW::MakeCmdPacket:%d] ", "[ERROR] pZolkArgs == NULL\n");
            return packet;
        }
        if (pZolkArgs->pWriteFileName == nullptr) {
            LOG_MSG(LOG_ERROR, "[ProtocolFW::MakeCmdPacket:%d] ", "[ERROR] pWriteFileName == NULL\n");
            return packet;
        }
        ZOLKFile opened;
        ZOLKFile& file = WriteFileOf(pZolkArgs, opened);
        const uint64_t offset = pZolkArgs->ullFileOffset;
        uint32_t size = 0;
        if (pZolkArgs->ullSize != 0) {
            size = static_cast<uint32_t>(pZolkArgs->ullSize);
        } else if (file.GetSize() > offset) {
            size = static_cast<uint32_t>(file.GetSize() - offset);
        }
        packet.param[0] = StrToUintStorageType(pZolkArgs->pStorage);
        packet.param[1] = size;
        packet.param[2] = static_cast<uint32_t>(pZolkArgs->ullAddr);
        // The CRC of exactly the bytes SendFile will send.
        packet.param[3] = size != 0 ? CalcCRCInFile(&file, offset, size) : 0;
    } else if (code == READ_CMD) {
        if (pZolkArgs == nullptr) {
            LOG_MSG(LOG_ERROR, "[ProtocolFW::MakeCmdPacket:%d] ", "[ERROR] pZolkArgs == NULL\n");
            return packet;
        }
        if (pZolkArgs->pReadFileName == nullptr) {
            LOG_MSG(LOG_ERROR, "[ProtocolFW::MakeCmdPacket:%d] ", "[ERROR] pReadFileName == NULL\n");
            return packet;
        }
        packet.param[0] = StrToUintStorageType(pZolkArgs->pStorage);
        packet.param[1] = static_cast<uint32_t>(pZolkArgs->ullSize);
        packet.param[2] = static_cast<uint32_t>(pZolkArgs->ullAddr);
    }
    packet.param[4] = PacketCRC(packet, kFwPacketSize);
    return packet;
}

const char* ProtocolFW::SendFileTag() const
{
    return "[ProtocolFW::SendFile:%d] ";
}

bool ProtocolFW::SendFile(ZOLKFile& file, uint32_t offset, uint32_t size)
{
    if (m_serial == nullptr) {
        LOG_MSG(LOG_ERROR, "[ProtocolFW::SendFile:%d] ", "[ERROR] m_serial == NULL\n");
        return false;
    }
    if (!file.IsOpen() || !file.SetOffset(offset, SEEK_SET)) {
        return false;  // the file reported why
    }
    const uint32_t total = size != 0 ? size : static_cast<uint32_t>(file.GetSize() - offset);

    ProgressBar::Transfer progress(total);

    // Header and chunk leave together from one buffer: one write per chunk.
    uint8_t frame[kPacketBufferSize + kChunkSize];
    // The header is built in the buffer that receives the replies: before the
    // first reply its other words are zero, afterwards those of the last reply.
    ProtocolPacket header;
    uint32_t crc = 0;
    uint32_t sent = 0;
    while (sent < total) {
        const uint32_t chunk = std::min(total - sent, kChunkSize);
        uint64_t got = 0;
        const uint8_t* data = file.Read(chunk, &got);
        if (data == nullptr || got != chunk) {
            return false;  // the file shrank; the read reported it
        }
        std::memcpy(frame + kPacketBufferSize, data, chunk);
        crc = CalcCRC(frame + kPacketBufferSize, chunk, crc);

        uint32_t refusals = 0;
        for (;;) {
            header.cmdType = ACK;
            header.param[0] = crc;
            EncodePacket(header, frame, kPacketBufferSize);
            uint32_t written = 0;
            if (!m_serial->SendData(frame, kPacketBufferSize + chunk, &written) ||
                written != kPacketBufferSize + chunk) {
                if (m_serial->LastFailure() == SerialFailure::kStopped) {
                    return false;
                }
                if (LineLost()) {
                    LOG_MSG(LOG_ERROR, "[ProtocolFW::SendFile:%d] ",
                            "Serial line is gone - sending the chunk at byte %u of %u\n", sent, total);
                } else {
                    LOG_MSG(LOG_ERROR, "[ProtocolFW::SendFile:%d] ", "Failed to send the chunk at byte %u of %u\n",
                            sent, total);
                }
                return false;
            }

            uint8_t reply[kPacketBufferSize] = {};
            bool damaged = false;
            switch (ReadInPhase(reply, kPacketBufferSize, AnswerBoundMs())) {
            case PhaseRead::kComplete:
                break;
            case PhaseRead::kSilent: {
                char what[64];
                std::snprintf(what, sizeof(what), "reply to the chunk at byte %u of %u", sent, total);
                ReportSilence("[ProtocolFW::SendFile:%d] ", what, AnswerBoundMs());
                return false;
            }
            case PhaseRead::kGone:
                LOG_MSG(LOG_ERROR, "[ProtocolFW::SendFile:%d] ",
                        "Serial line is gone - waiting for the reply to the chunk at byte %u of %u\n", sent,
                        total);
                return false;
            case PhaseRead::kDamaged:
                damaged = true;
                break;
            case PhaseRead::kStopped:
            case PhaseRead::kFailed:
                return false;  // a stop prints nothing; the port printed its failure
            }
            if (!damaged) {
                header = DecodePacket(reply, kPacketBufferSize);
                if (header.cmdType == CHUNK_ACK) {
                    break;
                }
            }
            // A chunk that arrived damaged goes again, the same bytes; so
            // does one whose reply was damaged on the way back, as the
            // target may have refused it.
            if (damaged || (header.cmdType == NACK && header.param[1] == FAIL_CALC_CRC_FILE)) {
                if (damaged) {
                    SkipDamagedInput();
                }
                if (++refusals > kMaxChunkRetries) {
                    LOG_MSG(LOG_ERROR, "[ProtocolFW::SendFile:%d] ", "Chunk at byte %u refused %u times in a row\n",
                            sent, refusals);
                    return false;
                }
                RunRecord::Get().AddRetry();
                continue;
            }
            LOG_MSG(LOG_ERROR, "[ProtocolFW::SendFile:%d] ", "Failed to send file\n");
            DumpPacket(LOG_ERROR, &header);
            return false;
        }
        sent += chunk;
        RunRecord::Get().AddBytes(chunk);
        progress.Plus(chunk);
    }
    progress.End();
    LOG_MSG(LOG_DETAIL, "[ProtocolFW::SendFile:%d] ", "Complete to send file\n");
    return true;
}

bool ProtocolFW::RecvData(void* pBuf, uint32_t size, uint32_t pollCount)
{
    if (pBuf == nullptr) {
        LOG_MSG(LOG_ERROR, "[ProtocolFW::RecvData:%d] ", "pbuff == NULL\n");
        return false;
    }
    if (m_serial == nullptr) {
        LOG_MSG(LOG_ERROR, "[ProtocolFW::RecvData:%d] ", "[ERROR] m_serial == NULL\n");
        return false;
    }
    if (pollCount == 0) {
        char what[48];
        std::snprintf(what, sizeof(what), "%u bytes of data", size);
        return RecvWithin(pBuf, size, AnswerBoundMs(), what, "[ProtocolFW::RecvData:%d] ");
    }
    uint32_t got = 0;
    return m_serial->ReadDataTimeout(pBuf, size, &got, pollCount);
}

bool ProtocolFW::DumpProtocol(ByteSink* pSink, uint32_t cmd, uint32_t size)
{
    if (m_serial == nullptr) {
        LOG_MSG(LOG_ERROR, "[ProtocolFW::DumpProtocol:%d] ", "[ERROR] m_serial == NULL\n");
        return false;
    }
    uint32_t crc = 0;
    if (!RecvDataAndCreateFile(pSink, cmd, size, &crc)) {
        return false;
    }

    char what[64];
    std::snprintf(what, sizeof(what), "final answer to %s", CodeName(cmd));
    uint8_t wire[kPacketBufferSize] = {};
    if (!RecvWithin(wire, kPacketBufferSize, AnswerBoundMs(), what, "[ProtocolFW::DumpProtocol:%d] ")) {
        return false;
    }
    const ProtocolPacket res = DecodePacket(wire, kPacketBufferSize);
    if (!CheckResPacket(&res, cmd, &crc)) {
        return false;
    }
    // A full disk often shows only when the buffered tail is written out.
    return pSink->Flush();
}

bool ProtocolFW::RecvDataAndCreateFile(ByteSink* pSink, uint32_t cmd, uint32_t size, uint32_t* pCRC)
{
    if (m_serial == nullptr) {
        LOG_MSG(LOG_ERROR, "[ProtocolFW::RecvDataAndCreateFile:%d] ", "[ERROR] m_serial == NULL\n");
        return false;
    }
    if (pCRC == nullptr) {
        LOG_MSG(LOG_ERROR, "[ProtocolFW::RecvDataAndCreateFile:%d] ", "[ERROR] pCRC == NULL\n");
        return false;
    }
    if (pSink == nullptr) {
        LOG_MSG(LOG_ERROR, "[ProtocolFW::RecvDataAndCreateFile:%d] ", "[ERROR] pSink == NULL\n");
        return false;
    }

    ProgressBar::Transfer progress(size);

    // Header and chunk arrive back to back into one buffer; the chunk goes
    // from there straight into the sink.
    uint8_t frame[kPacketBufferSize + kChunkSize];
    uint8_t* const data = frame + kPacketBufferSize;
    uint32_t crc = 0;
    uint32_t received = 0;
    uint32_t refusals = 0;
    bool ok = true;
    while (ok && received < size) {
        const uint32_t chunk = std::min(size - received, kChunkSize);
        uint32_t got = 0;
        bool damaged = false;
        switch (ReadInPhase(frame, kPacketBufferSize + chunk, AnswerBoundMs(), &got)) {
        case PhaseRead::kComplete:
            break;
        case PhaseRead::kSilent: {
            char what[80];
            std::snprintf(what, sizeof(what), "%s of the chunk at byte %u of %u",
                          got < kPacketBufferSize ? "header" : "data", received, size);
            ReportSilence("[ProtocolFW::RecvDataAndCreateFile:%d] ", what, AnswerBoundMs());
            ok = false;
            continue;
        }
        case PhaseRead::kGone:
            LOG_MSG(LOG_ERROR, "[ProtocolFW::RecvDataAndCreateFile:%d] ",
                    "Serial line is gone - waiting for the chunk at byte %u of %u\n", received, size);
            ok = false;
            continue;
        case PhaseRead::kDamaged:
            damaged = true;
            SkipDamagedInput();
            break;
        case PhaseRead::kStopped:
            ok = false;  // nothing to say: the run says why it stopped
            continue;
        case PhaseRead::kFailed:
            ok = false;  // the port reported the failed read
            continue;
        }

        // The reply is built on the header; a damaged header is replaced.
        ProtocolPacket reply = damaged ? ProtocolPacket{} : DecodePacket(frame, kPacketBufferSize);
        const uint32_t next = damaged ? 0 : CalcCRC(data, chunk, crc);
        if (!damaged && next == reply.param[1]) {
            if (!pSink->Write(data, chunk)) {
                ok = false;  // the sink reported why
                continue;
            }
            crc = next;
            received += chunk;
            refusals = 0;
            RunRecord::Get().AddBytes(chunk);
            progress.Plus(chunk);
            reply.cmdType = CHUNK_ACK;
        } else {
            // Damaged on the line: not written; the target sends it again.
            if (++refusals > kMaxChunkRetries) {
                LOG_MSG(LOG_ERROR, "[ProtocolFW::RecvDataAndCreateFile:%d] ",
                        "Chunk at byte %u refused %u times in a row\n", received, refusals);
                ok = false;
                continue;
            }
            RunRecord::Get().AddRetry();
            reply.cmdType = NACK;
            reply.param[1] = FAIL_CALC_CRC_FILE;
        }
        reply.param[0] = cmd;
        EncodePacket(reply, frame, kPacketBufferSize);
        uint32_t written = 0;
        if (!m_serial->SendData(frame, kPacketBufferSize, &written) || written != kPacketBufferSize) {
            if (m_serial->LastFailure() == SerialFailure::kStopped) {
                // the run says why it stopped
            } else if (LineLost()) {
                LOG_MSG(LOG_ERROR, "[ProtocolFW::RecvDataAndCreateFile:%d] ",
                        "Serial line is gone - answering the chunk at byte %u of %u\n", received, size);
            } else {
                LOG_MSG(LOG_ERROR, "[ProtocolFW::RecvDataAndCreateFile:%d] ",
                        "Failed to answer the chunk at byte %u of %u\n", received, size);
            }
            ok = false;
        }
    }
    if (!ok) {
        return false;  // what arrived stays in the sink: its owner says how much
    }
    progress.End();
    LOG_MSG(LOG_DETAIL, "[ProtocolFW::RecvDataAndCreateFile:%d] ", "Complete to receive storage dump data\n");
    *pCRC = crc;
    return true;
}

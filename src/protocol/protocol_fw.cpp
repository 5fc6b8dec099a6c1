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

bool ProtocolFW::FillCommand(uint32_t code, const ZOLKArgs* pZolkArgs, ProtocolPacket* pPacket)
{
    if (code == WRITE_CMD || code == READ_CMD) {
        if (!HasArgsFile(pZolkArgs, code == WRITE_CMD, "[ProtocolFW::MakeCmdPacket:%d] ")) {
            return false;
        }
        // The size and CRC of exactly the bytes SendFile will send.
        const Region region = code == WRITE_CMD ? RegionOfArgs(*pZolkArgs) : Region{};
        pPacket->param[0] = StrToUintStorageType(pZolkArgs->pStorage);
        pPacket->param[1] = code == WRITE_CMD ? region.size : static_cast<uint32_t>(pZolkArgs->ullSize);
        pPacket->param[2] = static_cast<uint32_t>(pZolkArgs->ullAddr);
        pPacket->param[3] = region.crc;
    }
    return true;
}

bool ProtocolFW::SendRegion(ZOLKFile& file, uint32_t total, ProgressBar::Transfer& progress, const char* tag)
{
    CSerialPort* const serial = GetSerial();
    // Header and chunk leave together from one buffer: one write per chunk.
    uint8_t frame[kPacketBufferSize + kChunkSize];
    // The header is built in the buffer that receives the replies: before the
    // first reply its other words are zero, afterwards those of the last reply.
    ProtocolPacket header;
    uint32_t crc = 0;
    uint32_t sent = 0;
    while (sent < total) {
        const uint32_t chunk = std::min(total - sent, kChunkSize);
        const uint8_t* data = ReadPiece(file, chunk);
        if (data == nullptr) {
            return false;
        }
        std::memcpy(frame + kPacketBufferSize, data, chunk);
        crc = CalcCRC(frame + kPacketBufferSize, chunk, crc);
        char what[64];
        std::snprintf(what, sizeof(what), "reply to the chunk at byte %u of %u", sent, total);

        uint32_t refusals = 0;
        for (;;) {
            header.cmdType = ACK;
            header.param[0] = crc;
            EncodePacket(header, frame, kPacketBufferSize);
            uint32_t written = 0;
            if (!serial->SendData(frame, kPacketBufferSize + chunk, &written) ||
                written != kPacketBufferSize + chunk) {
                ReportWriteFailure(tag, "sending the chunk at byte %u of %u",
                                   "Failed to send the chunk at byte %u of %u", sent, total);
                return false;
            }

            uint8_t reply[kPacketBufferSize] = {};
            const PhaseRead r = ReadPhase(reply, kPacketBufferSize, AnswerBoundMs(), PhaseWords{what}, tag);
            const bool damaged = r == PhaseRead::kDamaged;
            if (r != PhaseRead::kComplete && !damaged) {
                return false;
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
                if (!CountRefusal(&refusals, sent, tag)) {
                    return false;
                }
                continue;
            }
            LOG_MSG(LOG_ERROR, tag, "Failed to send file\n");
            DumpPacket(LOG_ERROR, &header);
            return false;
        }
        sent += chunk;
        RunRecord::Get().AddBytes(chunk);
        progress.Plus(chunk);
    }
    return true;
}

bool ProtocolFW::CountRefusal(uint32_t* pRefusals, uint32_t at, const char* tag)
{
    if (++*pRefusals > kMaxChunkRetries) {
        LOG_MSG(LOG_ERROR, tag, "Chunk at byte %u refused %u times in a row\n", at, *pRefusals);
        return false;
    }
    RunRecord::Get().AddRetry();
    return true;
}

bool ProtocolFW::RecvData(void* pBuf, uint32_t size, uint32_t pollCount)
{
    if (pBuf == nullptr) {
        LOG_MSG(LOG_ERROR, "[ProtocolFW::RecvData:%d] ", "pbuff == NULL\n");
        return false;
    }
    CSerialPort* const serial = GetSerial();
    if (serial == nullptr) {
        LOG_MSG(LOG_ERROR, "[ProtocolFW::RecvData:%d] ", "[ERROR] m_serial == NULL\n");
        return false;
    }
    if (pollCount == 0) {
        char what[48];
        std::snprintf(what, sizeof(what), "%u bytes of data", size);
        return RecvWithin(pBuf, size, AnswerBoundMs(), what, "[ProtocolFW::RecvData:%d] ");
    }
    uint32_t got = 0;
    return serial->ReadDataTimeout(pBuf, size, &got, pollCount);
}

bool ProtocolFW::DumpProtocol(ByteSink* pSink, uint32_t cmd, uint32_t size)
{
    const char* const tag = "[ProtocolFW::DumpProtocol:%d] ";
    if (GetSerial() == nullptr) {
        LOG_MSG(LOG_ERROR, tag, "[ERROR] m_serial == NULL\n");
        return false;
    }
    uint32_t crc = 0;
    if (!RecvDataAndCreateFile(pSink, cmd, size, &crc)) {
        return false;
    }
    char what[64];
    std::snprintf(what, sizeof(what), "final answer to %s", CodeName(cmd));
    if (!RecvFinalAnswer(cmd, what, tag, crc)) {
        return false;
    }
    // A full disk often shows only when the buffered tail is written out.
    return pSink->Flush();
}

bool ProtocolFW::RecvDataAndCreateFile(ByteSink* pSink, uint32_t cmd, uint32_t size, uint32_t* pCRC)
{
    const char* const tag = "[ProtocolFW::RecvDataAndCreateFile:%d] ";
    CSerialPort* const serial = GetSerial();
    if (serial == nullptr) {
        LOG_MSG(LOG_ERROR, tag, "[ERROR] m_serial == NULL\n");
        return false;
    }
    if (pCRC == nullptr) {
        LOG_MSG(LOG_ERROR, tag, "[ERROR] pCRC == NULL\n");
        return false;
    }
    if (pSink == nullptr) {
        LOG_MSG(LOG_ERROR, tag, "[ERROR] pSink == NULL\n");
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
    while (received < size) {
        const uint32_t chunk = std::min(size - received, kChunkSize);
        char at[48];
        std::snprintf(at, sizeof(at), "chunk at byte %u of %u", received, size);
        PhaseWords words{at};
        words.headerSize = kPacketBufferSize;
        const PhaseRead r = ReadPhase(frame, kPacketBufferSize + chunk, AnswerBoundMs(), words, tag);
        const bool damaged = r == PhaseRead::kDamaged;
        if (r != PhaseRead::kComplete && !damaged) {
            return false;  // what arrived stays in the sink: its owner says how much
        }

        // The reply is built on the header; a damaged header is replaced.
        ProtocolPacket reply = damaged ? ProtocolPacket{} : DecodePacket(frame, kPacketBufferSize);
        const uint32_t next = damaged ? 0 : CalcCRC(data, chunk, crc);
        if (!damaged && next == reply.param[1]) {
            if (!pSink->Write(data, chunk)) {
                return false;  // the sink reported why
            }
            crc = next;
            received += chunk;
            refusals = 0;
            RunRecord::Get().AddBytes(chunk);
            progress.Plus(chunk);
            reply.cmdType = CHUNK_ACK;
        } else {
            // Damaged on the line: not written; the target sends it again.
            if (!CountRefusal(&refusals, received, tag)) {
                return false;
            }
            reply.cmdType = NACK;
            reply.param[1] = FAIL_CALC_CRC_FILE;
        }
        reply.param[0] = cmd;
        EncodePacket(reply, frame, kPacketBufferSize);
        uint32_t written = 0;
        if (!serial->SendData(frame, kPacketBufferSize, &written) || written != kPacketBufferSize) {
            // The count already holds a chunk that was taken.
            ReportWriteFailure(tag, "answering the chunk at byte %u of %u",
                               "Failed to answer the chunk at byte %u of %u", received, size);
            return false;
        }
    }
    progress.End();
    LOG_MSG(LOG_DETAIL, tag, "Complete to receive storage dump data\n");
    *pCRC = crc;
    return true;
}

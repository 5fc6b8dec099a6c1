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

bool ProtocolCB::FillCommand(uint32_t code, const ZOLKArgs* pZolkArgs, ProtocolPacket* pPacket)
{
    if (code == RECEIVE_HSM_CMD || code == RECEIVE_ZOLK_CMD) {
        if (!HasArgsFile(pZolkArgs, true, "[ProtocolCB::MakeCmdPacket:%d] ")) {
            return false;
        }
        // The image is a region of its file: the HSM image sits at 0x2000 of
        // its source, the firmware is a whole file.
        const Region region = RegionOfArgs(*pZolkArgs);
        pPacket->param[0] = region.size;
        pPacket->param[1] = region.crc;
    }
    return true;
}

bool ProtocolCB::SendRegion(ZOLKFile& file, uint32_t total, ProgressBar::Transfer& progress, const char* tag)
{
    CSerialPort* const serial = GetSerial();
    uint32_t sent = 0;
    uint32_t lastProgress = static_cast<uint32_t>(MilliClock());
    while (sent < total) {
        const uint32_t block = std::min(total - sent, kBootReadBlock);
        const uint8_t* data = ReadPiece(file, block);
        if (data == nullptr) {
            return false;
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
                if (!serial->SendData(data + pos, pieceEnd - pos, &written)) {
                    ReportWriteFailure(tag, "image stopped at byte %u of %u", "Image stopped at byte %u of %u", sent,
                                       total);
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
                    LOG_MSG(LOG_ERROR, tag, "Image stopped at byte %u of %u - the line took nothing for %s\n", sent,
                            total, BoundText(AnswerBoundMs(), bound, sizeof(bound)));
                    return false;
                }
            }
        }
    }
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

    CSerialPort* const serial = GetSerial();
    if (serial == nullptr) {
        LOG_MSG(LOG_ERROR, "[ProtocolCB::StartQEXZOLK:%d] ", "[ERROR] m_serial == NULL\n");
        return false;
    }
    serial->SetCommunicationTimeouts(10, 10, 10, 10, 10);

    for (;;) {
        if (StopRequested()) {
            ConsoleEndOpenLine();  // the retry counter's line
            return false;
        }
        uint32_t written = 0;
        if (!serial->SendData(startWire, kCbPacketSize, &written)) {
            if (serial->LastFailure() != SerialFailure::kStopped) {
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
        if (!serial->ReadDataTimeout(answer, kCbPacketSize, &got, 1)) {
            if (LineLost()) {
                return false;
            }
            damaged = serial->LastFailure() == SerialFailure::kLineError;
            if (!damaged) {
                continue;
            }
        }
        const ProtocolPacket res = DecodePacket(answer, kCbPacketSize);
        if (!damaged && res.param[0] == START_CMD && res.cmdType == ACK) {
            LOG_MSG(LOG_DETAIL, "[ProtocolCB::StartQEXZOLK:%d] ", "Complete to receive start res\n");
            uint8_t trailer[kStartTrailerSize];
            serial->ReadDataTimeout(trailer, kStartTrailerSize, &got, 1);
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

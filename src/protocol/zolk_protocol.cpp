#include "protocol/zolk_protocol.h"

#include <atomic>
#include <cstdio>
#include <cstring>

#include "support/clock.h"
#include "support/crc.h"
#include "support/logger.h"
#include "support/run_record.h"
#include "support/stop_request.h"
#include "support/progress_bar.h"
#include "support/zolk_args.h"
#include "support/zolk_file.h"
#include "transport/serial_port.h"

namespace {
std::atomic<uint32_t> g_silenceLimitMs{kDefaultSilenceLimitMs};
std::atomic<uint32_t> g_timeoutScale{1};

constexpr uint64_t kMiB = 1024 * 1024;
// Damaged input is dropped in pieces of this size, at most this many.
constexpr uint32_t kSkipPieceSize = 256;
constexpr int kMaxSkipPieces = 64;

// The tag of the class's RecvResPacket, for the waits shared by both.
const char* RecvTag(uint32_t packetSize)
{
    return packetSize == kCbPacketSize ? "[ProtocolCB::RecvResPacket:%d] " : "[ProtocolFW::RecvResPacket:%d] ";
}
}  // namespace

void ZolkProtocol::SetSilenceLimitMs(uint32_t ms)
{
    g_silenceLimitMs = ms;
}

uint32_t ZolkProtocol::GetSilenceLimitMs()
{
    return g_silenceLimitMs;
}

void ZolkProtocol::SetTimeoutScale(uint32_t scale)
{
    g_timeoutScale = scale == 0 ? 1 : scale;
}

uint32_t ZolkProtocol::GetTimeoutScale()
{
    return g_timeoutScale;
}

uint64_t ZolkProtocol::AnswerBoundMs()
{
    return static_cast<uint64_t>(g_silenceLimitMs) * g_timeoutScale;
}

uint64_t ZolkProtocol::EraseAnswerBoundMs(uint64_t windowBytes)
{
    const uint64_t mib = (windowBytes + kMiB - 1) / kMiB;
    return AnswerBoundMs() * (1 + kEraseLimitsPerMiB * mib);
}

const char* ZolkProtocol::BoundText(uint64_t boundMs, char* text, uint32_t textSize)
{
    if (boundMs % 1000 == 0) {
        std::snprintf(text, textSize, "%llu s", static_cast<unsigned long long>(boundMs / 1000));
    } else {
        std::snprintf(text, textSize, "%llu ms", static_cast<unsigned long long>(boundMs));
    }
    return text;
}

void ZolkProtocol::ReportSilence(const char* tag, const char* what, uint64_t boundMs, const char* detail)
{
    char bound[32];
    LOG_MSG(LOG_ERROR, tag, "No %s for %s - the board stopped answering%s\n", what,
            BoundText(boundMs, bound, sizeof(bound)), detail);
}

char* ZolkProtocol::DefineToString(uint32_t code, char* text)
{
    const char* name = CodeName(code);
    std::memcpy(text, name, std::strlen(name) + 1);
    return text;
}

bool CheckFileRegion(const char* pFileName, uint64_t offset, uint64_t size, const char* tag, ZOLKFile& file)
{
    if (pFileName == nullptr) {
        LOG_MSG(LOG_ERROR, tag, "[ERROR] pFileName == NULL\n");
        return false;
    }
    if (!file.Open(pFileName, "rb")) {
        return false;  // the file reported why
    }
    return CheckFileRegion(file, offset, size, tag);
}

bool CheckFileRegion(const ZOLKFile& file, uint64_t offset, uint64_t size, const char* tag)
{
    const char* pFileName = file.GetName().c_str();
    const uint64_t fileSize = file.GetSize();
    if (size == 0) {
        if (offset >= fileSize) {
            LOG_MSG(LOG_ERROR, tag, "Write region(offset %llu, size %llu) of %s is empty (%llu bytes)\n",
                    static_cast<unsigned long long>(offset), static_cast<unsigned long long>(size),
                    pFileName, static_cast<unsigned long long>(fileSize));
            return false;
        }
        size = fileSize - offset;
    } else if (offset > fileSize || size > fileSize - offset) {
        LOG_MSG(LOG_ERROR, tag, "Write region(offset %llu, size %llu) runs past the end of %s (%llu bytes)\n",
                static_cast<unsigned long long>(offset), static_cast<unsigned long long>(size),
                pFileName, static_cast<unsigned long long>(fileSize));
        return false;
    }
    // Sizes and offsets travel as 32-bit words; larger values would be cut.
    if (offset > 0xFFFFFFFFull || size > 0xFFFFFFFFull) {
        LOG_MSG(LOG_ERROR, tag, "Write region(offset %llu, size %llu) of %s does not fit in 32 bits\n",
                static_cast<unsigned long long>(offset), static_cast<unsigned long long>(size),
                pFileName);
        return false;
    }
    return true;
}

bool ZolkProtocol::LineLost()
{
    CSerialPort* serial = GetSerial();
    return serial == nullptr || !serial->IsUsable();
}

ZolkProtocol::PhaseRead ZolkProtocol::ReadInPhase(void* pBuf, uint32_t size, uint64_t boundMs, uint32_t* pGot)
{
    uint32_t local = 0;
    uint32_t& got = pGot != nullptr ? *pGot : local;
    got = 0;
    m_wentSilent = false;
    CSerialPort* serial = GetSerial();
    if (serial == nullptr || !serial->IsOpen()) {
        return PhaseRead::kGone;
    }
    if (serial->ReadFull(pBuf, size, &got, boundMs)) {
        if (got == size) {
            return PhaseRead::kComplete;
        }
        m_wentSilent = true;
        return PhaseRead::kSilent;
    }
    switch (serial->LastFailure()) {
    case SerialFailure::kStopped: return PhaseRead::kStopped;
    case SerialFailure::kLineError: return PhaseRead::kDamaged;
    case SerialFailure::kGone: return PhaseRead::kGone;
    default: return PhaseRead::kFailed;
    }
}

void ZolkProtocol::SkipDamagedInput()
{
    CSerialPort* serial = GetSerial();
    if (serial == nullptr) {
        return;
    }
    uint8_t scratch[kSkipPieceSize];
    for (int i = 0; i < kMaxSkipPieces; ++i) {
        uint32_t got = 0;
        const bool ok = serial->ReadFull(scratch, sizeof(scratch), &got, kLineErrorSkipQuietMs);
        if ((!ok && serial->LastFailure() != SerialFailure::kLineError) || got < sizeof(scratch)) {
            return;
        }
    }
}

bool ZolkProtocol::RecvWithin(void* pBuf, uint32_t size, uint64_t boundMs, const char* what, const char* tag,
                              uint32_t* pGot)
{
    uint32_t got = 0;
    const PhaseRead r = ReadInPhase(pBuf, size, boundMs, &got);
    if (pGot != nullptr) {
        *pGot = got;
    }
    switch (r) {
    case PhaseRead::kComplete:
        return true;
    case PhaseRead::kSilent: {
        char detail[64] = "";
        if (got > 0) {
            std::snprintf(detail, sizeof(detail), " (%u of %u bytes came)", got, size);
        }
        ReportSilence(tag, what, boundMs, detail);
        return false;
    }
    case PhaseRead::kGone:
        LOG_MSG(LOG_ERROR, tag, "Serial line is gone - waiting for the %s\n", what);
        return false;
    case PhaseRead::kDamaged:
        SkipDamagedInput();
        LOG_MSG(LOG_ERROR, tag, "Damaged %s - a line error (framing, overrun or parity)\n", what);
        return false;
    case PhaseRead::kStopped:
    case PhaseRead::kFailed:
        return false;  // nothing to add: a stop prints nothing, the port printed its failure
    }
    return false;
}

bool ZolkProtocol::RecvAnswer(uint32_t cmd, ProtocolPacket* pRes, uint64_t boundMs, const char* what)
{
    ProtocolPacket internal;
    if (pRes == nullptr) {
        pRes = &internal;
    }
    const uint32_t size = GetPacketSize();
    const char* tag = RecvTag(size);
    if (GetSerial() == nullptr) {
        LOG_MSG(LOG_ERROR, tag, "[ERROR] m_serial == NULL\n");
        return false;
    }
    char answerTo[64];
    if (what == nullptr) {
        std::snprintf(answerTo, sizeof(answerTo), "answer to %s", CodeName(cmd));
        what = answerTo;
    }
    uint8_t wire[kPacketBufferSize] = {};
    if (!RecvWithin(wire, size, boundMs, what, tag)) {
        return false;
    }
    return TakeAnswer(wire, cmd, pRes);
}

bool ZolkProtocol::TakeAnswer(const uint8_t* wire, uint32_t cmd, ProtocolPacket* pRes)
{
    // Only the received words are replaced; a short read leaves zeros.
    const uint32_t size = GetPacketSize();
    const ProtocolPacket res = DecodePacket(wire, size);
    pRes->cmdType = res.cmdType;
    for (uint32_t i = 0; i + 1 < size / 4; ++i) {
        pRes->param[i] = res.param[i];
    }
    return CheckResPacket(pRes, cmd, nullptr);
}

bool ZolkProtocol::SendCommandAs(const ProtocolPacket* pCmd, const char* tag)
{
    if (pCmd == nullptr) {
        LOG_MSG(LOG_ERROR, tag, "[ERROR] pCmd == NULL\n");
        return false;
    }
    CSerialPort* serial = GetSerial();
    if (serial == nullptr) {
        LOG_MSG(LOG_ERROR, tag, "[ERROR] m_serial == NULL\n");
        return false;
    }
    // A run asked to stop starts no new exchange with the target.
    if (StopRequested()) {
        return false;
    }
    const uint32_t size = GetPacketSize();
    uint8_t wire[kPacketBufferSize] = {};
    EncodePacket(*pCmd, wire, size);
    uint32_t written = 0;
    // A short write would leave the target waiting for the rest of a packet
    // that never comes: it fails like a failed one.
    if (!serial->SendData(wire, size, &written) || written != size) {
        if (serial->LastFailure() != SerialFailure::kStopped) {
            LOG_MSG(LOG_ERROR, tag, "Failed send data(%lu / %lu)\n", static_cast<unsigned long>(written),
                    static_cast<unsigned long>(size));
        }
        return false;
    }
    // The targets need this pause before they can take the next packet.
    SleepMs(200);
    return true;
}

bool ZolkProtocol::RecvResPacketAs(uint32_t cmd, ProtocolPacket* pRes, uint32_t pollCount, const char* tag)
{
    if (pollCount == 0) {
        return RecvAnswer(cmd, pRes, AnswerBoundMs());
    }
    ProtocolPacket internal;
    if (pRes == nullptr) {
        pRes = &internal;
    }
    CSerialPort* serial = GetSerial();
    if (serial == nullptr) {
        LOG_MSG(LOG_ERROR, tag, "[ERROR] m_serial == NULL\n");
        return false;
    }
    m_wentSilent = false;
    const uint32_t size = GetPacketSize();
    uint8_t wire[kPacketBufferSize] = {};
    uint32_t got = 0;
    // The poll count and the port's time-outs bound this wait (the firmware
    // ping): one read, a short or empty one included.
    if (!serial->ReadDataTimeout(wire, size, &got, pollCount)) {
        if (serial->LastFailure() == SerialFailure::kGone || !serial->IsOpen()) {
            LOG_MSG(LOG_ERROR, tag, "Serial line is gone - waiting for the answer to %s\n", CodeName(cmd));
        } else if (serial->LastFailure() == SerialFailure::kLineError) {
            LOG_MSG(LOG_ERROR, tag, "Damaged answer to %s - a line error (framing, overrun or parity)\n",
                    CodeName(cmd));
        }
        return false;
    }
    return TakeAnswer(wire, cmd, pRes);
}

bool ZolkProtocol::CheckResPacketAs(const ProtocolPacket* pRes, uint32_t cmd, const uint32_t* pCrc,
                                    bool bFirmware, const char* tag, const char* dumpTag)
{
    if (pRes == nullptr) {
        LOG_MSG(LOG_ERROR, tag, "[ERROR] pRes == NULL\n");
        return false;
    }
    char name[32];
    DefineToString(pRes->param[0], name);
    if (pRes->param[0] == cmd && pRes->cmdType == ACK) {
        LOG_MSG(LOG_DETAIL, tag, "Complete to receive ack for cmd(0x%X(%s))\n", pRes->param[0], name);
        if (bFirmware && pCrc != nullptr) {
            RunRecord::Get().SetCrcs(*pCrc, pRes->param[1]);
            const bool match = pRes->param[1] == *pCrc;
            LOG_MSG(match ? LOG_DETAIL : LOG_ERROR, tag, "Receved CRC : %x, Calculated CRC : %x\n",
                    pRes->param[1], *pCrc);
            return match;
        }
        return true;
    }
    // A board without running firmware answers the ping with silence or
    // noise: that is an answer, not an error.
    if (bFirmware && cmd == FW_PING) {
        return false;
    }
    if (pRes->param[0] != cmd) {
        LOG_MSG(LOG_ERROR, tag, "Invalid cmd of res(0x%X(%s))\n", pRes->param[0], name);
    } else if (pRes->cmdType == NACK) {
        LOG_MSG(LOG_ERROR, tag, "Received NACK\n");
    } else {
        LOG_MSG(LOG_ERROR, tag, "Unknown response\n");
    }
    DumpPacketAs(LOG_ERROR, pRes, dumpTag);
    return false;
}

void ZolkProtocol::DumpPacketAs(int level, const ProtocolPacket* pPacket, const char* tag)
{
    if (pPacket == nullptr) {
        LOG_MSG(LOG_ERROR, tag, "[ERROR] pPacket == NULL\n");
        return;
    }
    char names[6][32];
    DefineToString(pPacket->cmdType, names[0]);
    for (int i = 0; i < 5; ++i) {
        DefineToString(pPacket->param[i], names[i + 1]);
    }
    if (GetPacketSize() == kCbPacketSize) {
        LOG_MSG(level, tag,
                "Dump Packet\n\tCmd type : 0x%X(%s)\n\tParam0 : 0x%X(%s)\n\tParam1 : 0x%X(%s)\n\tParam2 : 0x%X(%s)\n",
                pPacket->cmdType, names[0], pPacket->param[0], names[1], pPacket->param[1], names[2],
                pPacket->param[2], names[3]);
    } else {
        LOG_MSG(level, tag,
                "Dump Packet\n\tCmd type : 0x%X(%s)\n\tParam0 : 0x%X(%s)\n\tParam1 : 0x%X(%s)\n\tParam2 : 0x%X(%s)\n"
                "\tParam3 : 0x%X(%s)\n\tParam4 : 0x%X(%s)\n",
                pPacket->cmdType, names[0], pPacket->param[0], names[1], pPacket->param[1], names[2],
                pPacket->param[2], names[3], pPacket->param[3], names[4], pPacket->param[4], names[5]);
    }
}

ZOLKFile& ZolkProtocol::WriteFileOf(const ZOLKArgs* pZolkArgs, ZOLKFile& opened)
{
    if (pZolkArgs->pWriteFile != nullptr) {
        return *pZolkArgs->pWriteFile;
    }
    opened.Open(pZolkArgs->pWriteFileName, "rb");
    return opened;
}

bool ZolkProtocol::SendFileAndRecvRes(const char* pFileName, uint32_t cmd, uint32_t offset, uint32_t size)
{
    if (GetSerial() == nullptr) {
        LOG_MSG(LOG_ERROR, "[ZolkProtocol::SendFileAndRecvRes:%d] ", "[ERROR] GetSerial() == NULL\n");
        return false;
    }
    ZOLKFile file;
    if (!CheckFileRegion(pFileName, offset, size, SendFileTag(), file)) {
        return false;
    }
    return SendFileAndRecvRes(file, cmd, offset, size);
}

bool ZolkProtocol::SendFileAndRecvRes(ZOLKFile& file, uint32_t cmd, uint32_t offset, uint32_t size)
{
    if (GetSerial() == nullptr) {
        LOG_MSG(LOG_ERROR, "[ZolkProtocol::SendFileAndRecvRes:%d] ", "[ERROR] GetSerial() == NULL\n");
        return false;
    }
    if (!SendFile(file, offset, size)) {
        return false;
    }
    const uint32_t expectedCrc = CalcCRCInFile(&file, offset, size);

    // The boot ROM's answer names the image; the firmware's is the final
    // answer of the command.
    char what[64];
    if (cmd == RECEIVE_HSM_CMD) {
        std::snprintf(what, sizeof(what), "answer to the HSM image");
    } else if (cmd == RECEIVE_ZOLK_CMD) {
        std::snprintf(what, sizeof(what), "answer to the ZOLK firmware image");
    } else {
        std::snprintf(what, sizeof(what), "final answer to %s", CodeName(cmd));
    }
    const uint32_t packetSize = GetPacketSize();
    uint8_t wire[kPacketBufferSize] = {};
    if (!RecvWithin(wire, packetSize, AnswerBoundMs(), what, "[ZolkProtocol::SendFileAndRecvRes:%d] ")) {
        return false;
    }
    const ProtocolPacket res = DecodePacket(wire, packetSize);
    return CheckResPacket(&res, cmd, &expectedCrc);
}

// The waits for the board's answers, shared by both protocols: their bounds,
// one read of an answer within its bound of silence, and the one place that
// says what ended a read or a write (silence, a line that is gone, damaged
// bytes, a port that failed for good).
#include "protocol/zolk_protocol.h"

#include <atomic>
#include <cstdio>

#include "support/logger.h"
#include "transport/serial_port.h"

namespace {
std::atomic<uint32_t> g_silenceLimitMs{kDefaultSilenceLimitMs};
std::atomic<uint32_t> g_timeoutScale{1};

constexpr uint64_t kMiB = 1024 * 1024;
// Damaged input is dropped in pieces of this size, at most this many.
constexpr uint32_t kSkipPieceSize = 256;
constexpr int kMaxSkipPieces = 64;
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

bool ZolkProtocol::LineLost() const
{
    return m_serial == nullptr || !m_serial->IsUsable();
}

ZolkProtocol::PhaseRead ZolkProtocol::ReadInPhase(void* pBuf, uint32_t size, uint64_t boundMs, uint32_t* pGot)
{
    *pGot = 0;
    m_wentSilent = false;
    if (m_serial == nullptr || !m_serial->IsOpen()) {
        return PhaseRead::kGone;
    }
    if (m_serial->ReadFull(pBuf, size, pGot, boundMs)) {
        if (*pGot == size) {
            return PhaseRead::kComplete;
        }
        m_wentSilent = true;
        return PhaseRead::kSilent;
    }
    switch (m_serial->LastFailure()) {
    case SerialFailure::kStopped: return PhaseRead::kStopped;
    case SerialFailure::kLineError: return PhaseRead::kDamaged;
    case SerialFailure::kGone: return PhaseRead::kGone;
    default: return PhaseRead::kFailed;
    }
}

void ZolkProtocol::ReportPhase(PhaseRead r, const PhaseWords& words, const char* tag, uint64_t boundMs,
                               uint32_t got, uint32_t size)
{
    switch (r) {
    case PhaseRead::kSilent: {
        char detail[64] = "";
        if (words.countCame && got > 0) {
            std::snprintf(detail, sizeof(detail), " (%u of %u bytes came)", got, size);
        }
        if (words.headerSize == 0) {
            ReportSilence(tag, words.what, boundMs, detail);
        } else {
            char what[96];
            std::snprintf(what, sizeof(what), "%s of the %s", got < words.headerSize ? "header" : "data",
                          words.what);
            ReportSilence(tag, what, boundMs, detail);
        }
        return;
    }
    case PhaseRead::kGone:
        LOG_MSG(LOG_ERROR, tag, "Serial line is gone - waiting for the %s\n", words.what);
        return;
    case PhaseRead::kDamaged:
        if (words.damageEnds) {
            LOG_MSG(LOG_ERROR, tag, "Damaged %s - a line error (framing, overrun or parity)\n", words.what);
        }
        return;
    case PhaseRead::kComplete:
    case PhaseRead::kStopped:
    case PhaseRead::kFailed:
        return;  // nothing to add: a stop prints nothing, the port printed its failure
    }
}

ZolkProtocol::PhaseRead ZolkProtocol::ReadPhase(void* pBuf, uint32_t size, uint64_t boundMs,
                                                const PhaseWords& words, const char* tag, uint32_t* pGot)
{
    uint32_t local = 0;
    uint32_t& got = pGot != nullptr ? *pGot : local;
    const PhaseRead r = ReadInPhase(pBuf, size, boundMs, &got);
    if (r == PhaseRead::kDamaged) {
        SkipDamagedInput();
    }
    ReportPhase(r, words, tag, boundMs, got, size);
    return r;
}

void ZolkProtocol::SkipDamagedInput()
{
    if (m_serial == nullptr) {
        return;
    }
    uint8_t scratch[kSkipPieceSize];
    for (int i = 0; i < kMaxSkipPieces; ++i) {
        uint32_t got = 0;
        const bool ok = m_serial->ReadFull(scratch, sizeof(scratch), &got, kLineErrorSkipQuietMs);
        if ((!ok && m_serial->LastFailure() != SerialFailure::kLineError) || got < sizeof(scratch)) {
            return;
        }
    }
}

bool ZolkProtocol::RecvWithin(void* pBuf, uint32_t size, uint64_t boundMs, const char* what, const char* tag,
                              uint32_t* pGot)
{
    PhaseWords words{what};
    words.damageEnds = true;
    words.countCame = true;
    return ReadPhase(pBuf, size, boundMs, words, tag, pGot) == PhaseRead::kComplete;
}

void ZolkProtocol::ReportWriteFailure(const char* tag, const char* doing, const char* shortText, uint32_t at,
                                      uint32_t total)
{
    const SerialFailure failure = m_serial != nullptr ? m_serial->LastFailure() : SerialFailure::kGone;
    if (failure == SerialFailure::kStopped) {
        return;
    }
    char text[96];
    // A port that failed for good (an error of no known kind that outlasted
    // its tries) is not a line that hung up: the port printed the reason.
    if (failure == SerialFailure::kOther && m_serial->IsOpen() && !m_serial->IsGone()) {
        std::snprintf(text, sizeof(text), doing, at, total);
        LOG_MSG(LOG_ERROR, tag, "Serial port failed - %s\n", text);
    } else if (LineLost()) {
        std::snprintf(text, sizeof(text), doing, at, total);
        LOG_MSG(LOG_ERROR, tag, "Serial line is gone - %s\n", text);
    } else if (failure == SerialFailure::kNone) {
        // The write ended by its time-out with part of the bytes taken.
        std::snprintf(text, sizeof(text), shortText, at, total);
        char bound[32];
        LOG_MSG(LOG_ERROR, tag, "%s - the line took nothing for %s\n", text,
                BoundText(AnswerBoundMs(), bound, sizeof(bound)));
    } else {
        std::snprintf(text, sizeof(text), shortText, at, total);
        LOG_MSG(LOG_ERROR, tag, "%s\n", text);
    }
}

bool ZolkProtocol::RecvResPacket(uint32_t cmd, ProtocolPacket* pRes, uint32_t pollCount)
{
    return ReceiveAnswer(cmd, pRes, AnswerBoundMs(), pollCount, nullptr);
}

bool ZolkProtocol::RecvAnswer(uint32_t cmd, ProtocolPacket* pRes, uint64_t boundMs, const char* what)
{
    return ReceiveAnswer(cmd, pRes, boundMs, 0, what);
}

bool ZolkProtocol::ReceiveAnswer(uint32_t cmd, ProtocolPacket* pRes, uint64_t boundMs, uint32_t pollCount,
                                 const char* what)
{
    ProtocolPacket internal;
    if (pRes == nullptr) {
        pRes = &internal;
    }
    const std::string tag = Tag("RecvResPacket");
    if (m_serial == nullptr) {
        LOG_MSG(LOG_ERROR, tag.c_str(), "[ERROR] m_serial == NULL\n");
        return false;
    }
    char answerTo[64];
    if (what == nullptr) {
        std::snprintf(answerTo, sizeof(answerTo), "answer to %s", CodeName(cmd));
        what = answerTo;
    }
    uint8_t wire[kPacketBufferSize] = {};
    if (pollCount == 0) {
        if (!RecvWithin(wire, m_packetSize, boundMs, what, tag.c_str())) {
            return false;
        }
        return TakeAnswer(wire, cmd, pRes);
    }
    m_wentSilent = false;
    uint32_t got = 0;
    // The poll count and the port's time-outs bound this wait (the firmware
    // ping): one read, a short or empty one included.
    if (!m_serial->ReadDataTimeout(wire, m_packetSize, &got, pollCount)) {
        PhaseRead r = PhaseRead::kFailed;
        if (m_serial->LastFailure() == SerialFailure::kGone || !m_serial->IsOpen()) {
            r = PhaseRead::kGone;
        } else if (m_serial->LastFailure() == SerialFailure::kLineError) {
            r = PhaseRead::kDamaged;
        }
        PhaseWords words{what};
        words.damageEnds = true;
        ReportPhase(r, words, tag.c_str(), 0, got, m_packetSize);
        return false;
    }
    return TakeAnswer(wire, cmd, pRes);
}

bool ZolkProtocol::TakeAnswer(const uint8_t* wire, uint32_t cmd, ProtocolPacket* pRes)
{
    // Only the received words are replaced; a short read leaves zeros.
    const ProtocolPacket res = DecodePacket(wire, m_packetSize);
    pRes->cmdType = res.cmdType;
    for (uint32_t i = 0; i + 1 < m_packetSize / 4; ++i) {
        pRes->param[i] = res.param[i];
    }
    return CheckResPacket(pRes, cmd, nullptr);
}

#include "protocol/zolk_protocol.h"

#include <atomic>
#include <cstdio>
#include <cstring>

#include "support/clock.h"
#include "support/crc.h"
#include "support/logger.h"
#include "support/stop_request.h"
#include "support/zolk_file.h"
#include "transport/serial_port.h"

namespace {
std::atomic<uint32_t> g_silenceLimitMs{kDefaultSilenceLimitMs};
}  // namespace

void ZolkProtocol::SetSilenceLimitMs(uint32_t ms)
{
    g_silenceLimitMs = ms;
}

uint32_t ZolkProtocol::GetSilenceLimitMs()
{
    return g_silenceLimitMs;
}

char* ZolkProtocol::DefineToString(uint32_t code, char* text)
{
    const char* name = CodeName(code);
    std::memcpy(text, name, std::strlen(name) + 1);
    return text;
}

bool CheckFileRegion(const char* pFileName, uint64_t offset, uint64_t size)
{
    return CheckFileRegion(pFileName, offset, size, "[CheckFileRegion:%d] ");
}

bool CheckFileRegion(const char* pFileName, uint64_t offset, uint64_t size, const char* tag)
{
    if (pFileName == nullptr) {
        LOG_MSG(LOG_ERROR, tag, "[ERROR] pFileName == NULL\n");
        return false;
    }
    ZOLKFile file;
    if (!file.Open(pFileName, "rb")) {
        return false;  // the file reported why
    }
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
    return serial == nullptr || !serial->IsOpen() || serial->IsGone();
}

ZolkProtocol::PhaseRead ZolkProtocol::ReadInPhase(void* pBuf, uint32_t size, bool bRetryFailures,
                                                  uint32_t* pGot)
{
    uint32_t local = 0;
    uint32_t& got = pGot != nullptr ? *pGot : local;
    got = 0;
    CSerialPort* serial = GetSerial();
    if (serial == nullptr) {
        return PhaseRead::kGone;
    }
    for (;;) {
        got = 0;
        if (serial->ReadFull(pBuf, size, &got, GetSilenceLimitMs())) {
            return got == size ? PhaseRead::kComplete : PhaseRead::kSilent;
        }
        if (StopRequested()) {
            return PhaseRead::kStopped;
        }
        if (LineLost()) {
            return PhaseRead::kGone;
        }
        if (!bRetryFailures) {
            return PhaseRead::kFailed;
        }
    }
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
        LOG_MSG(LOG_ERROR, tag, "Failed send data(%lu / %lu)\n", static_cast<unsigned long>(written),
                static_cast<unsigned long>(size));
        return false;
    }
    // The targets need this pause before they can take the next packet.
    SleepMs(200);
    return true;
}

bool ZolkProtocol::RecvResPacketAs(uint32_t cmd, ProtocolPacket* pRes, uint32_t pollCount, const char* tag)
{
    ProtocolPacket internal;
    if (pRes == nullptr) {
        pRes = &internal;
    }
    CSerialPort* serial = GetSerial();
    if (serial == nullptr) {
        LOG_MSG(LOG_ERROR, tag, "[ERROR] m_serial == NULL\n");
        return false;
    }
    const uint32_t size = GetPacketSize();
    uint8_t wire[kPacketBufferSize] = {};
    uint32_t got = 0;
    while (!serial->ReadDataTimeout(wire, size, &got, pollCount)) {
        if (StopRequested()) {
            return false;
        }
        if (LineLost()) {
            LOG_MSG(LOG_ERROR, tag, "Serial line is gone - waiting for the answer to %s\n", CodeName(cmd));
            return false;
        }
    }
    // Only the received words are replaced; a short read leaves zeros.
    const ProtocolPacket res = DecodePacket(wire, size);
    pRes->cmdType = res.cmdType;
    for (uint32_t i = 0; i + 1 < size / 4; ++i) {
        pRes->param[i] = res.param[i];
    }
    return CheckResPacket(pRes, cmd, nullptr);
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

bool ZolkProtocol::SendFileAndRecvRes(const char* pFileName, uint32_t cmd, uint32_t offset, uint32_t size)
{
    if (GetSerial() == nullptr) {
        LOG_MSG(LOG_ERROR, "[ZolkProtocol::SendFileAndRecvRes:%d] ", "[ERROR] GetSerial() == NULL\n");
        return false;
    }
    if (!SendFile(pFileName, offset, size)) {
        return false;
    }
    uint32_t expectedCrc = 0;
    {
        ZOLKFile file(pFileName, "rb");
        expectedCrc = CalcCRCInFile(&file, offset, size);
    }

    const uint32_t packetSize = GetPacketSize();
    uint8_t wire[kPacketBufferSize] = {};
    switch (ReadInPhase(wire, packetSize, true)) {
    case PhaseRead::kComplete:
        break;
    case PhaseRead::kStopped:
        return false;
    case PhaseRead::kSilent:
        LOG_MSG(LOG_ERROR, "[ZolkProtocol::SendFileAndRecvRes:%d] ",
                "Target stopped answering - no final answer to %s for %u ms\n", CodeName(cmd),
                GetSilenceLimitMs());
        return false;
    case PhaseRead::kGone:
    case PhaseRead::kFailed:
        LOG_MSG(LOG_ERROR, "[ZolkProtocol::SendFileAndRecvRes:%d] ",
                "Serial line is gone - waiting for the final answer to %s\n", CodeName(cmd));
        return false;
    }
    const ProtocolPacket res = DecodePacket(wire, packetSize);
    return CheckResPacket(&res, cmd, &expectedCrc);
}

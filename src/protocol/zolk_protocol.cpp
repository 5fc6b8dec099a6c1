// What both protocols do alike: commands out, answers checked and dumped,
// the file regions they send, and the final answer of a sent file.
#include "protocol/zolk_protocol.h"

#include <cstdio>
#include <cstring>

#include "support/clock.h"
#include "support/crc.h"
#include "support/logger.h"
#include "support/run_record.h"
#include "support/stop_request.h"
#include "support/zolk_args.h"
#include "support/zolk_file.h"
#include "transport/serial_port.h"

std::string ZolkProtocol::Tag(const char* method) const
{
    return std::string("[") + m_className + "::" + method + ":%d] ";
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

bool ZolkProtocol::HasArgsFile(const ZOLKArgs* pZolkArgs, bool writeFile, const char* tag)
{
    if (pZolkArgs == nullptr) {
        LOG_MSG(LOG_ERROR, tag, "[ERROR] pZolkArgs == NULL\n");
        return false;
    }
    if ((writeFile ? pZolkArgs->pWriteFileName : pZolkArgs->pReadFileName) == nullptr) {
        LOG_MSG(LOG_ERROR, tag, "[ERROR] %s == NULL\n", writeFile ? "pWriteFileName" : "pReadFileName");
        return false;
    }
    return true;
}

ZolkProtocol::Region ZolkProtocol::RegionOfArgs(const ZOLKArgs& zolkArgs)
{
    // The file the operation has open (a bank write keeps one for both of
    // its parts), or else the named file.
    ZOLKFile opened;
    if (zolkArgs.pWriteFile == nullptr) {
        opened.Open(zolkArgs.pWriteFileName, "rb");
    }
    ZOLKFile& file = zolkArgs.pWriteFile != nullptr ? *zolkArgs.pWriteFile : opened;
    const uint64_t offset = zolkArgs.ullFileOffset;
    Region region;
    if (zolkArgs.ullSize != 0) {
        region.size = static_cast<uint32_t>(zolkArgs.ullSize);
    } else if (file.GetSize() > offset) {
        region.size = static_cast<uint32_t>(file.GetSize() - offset);
    }
    region.crc = region.size != 0 ? CalcCRCInFile(&file, offset, region.size) : 0;
    return region;
}

ProtocolPacket ZolkProtocol::MakeCmdPacket(uint32_t code, const ZOLKArgs* pZolkArgs)
{
    ProtocolPacket packet;
    packet.cmdType = code;
    if (!FillCommand(code, pZolkArgs, &packet)) {
        return packet;
    }
    // The CRC is the last word the packet carries.
    packet.param[m_packetSize / 4 - 2] = PacketCRC(packet, m_packetSize);
    return packet;
}

bool ZolkProtocol::SendFile(const char* pFileName, uint32_t offset, uint32_t size)
{
    const std::string tag = Tag("SendFile");
    if (m_serial == nullptr) {
        LOG_MSG(LOG_ERROR, tag.c_str(), "[ERROR] m_serial == NULL\n");
        return false;
    }
    ZOLKFile file;
    if (!CheckFileRegion(pFileName, offset, size, tag.c_str(), file)) {
        return false;
    }
    return SendOpenFile(file, offset, size);
}

bool ZolkProtocol::SendOpenFile(ZOLKFile& file, uint32_t offset, uint32_t size)
{
    const std::string tag = Tag("SendFile");
    if (m_serial == nullptr) {
        LOG_MSG(LOG_ERROR, tag.c_str(), "[ERROR] m_serial == NULL\n");
        return false;
    }
    if (!file.IsOpen() || !file.SetOffset(offset, SEEK_SET)) {
        return false;  // the file reported why
    }
    const uint32_t total = size != 0 ? size : static_cast<uint32_t>(file.GetSize() - offset);
    ProgressBar::Transfer progress(total);
    if (!SendRegion(file, total, progress, tag.c_str())) {
        return false;
    }
    progress.End();
    LOG_MSG(LOG_DETAIL, tag.c_str(), "Complete to send file\n");
    return true;
}

const uint8_t* ZolkProtocol::ReadPiece(ZOLKFile& file, uint32_t size)
{
    uint64_t got = 0;
    const uint8_t* data = file.Read(size, &got);
    return data != nullptr && got == size ? data : nullptr;
}

bool ZolkProtocol::SendCommand(const ProtocolPacket* pCmd)
{
    const std::string tag = Tag("SendCommand");
    if (pCmd == nullptr) {
        LOG_MSG(LOG_ERROR, tag.c_str(), "[ERROR] pCmd == NULL\n");
        return false;
    }
    if (m_serial == nullptr) {
        LOG_MSG(LOG_ERROR, tag.c_str(), "[ERROR] m_serial == NULL\n");
        return false;
    }
    // A run asked to stop starts no new exchange with the target.
    if (StopRequested()) {
        return false;
    }
    uint8_t wire[kPacketBufferSize] = {};
    EncodePacket(*pCmd, wire, m_packetSize);
    uint32_t written = 0;
    // A short write would leave the target waiting for the rest of a packet
    // that never comes: it fails like a failed one.
    const bool sent = m_serial->SendData(wire, m_packetSize, &written);
    if (!sent || written != m_packetSize) {
        if (m_serial->LastFailure() != SerialFailure::kStopped) {
            LOG_MSG(LOG_ERROR, tag.c_str(), "Failed send data(%lu / %lu)\n", static_cast<unsigned long>(written),
                    static_cast<unsigned long>(m_packetSize));
        }
        if (sent) {
            // The write ended by its time-out with part of the packet taken.
            char bound[32];
            LOG_MSG(LOG_ERROR, tag.c_str(), "The line took nothing for %s - the board or the adapter stopped reading\n",
                    BoundText(AnswerBoundMs(), bound, sizeof(bound)));
        }
        return false;
    }
    // The targets need this pause before they can take the next packet.
    SleepMs(200);
    return true;
}

bool ZolkProtocol::CheckResPacket(const ProtocolPacket* pRes, uint32_t cmd, const uint32_t* pCrc)
{
    const std::string tag = Tag("CheckResPacket");
    if (pRes == nullptr) {
        LOG_MSG(LOG_ERROR, tag.c_str(), "[ERROR] pRes == NULL\n");
        return false;
    }
    char name[32];
    DefineToString(pRes->param[0], name);
    if (pRes->param[0] == cmd && pRes->cmdType == ACK) {
        LOG_MSG(LOG_DETAIL, tag.c_str(), "Complete to receive ack for cmd(0x%X(%s))\n", pRes->param[0], name);
        if (IsFirmware() && pCrc != nullptr) {
            RunRecord::Get().SetCrcs(*pCrc, pRes->param[1]);
            const bool match = pRes->param[1] == *pCrc;
            LOG_MSG(match ? LOG_DETAIL : LOG_ERROR, tag.c_str(), "Receved CRC : %x, Calculated CRC : %x\n",
                    pRes->param[1], *pCrc);
            return match;
        }
        return true;
    }
    // A board without running firmware answers the ping with silence or
    // noise: that is an answer, not an error.
    if (IsFirmware() && cmd == FW_PING) {
        return false;
    }
    if (pRes->param[0] != cmd) {
        LOG_MSG(LOG_ERROR, tag.c_str(), "Invalid cmd of res(0x%X(%s))\n", pRes->param[0], name);
    } else if (pRes->cmdType == NACK) {
        LOG_MSG(LOG_ERROR, tag.c_str(), "Received NACK\n");
    } else {
        LOG_MSG(LOG_ERROR, tag.c_str(), "Unknown response\n");
    }
    DumpPacket(LOG_ERROR, pRes);
    return false;
}

void ZolkProtocol::DumpPacket(int level, const ProtocolPacket* pPacket)
{
    const std::string tag = Tag("DumpPacket");
    if (pPacket == nullptr) {
        LOG_MSG(LOG_ERROR, tag.c_str(), "[ERROR] pPacket == NULL\n");
        return;
    }
    char names[6][32];
    DefineToString(pPacket->cmdType, names[0]);
    for (int i = 0; i < 5; ++i) {
        DefineToString(pPacket->param[i], names[i + 1]);
    }
    if (!IsFirmware()) {
        LOG_MSG(level, tag.c_str(),
                "Dump Packet\n\tCmd type : 0x%X(%s)\n\tParam0 : 0x%X(%s)\n\tParam1 : 0x%X(%s)\n\tParam2 : 0x%X(%s)\n",
                pPacket->cmdType, names[0], pPacket->param[0], names[1], pPacket->param[1], names[2],
                pPacket->param[2], names[3]);
    } else {
        LOG_MSG(level, tag.c_str(),
                "Dump Packet\n\tCmd type : 0x%X(%s)\n\tParam0 : 0x%X(%s)\n\tParam1 : 0x%X(%s)\n\tParam2 : 0x%X(%s)\n"
                "\tParam3 : 0x%X(%s)\n\tParam4 : 0x%X(%s)\n",
                pPacket->cmdType, names[0], pPacket->param[0], names[1], pPacket->param[1], names[2],
                pPacket->param[2], names[3], pPacket->param[3], names[4], pPacket->param[4], names[5]);
    }
}

bool ZolkProtocol::SendFileAndRecvRes(const char* pFileName, uint32_t cmd, uint32_t offset, uint32_t size)
{
    if (m_serial == nullptr) {
        LOG_MSG(LOG_ERROR, "[ZolkProtocol::SendFileAndRecvRes:%d] ", "[ERROR] GetSerial() == NULL\n");
        return false;
    }
    ZOLKFile file;
    if (!CheckFileRegion(pFileName, offset, size, Tag("SendFile").c_str(), file)) {
        return false;
    }
    return SendFileAndRecvRes(file, cmd, offset, size);
}

bool ZolkProtocol::SendFileAndRecvRes(ZOLKFile& file, uint32_t cmd, uint32_t offset, uint32_t size)
{
    if (m_serial == nullptr) {
        LOG_MSG(LOG_ERROR, "[ZolkProtocol::SendFileAndRecvRes:%d] ", "[ERROR] GetSerial() == NULL\n");
        return false;
    }
    if (!SendOpenFile(file, offset, size)) {
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
    return RecvFinalAnswer(cmd, what, "[ZolkProtocol::SendFileAndRecvRes:%d] ", expectedCrc);
}

bool ZolkProtocol::RecvFinalAnswer(uint32_t cmd, const char* what, const char* tag, uint32_t crc)
{
    uint8_t wire[kPacketBufferSize] = {};
    if (!RecvWithin(wire, m_packetSize, AnswerBoundMs(), what, tag)) {
        return false;
    }
    const ProtocolPacket res = DecodePacket(wire, m_packetSize);
    return CheckResPacket(&res, cmd, &crc);
}

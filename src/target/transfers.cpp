// Storage operations of the target controller: write by window and by bank,
// dump by window and by bank, low format.
#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <string>
#include <system_error>

#include "protocol/codes.h"
#include "protocol/protocol_fw.h"
#include "protocol/zolk_protocol.h"
#include "run/args.h"
#include "support/clock.h"
#include "support/logger.h"
#include "support/zolk_file.h"
#include "target/storage.h"
#include "target/zolk_qex.h"
#include "transport/serial_port.h"

namespace {

// pStorage of the run arguments points at these while a bank is handled.
char g_storageEflash[] = "eflash";
char g_storageSnor[] = "snor";

// A dump that failed must not leave a file that looks complete at the path
// the user asked for (a dump whose final CRC did not match has its full
// size). What arrived is kept beside it as <name>.partial; an empty file is
// removed. Device files such as /dev/full are left alone.
void SetAsideFailedDump(const char* pFileName)
{
    namespace fs = std::filesystem;
    std::error_code ec;
    if (!fs::is_regular_file(pFileName, ec)) {
        return;
    }
    const uintmax_t size = fs::file_size(pFileName, ec);
    if (ec) {
        return;
    }
    if (size == 0) {
        fs::remove(pFileName, ec);
        LOG_MSG(LOG_ERROR, "[ZOLK_QEX::DumpStorage:%d] ", "Dump into %s failed - nothing received, file removed\n",
                pFileName);
        return;
    }
    const std::string partial = std::string(pFileName) + ".partial";
    fs::rename(pFileName, partial, ec);
    if (ec) {
        LOG_MSG(LOG_ERROR, "[ZOLK_QEX::DumpStorage:%d] ", "Dump into %s failed - the file holds only %llu bytes\n",
                pFileName, static_cast<unsigned long long>(size));
        return;
    }
    LOG_MSG(LOG_ERROR, "[ZOLK_QEX::DumpStorage:%d] ",
            "Dump into %s failed - the %llu bytes received are kept in %s\n", pFileName,
            static_cast<unsigned long long>(size), partial.c_str());
}

// READ_CMD, its acknowledgement and the data phase into the open file.
bool ReceiveDump(ProtocolFW& protocol, ZOLKFile* pFile, const ZOLKArgs* pZolkArgs, uint32_t cmd, uint32_t size)
{
    ProtocolPacket packet = protocol.MakeCmdPacket(cmd, pZolkArgs);
    if (!protocol.SendCommand(&packet)) {
        return false;
    }
    // The board may read the whole window before it answers.
    if (!protocol.RecvAnswer(cmd, nullptr, ZolkProtocol::EraseAnswerBoundMs(size))) {
        return false;
    }
    LOG_MSG(LOG_DETAIL, "[ZOLK_QEX::DumpStorage:%d] ", "Complete to send command - %s\n", pZolkArgs->pReadFileName);

    // The target reads the storage window before it sends the first chunk.
    SleepMs(500);

    return protocol.DumpProtocol(pFile, cmd, size);
}

}  // namespace

bool ZOLK_QEX::WriteFile(ZOLKArgs* pZolkArgs, uint32_t cmd, ZolkProtocol* pProtocol)
{
    if (pProtocol == nullptr) {
        LOG_MSG(LOG_ERROR, "[ZOLK_QEX::WriteFile:%d] ", "[ERROR] pProtocol == NULL\n");
        return false;
    }
    if (pZolkArgs == nullptr || pZolkArgs->pWriteFileName == nullptr) {
        LOG_MSG(LOG_ERROR, "[ZOLK_QEX::WriteFile:%d] ", "[ERROR] pFileName == NULL\n");
        return false;
    }
    const char* pFileName = pZolkArgs->pWriteFileName;
    // The region must lie inside the file (and fit the 32-bit words of the
    // wire) before the target is told to expect it: a short file would
    // otherwise be padded with stale bytes.
    if (!CheckFileRegion(pFileName, pZolkArgs->ullFileOffset, pZolkArgs->ullSize)) {
        return false;
    }

    ProtocolPacket packet = pProtocol->MakeCmdPacket(cmd, pZolkArgs);
    if (!pProtocol->SendCommand(&packet)) {
        return false;
    }
    // A write may erase the whole window before the board answers; the boot
    // ROM answers an image announcement at once.
    const uint64_t bound = cmd == WRITE_CMD ? ZolkProtocol::EraseAnswerBoundMs(packet.param[1])
                                            : ZolkProtocol::AnswerBoundMs();
    ProtocolPacket res;
    if (!pProtocol->RecvAnswer(cmd, &res, bound)) {
        return false;
    }
    char name[64];
    LOG_MSG(LOG_DETAIL, "[ZOLK_QEX::WriteFile:%d] ", "Complete to send command(0x%X(%s))\n", cmd,
            ZolkProtocol::DefineToString(cmd, name));

    // The target prepares the storage window before it takes data.
    SleepMs(500);

    if (!pProtocol->SendFileAndRecvRes(pFileName, cmd, static_cast<uint32_t>(pZolkArgs->ullFileOffset),
                                       static_cast<uint32_t>(pZolkArgs->ullSize))) {
        return false;
    }
    LOG_MSG(LOG_SUCCESS, "[ZOLK_QEX::WriteFile:%d] ", "Complete to send file - %s\n", pFileName);
    SleepMs(500);
    return true;
}

bool ZOLK_QEX::WriteFileByBank(ZOLKArgs* pZolkArgs, uint32_t cmd, ZolkProtocol* pProtocol)
{
    if (pProtocol == nullptr) {
        LOG_MSG(LOG_ERROR, "[ZOLK_QEX::WriteFileByBank:%d] ", "[ERROR] pProtocol == NULL\n");
        return false;
    }
    if (pZolkArgs == nullptr || pZolkArgs->pWriteFileName == nullptr) {
        LOG_MSG(LOG_ERROR, "[ZOLK_QEX::WriteFileByBank:%d] ", "[ERROR] pFileName == NULL\n");
        return false;
    }
    const char* pFileName = pZolkArgs->pWriteFileName;

    ZOLKFile file(pFileName, "rb");
    if (!file.IsOpen()) {
        LOG_MSG(LOG_ERROR, "[ZOLK_QEX::WriteFileByBank:%d] ",
                "Write file %s cannot be opened - nothing written\n", pFileName);
        return false;
    }
    const uint64_t fileSize = file.GetSize();
    if (fileSize == 0) {
        LOG_MSG(LOG_ERROR, "[ZOLK_QEX::WriteFileByBank:%d] ", "Write file %s is empty - nothing written\n",
                pFileName);
        return false;
    }

    BankInfo bankInfo;
    if (!ZOLKStorage::GetBankInfo(pZolkArgs->uiBank, &m_chipInfo, &bankInfo, m_form)) {
        return false;
    }
    PrintBankInfo(pZolkArgs, &bankInfo);

    // Compared in 64 bits: a file of 4 GiB and a few bytes must not pass as
    // a few bytes.
    const uint64_t bankSize = static_cast<uint64_t>(bankInfo.eFlashSize) + bankInfo.snorSize;
    if (fileSize > bankSize) {
        LOG_MSG(LOG_ERROR, "[ZOLK_QEX::WriteFileByBank:%d] ", "[ERROR] File size(%llu) > Storage size(%llu)\n",
                static_cast<unsigned long long>(fileSize), static_cast<unsigned long long>(bankSize));
        return false;
    }

    // The file is the bank's image: its head goes to eflash, the bytes after
    // it to snor, each at the bank's storage address.
    bool result = false;
    uint64_t unplaced = fileSize;
    if (bankInfo.eFlashSize != 0 && unplaced != 0) {
        pZolkArgs->pStorage = g_storageEflash;
        pZolkArgs->ullFileOffset = 0;
        pZolkArgs->ullAddr = bankInfo.eFlashOffset;
        pZolkArgs->ullSize = std::min<uint64_t>(bankInfo.eFlashSize, fileSize);
        unplaced -= pZolkArgs->ullSize;
        PrintStorageOption(pZolkArgs);
        result = WriteFile(pZolkArgs, cmd, pProtocol);
        if (!result) {
            LOG_MSG(LOG_ERROR, "[ZOLK_QEX::WriteFileByBank:%d] ", "Failed to write in eFlash\n");
            return false;
        }
    }
    if (bankInfo.snorSize != 0 && unplaced != 0) {
        pZolkArgs->pStorage = g_storageSnor;
        pZolkArgs->ullFileOffset = fileSize - unplaced;
        pZolkArgs->ullAddr = bankInfo.snorOffset;
        pZolkArgs->ullSize = unplaced;
        PrintStorageOption(pZolkArgs);
        result = WriteFile(pZolkArgs, cmd, pProtocol);
        if (!result) {
            LOG_MSG(LOG_ERROR, "[ZOLK_QEX::WriteFileByBank:%d] ", "Failed to write in SNOR\n");
            return false;
        }
    }
    return result;
}

bool ZOLK_QEX::DumpStorage(ZOLKArgs* pZolkArgs, uint32_t cmd, uint32_t size, const char* mode)
{
    const char* pFileName = pZolkArgs != nullptr ? pZolkArgs->pReadFileName : nullptr;
    ProtocolFW protocol(m_serial);
    if (pFileName == nullptr) {
        LOG_MSG(LOG_ERROR, "[ZOLK_QEX::DumpStorage:%d] ", "[ERROR] pFileName == NULL\n");
        return false;
    }

    // The file is opened before the target is asked for data: when it cannot
    // be created, nothing is read and nothing is lost.
    bool received = false;
    {
        ZOLKFile file(pFileName, mode);
        if (!file.IsOpen()) {
            LOG_MSG(LOG_ERROR, "[ZOLK_QEX::DumpStorage:%d] ",
                    "Cannot create the dump file %s - nothing read from the target\n", pFileName);
            return false;
        }
        received = ReceiveDump(protocol, &file, pZolkArgs, cmd, size);
    }  // the file is closed here, before it may be set aside
    if (!received) {
        SetAsideFailedDump(pFileName);
        return false;
    }
    LOG_MSG(LOG_DETAIL, "[ZOLK_QEX::DumpStorage:%d] ", "Complete to receive file - %s\n", pFileName);
    SleepMs(500);
    return true;
}

bool ZOLK_QEX::DumpStorageByBank(ZOLKArgs* pZolkArgs, uint32_t /*cmd*/, ProtocolFW* pProtocol)
{
    if (pProtocol == nullptr) {
        LOG_MSG(LOG_ERROR, "[ZOLK_QEX::DumpStorageByBank:%d] ", "[ERROR] pProtocol == NULL\n");
        return false;
    }
    if (pZolkArgs == nullptr) {
        return false;
    }
    BankInfo bankInfo;
    if (!ZOLKStorage::GetBankInfo(pZolkArgs->uiBank, &m_chipInfo, &bankInfo, m_form)) {
        return false;
    }
    PrintBankInfo(pZolkArgs, &bankInfo);

    // The dump file holds the eflash part followed directly by the snor part.
    bool result = false;
    if (bankInfo.eFlashSize != 0) {
        pZolkArgs->pStorage = g_storageEflash;
        pZolkArgs->ullAddr = bankInfo.eFlashOffset;
        pZolkArgs->ullSize = bankInfo.eFlashSize;
        PrintStorageOption(pZolkArgs);
        result = DumpStorage(pZolkArgs, READ_CMD, bankInfo.eFlashSize, "wb");
        if (!result) {
            LOG_MSG(LOG_ERROR, "[ZOLK_QEX::DumpStorageByBank:%d] ", "Failed to write in eFlash\n");
            return false;
        }
    }
    if (bankInfo.snorSize != 0) {
        pZolkArgs->pStorage = g_storageSnor;
        pZolkArgs->ullAddr = bankInfo.snorOffset;
        pZolkArgs->ullSize = bankInfo.snorSize;
        PrintStorageOption(pZolkArgs);
        result = DumpStorage(pZolkArgs, READ_CMD, bankInfo.snorSize, bankInfo.eFlashSize != 0 ? "ab" : "wb");
        if (!result) {
            LOG_MSG(LOG_ERROR, "[ZOLK_QEX::DumpStorageByBank:%d] ", "Failed to write in SNOR\n");
            return false;
        }
    }
    return result;
}

bool ZOLK_QEX::LowformatCommand()
{
    ProtocolFW protocol(m_serial);
    ProtocolPacket packet = protocol.MakeCmdPacket(LOW_FORMAT_CMD, nullptr);
    LOG_MSG(LOG_SUCCESS, "[ZOLK_QEX::LowformatCommand:%d] ", "Start to low format\n");
    if (!protocol.SendCommand(&packet)) {
        return false;
    }
    if (!protocol.RecvResPacket(LOW_FORMAT_CMD, nullptr, 0)) {
        return false;
    }
    LOG_MSG(LOG_DETAIL, "[ZOLK_QEX::LowformatCommand:%d] ", "Complete to send low format command\n");
    LOG_MSG(LOG_INFO, "[ZOLK_QEX::LowformatCommand:%d] ", "Please wait, low-format can take a long time!\n");
    // The second acknowledgement comes when the erase is done; it may take
    // minutes, so the wait has no limit (announced above). A line that is
    // gone or a stop request still ends it.
    if (!protocol.RecvAnswer(LOW_FORMAT_CMD, nullptr, kWaitWithoutBound, "end of the low format")) {
        return false;
    }
    LOG_MSG(LOG_DETAIL, "[ZOLK_QEX::LowformatCommand:%d] ", "Complete to low format\n");
    return true;
}

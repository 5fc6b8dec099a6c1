// Storage operations of the target controller on a whole bank: the bank's
// image is its eflash part followed directly by its snor part, written from
// one file and dumped into one file.
#include <algorithm>
#include <cstdint>

#include "protocol/codes.h"
#include "protocol/protocol_fw.h"
#include "protocol/zolk_protocol.h"
#include "support/atomic_file.h"
#include "support/logger.h"
#include "support/run_record.h"
#include "support/stop_request.h"
#include "support/zolk_args.h"
#include "support/zolk_file.h"
#include "target/storage.h"
#include "target/window_transfer.h"
#include "target/zolk_qex.h"

namespace {

// pStorage of the run arguments points at these while a bank is handled.
char g_storageEflash[] = "eflash";
char g_storageSnor[] = "snor";

// One part of a bank as the walk hands it on.
struct BankPart {
    char* pStorage;
    uint32_t address;  // in its storage
    uint64_t size;
    bool last;  // no part with bytes follows
};

// Walks the parts of a bank that hold some of its first `bytes` bytes,
// eflash then snor: sets the window of each in the run arguments, prints it
// and hands it to handle. The first part that fails ends the walk, with its
// message behind tag unless a stop was requested.
template <typename Handle>
bool WalkBank(ZOLK_QEX& qex, ZOLKArgs* pZolkArgs, const BankInfo& bank, uint64_t bytes, const char* tag,
              Handle handle)
{
    const uint64_t eflash = std::min<uint64_t>(bank.eFlashSize, bytes);
    const uint64_t snor = std::min<uint64_t>(bank.snorSize, bytes - eflash);
    struct Part {
        char* pStorage;
        uint32_t address;
        uint64_t size;
        const char* pFailure;
    };
    const Part parts[] = {
        {g_storageEflash, bank.eFlashOffset, eflash, "Failed to write in eFlash\n"},
        {g_storageSnor, bank.snorOffset, snor, "Failed to write in SNOR\n"},
    };
    uint64_t fileOffset = 0;
    for (size_t i = 0; i < 2; ++i) {
        const Part& part = parts[i];
        if (part.size == 0) {
            continue;
        }
        pZolkArgs->pStorage = part.pStorage;
        pZolkArgs->ullFileOffset = fileOffset;
        pZolkArgs->ullAddr = part.address;
        pZolkArgs->ullSize = part.size;
        fileOffset += part.size;
        qex.PrintStorageOption(pZolkArgs);
        if (!handle(BankPart{part.pStorage, part.address, part.size, i == 1 || parts[1].size == 0})) {
            if (!StopRequested()) {
                LOG_MSG(LOG_ERROR, tag, "%s", part.pFailure);
            }
            return false;
        }
    }
    return true;
}

}  // namespace

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

    // Opened once: both parts take their sizes, CRCs and data from it.
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
    return WalkBank(*this, pZolkArgs, bankInfo, fileSize, "[ZOLK_QEX::WriteFileByBank:%d] ",
                    [&](const BankPart&) { return WriteAndVerify(file, pZolkArgs, cmd, pProtocol); });
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
    if (pZolkArgs->pReadFileName == nullptr) {
        LOG_MSG(LOG_ERROR, "[ZOLK_QEX::DumpStorageByBank:%d] ", "[ERROR] pFileName == NULL\n");
        return false;
    }
    BankInfo bankInfo;
    if (!ZOLKStorage::GetBankInfo(pZolkArgs->uiBank, &m_chipInfo, &bankInfo, m_form)) {
        return false;
    }
    PrintBankInfo(pZolkArgs, &bankInfo);

    // One file for the whole bank, renamed into place once both parts
    // arrived.
    AtomicFile out;
    if (!out.Open(pZolkArgs->pReadFileName)) {
        return false;
    }
    ProtocolFW protocol(m_serial);
    const uint64_t total = static_cast<uint64_t>(bankInfo.eFlashSize) + bankInfo.snorSize;
    bool finished = false;  // the last part arrived and the file was ended
    bool committed = false;
    const bool received = WalkBank(*this, pZolkArgs, bankInfo, total, "[ZOLK_QEX::DumpStorageByBank:%d] ",
                                   [&](const BankPart& part) {
        RecordedStep step(StepKind::kDump, part.pStorage, part.address, part.size);
        if (!ReceiveWindow(protocol, &out, pZolkArgs, READ_CMD, static_cast<uint32_t>(part.size),
                           pZolkArgs->pReadFileName)) {
            return step.End(false);
        }
        if (part.last) {
            // The file is renamed into place with its last part.
            finished = true;
            committed = step.End(FinishDump(out, true, total));
        } else {
            step.End(true);
        }
        return true;
    });
    // A failed part, or a bank without parts, leaves the dump file as it was.
    return received && finished ? committed : FinishDump(out, false, total);
}

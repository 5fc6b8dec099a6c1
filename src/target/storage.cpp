// Lookup in the storage bank table.
#include "target/storage.h"

#include "support/logger.h"

const char* BoolToString(bool value)
{
    return value ? "true" : "false";
}

bool ZOLKStorage::GetBankInfo(uint32_t bankNumber, const ChipInfo* pChipInfo, BankInfo* out,
                              const BuildForm& form)
{
    if (out == nullptr || bankNumber >= 2 || pChipInfo == nullptr) {
        return false;
    }
    for (const StorageBankRow& row : g_storageBankTable) {
        if (form.TableChipNumber(row.chip.chipNumber) == pChipInfo->chipNumber &&
            row.chip.expandFlash == pChipInfo->expandFlash && row.chip.ecc == pChipInfo->ecc &&
            row.chip.dualBank == pChipInfo->dualBank && row.bank.bankNumber == bankNumber) {
            *out = row.bank;
            return true;
        }
    }

    if (form.HexDigitChipNumbers()) {
        LOG_MSG(LOG_ERROR, "[ZOLKStorage::GetBankInfo:%d] ",
                "Storage for the chip information below is not defined\nChip Number : 0x%x\nBank Number : "
                "%d\nDual Bank : %s\nExpand Flash : %s\nECC : %s\n",
                pChipInfo->chipNumber, static_cast<int>(bankNumber), BoolToString(pChipInfo->dualBank),
                BoolToString(pChipInfo->expandFlash), BoolToString(pChipInfo->ecc));
    } else {
        LOG_MSG(LOG_ERROR, "[ZOLKStorage::GetBankInfo:%d] ",
                "Storage for the chip information below is not defined\nChip Number : %d\nBank Number : "
                "%d\nDual Bank : %s\nExpand Flash : %s\nECC : %s\n",
                static_cast<int>(pChipInfo->chipNumber), static_cast<int>(bankNumber),
                BoolToString(pChipInfo->dualBank), BoolToString(pChipInfo->expandFlash),
                BoolToString(pChipInfo->ecc));
    }
    return false;
}

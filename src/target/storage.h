// The storage bank table: where each bank lies in eflash and snor for every
// supported chip configuration.
#pragma once

#include <cstdint>

#include "support/build_form.h"
#include "target/chip_info.h"

struct StorageBankRow {
    ChipInfo chip;  // key, chip number in decimal
    BankInfo bank;  // bankNumber is part of the key
};

inline constexpr int kStorageBankRows = 30;
extern const StorageBankRow g_storageBankTable[kStorageBankRows];

class ZOLKStorage {
public:
    // Finds the row for the chip (numbers as the form's table holds them) and
    // bank and copies its BankInfo into out. Reports a missing row.
    static bool GetBankInfo(uint32_t bankNumber, const ChipInfo* pChipInfo, BankInfo* out,
                            const BuildForm& form);
};

const char* BoolToString(bool value);

// Chip information reported by the target and the layout of one bank.
#pragma once

#include <cstdint>

struct ChipInfo {
    uint32_t chipNumber = 0;  // as the storage bank table of the build form holds it
    bool expandFlash = false;  // the chip has serial NOR flash
    bool ecc = false;
    bool dualBank = false;     // the embedded flash is split into two banks
};

struct BankInfo {
    uint32_t bankNumber = 0;
    uint32_t eFlashSize = 0;    // bytes of the bank in eflash; 0 = no eflash part
    uint32_t eFlashOffset = 0;  // start address in eflash
    uint32_t snorSize = 0;      // bytes of the bank in snor; 0 = no snor part
    uint32_t snorOffset = 0;    // start address in snor
};

// Build forms of zolk_qex: one general form and six per-chip forms.
//
// Everything that differs between the forms is derived here from one value,
// the enforced chip number (0 for the general form). The logic takes the form
// as a value, so tests can exercise all seven; the executable passes the one
// it was built with (src/run/main.cpp).
#pragma once

#include <cstdint>
#include <string>

struct BuildForm {
    // Chip number the form enforces over what the target reports; 0 = none.
    uint32_t enforcedChip = 0;

    bool IsGeneral() const { return enforcedChip == 0; }
    // Baud rate of the ZOLK firmware: 921600 per-chip, 460800 general.
    uint32_t FirmwareBaud() const { return IsGeneral() ? 460800u : 921600u; }
    // Baud rate of the boot ROM: 115200 per-chip, 57600 general.
    uint32_t BootRomBaud() const { return IsGeneral() ? 57600u : 115200u; }
    // The storage bank table holds chip numbers in decimal in the per-chip
    // forms and in the hexadecimal-digit form (0x30230 for 30230) in the
    // general form, which is how the target reports them.
    bool HexDigitChipNumbers() const { return IsGeneral(); }
    // Chip number as the bank table of this form holds it, from its decimal
    // form (30230 -> 0x30230 in the general form, 30230 otherwise).
    uint32_t TableChipNumber(uint32_t decimalChip) const;
    // "general" or "chip-30230".
    std::string Name() const;

    static BuildForm General() { return BuildForm{}; }
    static BuildForm PerChip(uint32_t chip) { return BuildForm{chip}; }
};

// The six chip numbers that have a per-chip form.
inline constexpr uint32_t kPerChipForms[6] = {30110, 30140, 20230, 30230, 20360, 30360};

// Reads the digits of a decimal number as hexadecimal digits: 30230 -> 0x30230.
uint32_t DecimalDigitsAsHex(uint32_t decimal);

#include "support/build_form.h"

uint32_t DecimalDigitsAsHex(uint32_t decimal)
{
    uint32_t result = 0;
    uint32_t shift = 0;
    do {
        result |= (decimal % 10u) << shift;
        decimal /= 10u;
        shift += 4;
    } while (decimal != 0 && shift < 32);
    return result;
}

uint32_t BuildForm::TableChipNumber(uint32_t decimalChip) const
{
    return HexDigitChipNumbers() ? DecimalDigitsAsHex(decimalChip) : decimalChip;
}

std::string BuildForm::Name() const
{
    return IsGeneral() ? std::string("general") : "chip-" + std::to_string(enforcedChip);
}

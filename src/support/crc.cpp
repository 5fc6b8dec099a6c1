#include "support/crc.h"

#include <array>

namespace {
// Reflected table of the polynomial 0x8001801B (0xD8018001 reflected),
// built at compile time.
constexpr std::array<uint32_t, 256> MakeTable()
{
    std::array<uint32_t, 256> table{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t reg = i;
        for (int bit = 0; bit < 8; ++bit) {
            reg = (reg & 1u) ? (reg >> 1) ^ 0xD8018001u : (reg >> 1);
        }
        table[i] = reg;
    }
    return table;
}
constexpr std::array<uint32_t, 256> kTable = MakeTable();
static_assert(kTable[1] == 0x90910101u && kTable[128] == 0xD8018001u && kTable[255] == 0x7070FF00u);
}  // namespace

uint32_t CalcCRC(const void* data, uint64_t length, uint32_t crc)
{
    const auto* p = static_cast<const uint8_t*>(data);
    for (uint64_t i = 0; i < length; ++i) {
        crc = (crc >> 8) ^ kTable[(crc ^ p[i]) & 0xFFu];
    }
    return crc;
}

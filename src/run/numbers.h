// The one reading of a number the user typed: option values and the port
// prompt.
#pragma once

#include <cstdint>

// Digits only, with 0x/0X for hexadecimal and a leading 0 for
// octal, else decimal; no sign, no blanks, nothing after the digits, and no
// larger than max. Quiet; *out is untouched on failure.
bool ParseUnsigned(const char* text, uint64_t max, uint64_t* out);
// ParseUnsigned for option values: a refused text prints "%s is invalid value".
bool StrToUint64(const char* text, uint64_t* out);
bool StrToUint32(const char* text, uint32_t* out);

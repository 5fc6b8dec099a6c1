// The one reading of a number the user typed: option values and the port
// prompt.
#include "run/numbers.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace {

bool IsDigitOf(char c, int base)
{
    if (base == 16) {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    }
    return c >= '0' && c < '0' + base;
}

// ParseUnsigned with the message of a refused value.
bool StrToUnsigned(const char* text, uint64_t max, uint64_t* out)
{
    if (text == nullptr) {
        return false;
    }
    if (!ParseUnsigned(text, max, out)) {
        printf("%s is invalid value\n", text);
        return false;
    }
    return true;
}

}  // namespace

bool ParseUnsigned(const char* text, uint64_t max, uint64_t* out)
{
    if (text == nullptr || !IsDigitOf(text[0], 10)) {
        return false;
    }
    int base = 10;
    const char* digits = text;
    if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        digits = text + 2;
    } else if (text[0] == '0' && text[1] != '\0') {
        base = 8;
        digits = text + 1;
    }
    if (*digits == '\0') {
        return false;  // "0x" alone
    }
    for (const char* c = digits; *c != '\0'; ++c) {
        if (!IsDigitOf(*c, base)) {
            return false;
        }
    }
    errno = 0;
    const unsigned long long value = strtoull(digits, nullptr, base);
    if (errno == ERANGE || value > max) {
        return false;
    }
    *out = value;
    return true;
}

bool StrToUint64(const char* text, uint64_t* out)
{
    return StrToUnsigned(text, UINT64_MAX, out);
}

bool StrToUint32(const char* text, uint32_t* out)
{
    uint64_t value = 0;
    if (!StrToUnsigned(text, UINT32_MAX, &value)) {
        return false;
    }
    *out = static_cast<uint32_t>(value);
    return true;
}

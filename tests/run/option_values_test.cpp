// The values inside options and the port prompt: numbers, storage names,
// copies of texts.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "common/output_capture.h"
#include "protocol/codes.h"
#include "run/args.h"
#include "support/console.h"

namespace {

struct NumberCase {
    const char* text;
    bool ok;
    uint64_t value;
};

// The one number reading of the options and the port prompt: 0x for
// hexadecimal, a leading 0 for octal, else decimal, digits only, within range.
const NumberCase kNumberCases[] = {
    {"0x100", true, 256},  {"0X1f", true, 31},    {"100", true, 100},   {"010", true, 8},
    {"0", true, 0},        {"000", true, 0},      {"18446744073709551615", true, UINT64_MAX},
    {"12abc", false, 0},   {" 42", false, 0},     {"42 ", false, 0},    {"+1", false, 0},
    {"-1", false, 0},      {"zz", false, 0},      {"", false, 0},       {"abc", false, 0},
    {"08", false, 0},      {"0x", false, 0},      {"0xg", false, 0},    {"18446744073709551616", false, 0},
};

// One reading of c.text by a parser of either width, held against the case:
// a refused text leaves the output untouched.
template <typename T>
std::string CheckNumber(bool (*parse)(const char*, T*), const NumberCase& c)
{
    T value = 0xDEADBEEF;
    OutputCapture cap;
    const bool ok = parse(c.text, &value);
    cap.Restore();
    EXPECT_EQ(ok, c.ok) << c.text;
    EXPECT_EQ(value, c.ok ? c.value : 0xDEADBEEF) << c.text;
    return cap.Out();
}

TEST(StrToUint64Test, Table)
{
    for (const NumberCase& c : kNumberCases) {
        EXPECT_EQ(CheckNumber(StrToUint64, c), c.ok ? "" : std::string(c.text) + " is invalid value\n") << c.text;
    }
}

TEST(StrToUint32Test, TableAndRange)
{
    for (const NumberCase& c : kNumberCases) {
        if (c.value <= 0xFFFFFFFFull) {
            CheckNumber(StrToUint32, c);
        }
    }
    uint32_t value = 7;
    OutputCapture cap;
    EXPECT_TRUE(StrToUint32("4294967295", &value));
    EXPECT_EQ(value, 0xFFFFFFFFu);
    value = 7;
    EXPECT_FALSE(StrToUint32("0x100000000", &value));
    EXPECT_EQ(value, 7u);
    EXPECT_EQ(cap.Out(), "0x100000000 is invalid value\n");
}

TEST(StrToUintStorageTypeTest, NamesAndMessages)
{
    ConsoleForceTerminal(0);
    OutputCapture cap;
    EXPECT_EQ(StrToUintStorageType(nullptr), 0u);
    EXPECT_EQ(StrToUintStorageType("snor"), 0xAAAA1001u);
    EXPECT_EQ(StrToUintStorageType("eflash"), 0xAAAA1002u);
    EXPECT_EQ(StrToUintStorageType("SNOR"), 0u);
    EXPECT_EQ(StrToUintStorageType("eflash "), 0u);
    cap.Restore();
    ConsoleForceTerminal(-1);
    EXPECT_EQ(WithoutLines(cap.Out()),
              "[StrToUintStorageType:N] \"SNOR\" is invalid storage type\n"
              "[StrToUintStorageType:N] \"eflash \" is invalid storage type\n");
}

TEST(StrDupTest, CopiesAndNull)
{
    EXPECT_EQ(StrDup(nullptr), nullptr);
    const char text[] = "fw.bin";
    char* copy = StrDup(text);
    ASSERT_NE(copy, nullptr);
    EXPECT_NE(copy, text);
    EXPECT_STREQ(copy, text);
}

}  // namespace

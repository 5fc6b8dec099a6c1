// Storage bank table lookup in all seven build forms.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "common/output_capture.h"
#include "support/build_form.h"
#include "target/storage.h"

// Test names show the form, not its bytes.
static void PrintTo(const BuildForm& form, std::ostream* os)
{
    *os << form.Name();
}

namespace {

std::vector<BuildForm> AllForms()
{
    std::vector<BuildForm> forms = {BuildForm::General()};
    for (uint32_t chip : kPerChipForms) {
        forms.push_back(BuildForm::PerChip(chip));
    }
    return forms;
}

std::string FormName(const testing::TestParamInfo<BuildForm>& info)
{
    std::string name = info.param.Name();
    for (char& c : name) {
        if (c == '-') {
            c = '_';
        }
    }
    return name;
}

class BankLookup : public testing::TestWithParam<BuildForm> {
protected:
    // Chip information as the target of this form would leave it.
    ChipInfo Chip(uint32_t decimalChip, bool expand, bool ecc, bool dual) const
    {
        ChipInfo info;
        info.chipNumber = GetParam().TableChipNumber(decimalChip);
        info.expandFlash = expand;
        info.ecc = ecc;
        info.dualBank = dual;
        return info;
    }

    // Runs one lookup and returns what it printed.
    std::string Lookup(uint32_t bank, const ChipInfo& chip, BankInfo* out, bool* found) const
    {
        OutputCapture cap;
        *found = ZOLKStorage::GetBankInfo(bank, &chip, out, GetParam());
        return cap.Out();
    }

    std::string NotDefined(uint32_t chipShown, uint32_t bank, bool dual, bool expand, bool ecc) const
    {
        char chipText[32];
        if (GetParam().IsGeneral()) {
            snprintf(chipText, sizeof(chipText), "0x%x", chipShown);
        } else {
            snprintf(chipText, sizeof(chipText), "%d", static_cast<int>(chipShown));
        }
        return std::string("Storage for the chip information below is not defined\nChip Number : ") + chipText +
               "\nBank Number : " + std::to_string(bank) + "\nDual Bank : " + BoolToString(dual) +
               "\nExpand Flash : " + BoolToString(expand) + "\nECC : " + BoolToString(ecc) + "\n";
    }
};

TEST_P(BankLookup, EveryRowIsFoundByItsOwnKey)
{
    for (const StorageBankRow& row : g_storageBankTable) {
        const ChipInfo chip =
            Chip(row.chip.chipNumber, row.chip.expandFlash, row.chip.ecc, row.chip.dualBank);
        BankInfo out;
        bool found = false;
        const std::string printed = Lookup(row.bank.bankNumber, chip, &out, &found);
        ASSERT_TRUE(found) << "row of chip " << row.chip.chipNumber << " bank " << row.bank.bankNumber;
        EXPECT_EQ(printed, "");
        EXPECT_EQ(out.bankNumber, row.bank.bankNumber);
        EXPECT_EQ(out.eFlashSize, row.bank.eFlashSize);
        EXPECT_EQ(out.eFlashOffset, row.bank.eFlashOffset);
        EXPECT_EQ(out.snorSize, row.bank.snorSize);
        EXPECT_EQ(out.snorOffset, row.bank.snorOffset);
    }
}

TEST_P(BankLookup, Hits)
{
    struct Case {
        uint32_t chip;
        bool expand, ecc, dual;
        uint32_t bank;
        BankInfo expected;
    };
    const Case cases[] = {
        {30230, true, true, false, 0, {0, 0x200000, 0, 0x100000, 0}},
        {20360, true, false, true, 1, {1, 0, 0, 0x200000, 0}},
        {30110, false, false, true, 1, {1, 0x100000, 0x100000, 0, 0}},
        {30360, true, true, false, 0, {0, 0x200000, 0, 0x1BD000, 0}},
        {30360, true, true, true, 0, {0, 0x1BD000, 0, 0, 0}},
    };
    for (const Case& c : cases) {
        BankInfo out;
        bool found = false;
        Lookup(c.bank, Chip(c.chip, c.expand, c.ecc, c.dual), &out, &found);
        ASSERT_TRUE(found) << c.chip;
        EXPECT_EQ(out.bankNumber, c.expected.bankNumber) << c.chip;
        EXPECT_EQ(out.eFlashSize, c.expected.eFlashSize) << c.chip;
        EXPECT_EQ(out.eFlashOffset, c.expected.eFlashOffset) << c.chip;
        EXPECT_EQ(out.snorSize, c.expected.snorSize) << c.chip;
        EXPECT_EQ(out.snorOffset, c.expected.snorOffset) << c.chip;
    }
}

TEST_P(BankLookup, MissesReportTheChipInTheFormsNotation)
{
    const BuildForm& form = GetParam();
    // The number in the notation of the other form: hex digits in a per-chip
    // form, plain decimal in the general form.
    const uint32_t otherNotation = form.IsGeneral() ? 30230u : 0x30230u;
    struct Case {
        const char* what;
        ChipInfo chip;
        uint32_t bank;
    };
    const Case cases[] = {
        {"30110 with ECC", Chip(30110, false, true, false), 0},
        {"bank 1 without dual bank", Chip(30230, true, true, false), 1},
        {"chip never read", ChipInfo{}, 0},
        {"other notation", ChipInfo{otherNotation, true, true, false}, 0},
    };
    for (const Case& c : cases) {
        BankInfo out{7, 7, 7, 7, 7};
        bool found = true;
        const std::string printed = Lookup(c.bank, c.chip, &out, &found);
        EXPECT_FALSE(found) << c.what;
        EXPECT_NE(printed.find("[ZOLKStorage::GetBankInfo:"), std::string::npos) << c.what;
        EXPECT_NE(printed.find(NotDefined(c.chip.chipNumber, c.bank, c.chip.dualBank, c.chip.expandFlash,
                                          c.chip.ecc)),
                  std::string::npos)
            << c.what << ": " << printed;
        EXPECT_EQ(out.bankNumber, 7u) << c.what;
        EXPECT_EQ(out.eFlashSize, 7u) << c.what;
        EXPECT_EQ(out.snorSize, 7u) << c.what;
    }
}

TEST_P(BankLookup, NotDefinedMessageShowsDecimalOrHex)
{
    BankInfo out;
    bool found = true;
    const std::string printed = Lookup(0, Chip(30110, false, true, false), &out, &found);
    EXPECT_NE(printed.find(GetParam().IsGeneral() ? "Chip Number : 0x30110\n" : "Chip Number : 30110\n"),
              std::string::npos)
        << printed;
}

TEST_P(BankLookup, BankAboveOneAndNullOutputFailSilently)
{
    BankInfo out{7, 7, 7, 7, 7};
    bool found = true;
    EXPECT_EQ(Lookup(2, Chip(30230, true, true, false), &out, &found), "");
    EXPECT_FALSE(found);
    EXPECT_EQ(out.eFlashSize, 7u);
    EXPECT_EQ(Lookup(0xFFFFFFFFu, Chip(30230, true, true, false), &out, &found), "");
    EXPECT_FALSE(found);
    EXPECT_EQ(Lookup(0, Chip(30230, true, true, false), nullptr, &found), "");
    EXPECT_FALSE(found);
}

INSTANTIATE_TEST_SUITE_P(AllForms, BankLookup, testing::ValuesIn(AllForms()), FormName);

}  // namespace

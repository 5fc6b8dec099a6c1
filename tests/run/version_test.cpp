// Version text and build date text.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "run/version.h"

namespace {

TEST(VersionInfoTest, VersionTextFromNumber)
{
    VersionInfo* info = VersionInfo::GetInstance();
    const struct {
        uint32_t number;
        const char* text;
    } cases[] = {{1, "0.0.1"}, {10203, "1.2.3"}, {1234567, "23.45.67"}, {0, "0.0.0"}};
    for (const auto& c : cases) {
        info->SetVersion(c.number);
        EXPECT_STREQ(info->GetVersionString(), c.text) << c.number;
    }
}

TEST(VersionInfoTest, BuildDateText)
{
    VersionInfo* info = VersionInfo::GetInstance();
    const struct {
        const char* date;
        const char* text;
    } cases[] = {{"Jun  7 2024", "2024.6.7"}, {"Dec 31 1999", "1999.12.31"}, {"Jan 01 2030", "2030.1.1"}};
    for (const auto& c : cases) {
        info->ParseBuildDate(c.date);
        EXPECT_STREQ(info->GetBuildDate(), c.text) << c.date;
    }
    // The compiler's own date has the same form.
    EXPECT_EQ(strlen(BuildDateText()), 11u);
    EXPECT_EQ(strlen(BuildTimeText()), 8u);
    info->ParseBuildDate(BuildDateText());
    unsigned year = 0, month = 0, day = 0;
    ASSERT_EQ(sscanf(info->GetBuildDate(), "%u.%u.%u", &year, &month, &day), 3) << info->GetBuildDate();
    EXPECT_GE(year, 2024u);
    EXPECT_TRUE(month >= 1 && month <= 12) << info->GetBuildDate();
    EXPECT_TRUE(day >= 1 && day <= 31) << info->GetBuildDate();
}

}  // namespace

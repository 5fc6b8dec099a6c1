#include <gtest/gtest.h>

#include <regex>

#include "support/progress_bar.h"
#include "support_fixture.h"

namespace {
const std::string kBarOn = "\x1b[0;97;42m";
const std::string kNormal = "\x1b[0m";
const std::string kClear = "\x1b[2K\r";
const std::string kClearTail = "\x1b[K";

std::string Picture(const char* body)
{
    return kBarOn + "\r" + body + kNormal + kClearTail;
}
}  // namespace

class ProgressBarTest : public SupportTest {
protected:
    void SetUp() override
    {
        SupportTest::SetUp();
        ConsoleForceTerminal(1);
    }
    ProgressBar* bar = ProgressBar::GetInstance();
};

TEST_F(ProgressBarTest, PicturesByteForByte)
{
    struct Case {
        uint64_t total;
        uint64_t done;
        const char* body;
    };
    const Case cases[] = {
        {1000, 500, " 50% [|||||||||||||||               ] 500/1000"},
        {1000, 999, " 99% [||||||||||||||||||||||||||||| ] 999/1000"},
        {1000, 1000, "100% [||||||||||||||||||||||||||||||] 1000/1000"},
        {1000, 9, "  0% [                              ] 9/1000"},
        {6000000000ull, 3000000000ull, " 50% [|||||||||||||||               ] 3000000000/6000000000"},
    };
    for (const Case& c : cases) {
        bar->Start(c.total);
        Capture();
        EXPECT_TRUE(bar->Plus(c.done));
        EXPECT_EQ(Captured(), Picture(c.body)) << c.done << "/" << c.total;
    }
    EXPECT_TRUE(bar->NeedRedraw());
    EXPECT_TRUE(bar->IsLineDrawn());
}

TEST_F(ProgressBarTest, SpeedForm)
{
    char line[128];
    ProgressBar::FormatPicture(line, sizeof(line), 50, 2048000, 4096000, true, 1000);
    EXPECT_STREQ(line, "\r 50% [|||||||||||||||               ] 2048000/4096000 2048.0 KB/s");
    // A picture in the same millisecond as Start divides by 1.
    ProgressBar::FormatPicture(line, sizeof(line), 100, 3, 3, true, 0);
    EXPECT_STREQ(line, "\r100% [||||||||||||||||||||||||||||||] 3/3 3.0 KB/s");

    bar->SetShowSpeed(true);
    bar->Start(100);
    Capture();
    bar->Plus(100);
    EXPECT_TRUE(std::regex_match(Captured(), std::regex("\x1b\\[0;97;42m\r100% \\[\\|{30}\\] 100/100 \\d+\\.\\d KB/s\x1b\\[0m\x1b\\[K")));
}

TEST_F(ProgressBarTest, ZeroTotalReportsOnceAndDrawsZero)
{
    // A bar left active by an earlier transfer makes the message redraw it:
    // the nested call must stay quiet.
    bar->Start(10);
    Capture();
    bar->Plus(5);
    bar->Start(0);
    Captured();

    Capture();
    EXPECT_TRUE(bar->Plus(0));
    const std::string out = Captured();
    EXPECT_EQ(CountOf(out, "ullTotal(0) is invalid value\n"), 1u) << out;
    EXPECT_TRUE(out.rfind(kClear + "\x1b[0;91m[ProgressBar::GetPercent:", 0) == 0) << out;
    const std::string zero = Picture("  0% [                              ] 0/0");
    ASSERT_GE(out.size(), zero.size());
    EXPECT_EQ(out.substr(out.size() - zero.size()), zero);
}

TEST_F(ProgressBarTest, PastTheTotalReportsOnceWithoutDrawing)
{
    bar->Start(100);
    Capture();
    bar->Plus(60);
    Captured();

    for (int round = 0; round < 2; ++round) {
        // The count stays raised, so a later redraw reports again, once.
        Capture();
        EXPECT_FALSE(bar->Plus(round == 0 ? 50 : 0));
        const std::string out = Captured();
        EXPECT_TRUE(std::regex_match(out, std::regex("\x1b\\[2K\r\x1b\\[0;91m\\[ProgressBar::Plus:\\d+\\] "
                                                     "ullCurrent\\(110\\) is greater than ullTotal\\(100\\)\n\x1b\\[0m")))
            << out;
    }
}

TEST_F(ProgressBarTest, MessageTakesTheBarLineAndTheBarMovesBelow)
{
    bar->Start(1000);
    Capture();
    bar->Plus(500);
    Captured();

    Capture();
    const int line = __LINE__; LOG_MSG(LOG_INFO, "[ProgressBarTest::Msg:%d] ", "hello\n");
    EXPECT_EQ(Captured(), kClear + "\x1b[0;94m[ProgressBarTest::Msg:" + std::to_string(line) + "] hello\n" + kNormal +
                              Picture(" 50% [|||||||||||||||               ] 500/1000"));

    bar->End();
    Capture();
    LOG_MSG(LOG_BARE, "[ProgressBarTest::Msg:%d] ", "after\n");
    EXPECT_EQ(Captured(), kClear + "\x1b[0mafter\n" + kNormal);
}

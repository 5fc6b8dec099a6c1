#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <sstream>

#include "support/crc.h"
#include "support/logger.h"
#include "common/file_data.h"
#include "support_fixture.h"

namespace {
const std::string kClear = "\x1b[2K\r";
const std::string kNormal = "\x1b[0m";
}  // namespace

using LoggerTest = SupportTest;
using LoggerFileTest = SupportDirTest;

TEST_F(LoggerTest, LevelsOnATerminalCarryTheirColourTagAndLine)
{
    struct Case {
        int level;
        const char* sgr;
        bool tagged;
    };
    const Case cases[] = {
        {LOG_ERROR, "\x1b[0;91m", true},   {LOG_SUCCESS, "\x1b[0;92m", true}, {LOG_INFO, "\x1b[0;94m", true},
        {LOG_DETAIL, "\x1b[0m", true},     {7, "\x1b[0;36m", true},           {8, "\x1b[0;35m", true},
        {LOG_BARE, "\x1b[0m", false},      {4, "\x1b[0m", true},
    };
    ConsoleForceTerminal(1);
    for (const Case& c : cases) {
        Capture();
        const int line = __LINE__; LOG_MSG(c.level, "[LoggerTest::Levels:%d] ", "value %d\n", 42);
        const std::string tag = c.tagged ? "[LoggerTest::Levels:" + std::to_string(line) + "] " : "";
        EXPECT_EQ(Captured(), kClear + c.sgr + tag + "value 42\n" + kNormal) << "level " << c.level;
    }
}

TEST_F(LoggerTest, RedirectedOutputIsPlainText)
{
    Capture();
    const int line = __LINE__; LOG_MSG(LOG_ERROR, "[LoggerTest::Plain:%d] ", "Failed to %s\n", "go");
    EXPECT_EQ(Captured(), "[LoggerTest::Plain:" + std::to_string(line) + "] Failed to go\n");
}

TEST_F(LoggerTest, AttributesMapToSgrFromTheirBits)
{
    const std::pair<uint16_t, std::string> cases[] = {
        {47, "\x1b[0;97;42m"},   // bright white on green: the progress bar
        {0x1C, "\x1b[0;91;44m"}, // bright red on blue
        {0x04, "\x1b[0;31m"},    // dark red
        {0x07, "\x1b[0m"},
    };
    ConsoleForceTerminal(1);
    for (const auto& [attribute, sgr] : cases) {
        Capture();
        SetConsoleTextAttribute(attribute);
        EXPECT_EQ(Captured(), sgr) << "attribute " << attribute;
    }
    ConsoleForceTerminal(0);
    Capture();
    SetConsoleTextAttribute(12);
    ClearConsoleLine();
    EXPECT_EQ(Captured(), "");
}

TEST_F(LoggerTest, TimeStampFormatAndHourWrap)
{
    const std::pair<int32_t, const char*> cases[] = {
        {0, "[00:00:00]"},
        {59999, "[00:59:99]"},
        {3725430, "[02:05:43]"},  // 62 minutes wrap to 2
        {3600000, "[00:00:00]"},
    };
    for (const auto& [ms, text] : cases) {
        EXPECT_EQ(ZOLKLogger::FormatTimeStamp(ms), text) << ms;
    }

    ZOLKLogger::GetInstance()->SetTimeStamp(true);
    Capture();
    LOG_MSG(LOG_DETAIL, "[LoggerTest::Stamp:%d] ", "text\n");
    EXPECT_TRUE(std::regex_match(Captured(), std::regex(R"(\[\d\d:\d\d:\d\d\]\[LoggerTest::Stamp:\d+\] text\n)")));
}

TEST_F(LoggerTest, DateLineFormatAndMessage)
{
    std::tm t{};
    t.tm_year = 2024 - 1900;
    t.tm_mon = 2;
    t.tm_mday = 9;
    t.tm_hour = 8;
    t.tm_min = 5;
    t.tm_sec = 3;
    EXPECT_EQ(ZOLKLogger::FormatDateTime(t), "24/03/09-08:05:03");

    ConsoleForceTerminal(1);
    Capture();
    EXPECT_EQ(ZOLKLogger::GetInstance()->PrintCurTime(), 0);
    EXPECT_TRUE(std::regex_match(
        Captured(), std::regex("\x1b\\[2K\r\x1b\\[0;94m\\[ZOLKLogger::PrintCurTime:\\d+\\] "
                               "\\d\\d/\\d\\d/\\d\\d-\\d\\d:\\d\\d:\\d\\d\n\x1b\\[0m")));
}

// Debug-only messages are guarded at their call sites; the file CRC is one.
TEST_F(LoggerTest, DebugOnlyMessagesNeedDebug)
{
    EXPECT_FALSE(ZOLKLogger::GetInstance()->IsDebug());
    Capture();
    CalcCRCInFile(static_cast<ZOLKFile*>(nullptr), 0, 0);
    EXPECT_EQ(CountOf(Captured(), "Start to calcuate CRC\n"), 0u);

    ZOLKLogger::GetInstance()->SetDebug(true);
    EXPECT_TRUE(ZOLKLogger::GetInstance()->IsDebug());
    ConsoleForceTerminal(1);
    Capture();
    CalcCRCInFile(static_cast<ZOLKFile*>(nullptr), 0, 0);
    const std::string out = Captured();
    EXPECT_EQ(CountOf(out, "Start to calcuate CRC\n"), 1u);
    EXPECT_NE(out.find("\x1b[0;94m[CalcCRCInFile:"), std::string::npos);
}

TEST_F(LoggerFileTest, LogFileHoldsThePrintedTextOnly)
{
    ConsoleForceTerminal(1);
    ZOLKLogger* logger = ZOLKLogger::GetInstance();
    Capture();
    LOG_MSG(LOG_SUCCESS, "[main:%d] ", "banner before saving\n");
    logger->SetSaveLog(true)->SetTimeStamp(true);
    const std::string name = logger->GetLogFileName();
    const int line1 = __LINE__; LOG_MSG(LOG_ERROR, "[LoggerTest::File:%d] ", "first %d\n", 1);
    ProgressBar::GetInstance()->Start(10);
    ProgressBar::GetInstance()->Plus(5);
    ProgressBar::GetInstance()->End();
    LOG_MSG(LOG_BARE, "[LoggerTest::File:%d] ", "second\n");
    logger->SetSaveLog(false);
    LOG_MSG(LOG_INFO, "[LoggerTest::File:%d] ", "after saving\n");
    Captured();

    std::string sep(1, static_cast<char>(std::filesystem::path::preferred_separator));
    EXPECT_TRUE(std::regex_match(name, std::regex("log" + std::string(sep == "\\" ? "\\\\" : "/") +
                                                  R"(ZOLK_V8_LOG_\d\d-\d\d-\d\d-\d\d-\d\d-\d\d)")))
        << name;
    EXPECT_TRUE(std::filesystem::is_directory("log"));
    const std::string stamp = R"(\[\d\d:\d\d:\d\d\])";
    const std::string content = ReadText(name);
    EXPECT_TRUE(std::regex_match(content, std::regex(stamp + R"(\[LoggerTest::File:)" + std::to_string(line1) +
                                                     R"(\] first 1\n)" + stamp + "second\n")))
        << content;
}

TEST_F(LoggerFileTest, SameSecondTakesANumberedNameAndKeepsTheFirstFile)
{
    ZOLKLogger* logger = ZOLKLogger::GetInstance();
    std::filesystem::create_directory("log");  // an existing directory is reused
    std::string first;
    std::string second;
    // The two names are compared only when both fall in the same second.
    for (int attempt = 0; attempt < 3; ++attempt) {
        Capture();
        logger->SetSaveLog(true);
        first = logger->GetLogFileName();
        LOG_MSG(LOG_DETAIL, "[LoggerTest::Suffix:%d] ", "first run\n");
        logger->SetSaveLog(false);
        logger->SetSaveLog(true);
        second = logger->GetLogFileName();
        LOG_MSG(LOG_DETAIL, "[LoggerTest::Suffix:%d] ", "second run\n");
        logger->SetSaveLog(false);
        EXPECT_EQ(Captured().find("Failed to save log"), std::string::npos);
        if (second.rfind(first, 0) == 0) {
            break;
        }
    }
    ASSERT_EQ(second, first + "_2");
    EXPECT_NE(ReadText(first).find("first run\n"), std::string::npos);
    EXPECT_EQ(ReadText(first).find("second run"), std::string::npos);
    EXPECT_NE(ReadText(second).find("second run\n"), std::string::npos);
}

TEST_F(LoggerFileTest, UncreatableLogFileWarnsOnceAndConsoleGoesOn)
{
    { std::ofstream("log") << "not a directory"; }
    ZOLKLogger* logger = ZOLKLogger::GetInstance();
    Capture();
    logger->SetSaveLog(true);
    LOG_MSG(LOG_DETAIL, "[LoggerTest::Warn:%d] ", "one\n");
    LOG_MSG(LOG_DETAIL, "[LoggerTest::Warn:%d] ", "two\n");
    const std::string out = Captured();
    EXPECT_EQ(CountOf(out, "Failed to save log - log"), 1u) << out;
    EXPECT_TRUE(std::regex_search(out, std::regex(R"(^\[ZOLKLogger::SetSaveLog:\d+\] Failed to save log - log.ZOLK_V8_LOG_)")));
    EXPECT_NE(out.find("] one\n"), std::string::npos);
    EXPECT_NE(out.find("] two\n"), std::string::npos);
    EXPECT_EQ(ReadText("log"), "not a directory");
}

// The file is first held open; when it cannot be reopened later the warning
// follows the message being printed instead of tearing it.
TEST_F(LoggerFileTest, LostLogDirectoryWarnsOnceAfterTheMessage)
{
    ZOLKLogger* logger = ZOLKLogger::GetInstance();
    Capture();
    logger->SetSaveLog(true);
    std::error_code ec;
    std::filesystem::remove_all("log", ec);
    if (ec) {
        Captured();
        GTEST_SKIP() << "this system keeps the directory of an open file: " << ec.message();
    }
    { std::ofstream("log") << "x"; }
    const int line = __LINE__; LOG_MSG(LOG_DETAIL, "[LoggerTest::Lost:%d] ", "one\n");
    LOG_MSG(LOG_DETAIL, "[LoggerTest::Lost:%d] ", "two\n");
    const std::string out = Captured();
    const std::string first = "[LoggerTest::Lost:" + std::to_string(line) + "] one\n";
    ASSERT_EQ(out.rfind(first, 0), 0u) << out;
    EXPECT_TRUE(std::regex_search(out.substr(first.size()),
                                  std::regex(R"(^\[ZOLKLogger::Print:\d+\] Failed to save log - log.ZOLK_V8_LOG_\S+\n\[LoggerTest::Lost:\d+\] two\n$)")))
        << out;
}

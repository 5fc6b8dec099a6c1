// Shared set-up of the support tests: the logger and the progress bar are
// process-wide singletons, so each test starts them from a known state and
// leaves them so; file tests run in a fresh temporary working directory.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "common/output_capture.h"
#include "support/console.h"
#include "support/logger.h"
#include "support/progress_bar.h"

inline void ResetSupportState(int terminalMode)
{
    ConsoleForceTerminal(terminalMode);
    ZOLKLogger::GetInstance()->SetSaveLog(false)->SetTimeStamp(false)->SetDebug(false);
    ProgressBar* bar = ProgressBar::GetInstance();
    bar->SetShowSpeed(false);
    ProgressBar::SetClockFunction(nullptr);
    // Once any bar has been drawn every message clears the line first; do it
    // here so each test sees the same state whatever ran before it. Ending a
    // bar finishes its line, which is no test's output either.
    testing::internal::CaptureStdout();
    bar->End();
    bar->ClearLine();
    ConsoleEndOpenLine();
    testing::internal::GetCapturedStdout();
}

// Console output is captured per test; output is plain (not a terminal)
// unless a test forces the terminal mode.
class SupportTest : public testing::Test {
protected:
    void SetUp() override { ResetSupportState(0); }
    void TearDown() override { ResetSupportState(-1); }

    void Capture() { testing::internal::CaptureStdout(); }
    std::string Captured() { return testing::internal::GetCapturedStdout(); }
};

// As SupportTest, in a temporary working directory removed afterwards.
class SupportDirTest : public SupportTest {
protected:
    void SetUp() override
    {
        SupportTest::SetUp();
        m_previous = std::filesystem::current_path();
        std::string pattern = (std::filesystem::temp_directory_path() / "zolk_support_XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        m_dir = pattern;
        std::filesystem::current_path(m_dir);
    }
    void TearDown() override
    {
        SupportTest::TearDown();
        std::filesystem::current_path(m_previous);
        std::error_code ec;
        std::filesystem::remove_all(m_dir, ec);
    }

    std::filesystem::path m_previous;
    std::filesystem::path m_dir;
};

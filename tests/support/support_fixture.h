// Shared set-up of the support tests: the logger and the progress bar are
// process-wide singletons, so each test starts them from a known state and
// leaves them so; file tests run in a fresh temporary working directory.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>

#include "common/output_capture.h"
#include "common/temp_dir.h"
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
    OutputCapture swallowed;
    bar->End();
    bar->ClearLine();
    ConsoleEndOpenLine();
}

// Console output is captured per test; output is plain (not a terminal)
// unless a test forces the terminal mode.
class SupportTest : public testing::Test {
protected:
    void SetUp() override { ResetSupportState(0); }
    void TearDown() override
    {
        m_capture.reset();
        ResetSupportState(-1);
    }

    // Standard output from Capture to Captured.
    void Capture() { m_capture.emplace(); }
    std::string Captured()
    {
        std::string out = m_capture ? m_capture->Out() : std::string();
        m_capture.reset();
        return out;
    }

private:
    std::optional<OutputCapture> m_capture;
};

// As SupportTest, in a temporary working directory removed afterwards.
class SupportDirTest : public SupportTest {
protected:
    void SetUp() override
    {
        SupportTest::SetUp();
        m_previous = std::filesystem::current_path();
        ASSERT_TRUE(m_dir.Made());
        std::filesystem::current_path(m_dir.Path());
    }
    void TearDown() override
    {
        SupportTest::TearDown();
        std::filesystem::current_path(m_previous);
    }

    std::filesystem::path m_previous;
    TempDir m_dir{"zolk_support"};
};

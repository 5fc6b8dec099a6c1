#include "support/progress_bar.h"

#include <cstdio>

#include "support/clock.h"
#include "support/console.h"
#include "support/logger.h"

namespace {
constexpr int kBarColumns = 30;
constexpr const char* kBars = "||||||||||||||||||||||||||||||";
}  // namespace

ProgressBar* ProgressBar::GetInstance()
{
    static ProgressBar* instance = new ProgressBar();
    return instance;
}

ProgressBar::ProgressBar() : startClock(MilliClock()) {}

void ProgressBar::Start(uint64_t total)
{
    ullCurrent = 0;
    ullTotal = total;
    startClock = MilliClock();
    lastPercent = -1;
}

// The message pattern redraws an active bar with Plus(0) after every message,
// also after the messages printed here; bInsideMessage keeps that nested call
// from reporting (and recursing) again.
bool ProgressBar::Plus(uint64_t count)
{
    ullCurrent += count;
    if (ullCurrent > ullTotal) {
        if (!bInsideMessage) {
            bInsideMessage = true;
            LOG_MSG(LOG_ERROR, "[ProgressBar::Plus:%d] ", "ullCurrent(%llu) is greater than ullTotal(%llu)\n",
                    static_cast<unsigned long long>(ullCurrent), static_cast<unsigned long long>(ullTotal));
            bInsideMessage = false;
        }
        return false;
    }
    Draw(GetPercent(ullCurrent, ullTotal));
    return true;
}

uint64_t ProgressBar::GetPercent(uint64_t current, uint64_t total)
{
    if (total == 0) {
        if (!bInsideMessage) {
            bInsideMessage = true;
            LOG_MSG(LOG_ERROR, "[ProgressBar::GetPercent:%d] ", "ullTotal(%llu) is invalid value\n",
                    static_cast<unsigned long long>(total));
            bInsideMessage = false;
        }
        return 0;
    }
    return (current * 100u) / total;
}

int ProgressBar::FormatPicture(char* out, size_t outSize, uint64_t percent, uint64_t current, uint64_t total,
                               bool showSpeed, int32_t elapsedMs)
{
    if (percent > 100) {
        percent = 100;
    }
    const int bars = static_cast<int>(percent * kBarColumns / 100);
    if (!showSpeed) {
        return std::snprintf(out, outSize, "\r%3d%% [%.*s%*s] %lld/%lld", static_cast<int>(percent), bars, kBars,
                             kBarColumns - bars, "", static_cast<long long>(current),
                             static_cast<long long>(total));
    }
    const double elapsed = elapsedMs == 0 ? 1.0 : static_cast<double>(elapsedMs);
    const double speed = static_cast<double>(current) / elapsed;
    return std::snprintf(out, outSize, "\r%3d%% [%.*s%*s] %lld/%lld %.1lf KB/s", static_cast<int>(percent), bars,
                         kBars, kBarColumns - bars, "", static_cast<long long>(current),
                         static_cast<long long>(total), speed);
}

void ProgressBar::Draw(uint64_t percent)
{
    bLineDrawn = true;
    bRedraw = true;
    // Off a terminal every picture stays in the output, so only a new percent
    // is drawn: the boot protocol advances the bar every 4 bytes.
    if (!ConsoleIsTerminal() && static_cast<int>(percent) == lastPercent) {
        return;
    }
    lastPercent = static_cast<int>(percent);

    char line[128];
    const int32_t elapsed =
        bShowSpeed ? static_cast<int32_t>(static_cast<uint32_t>(MilliClock()) - static_cast<uint32_t>(startClock))
                   : 0;
    const int length = FormatPicture(line, sizeof(line), percent, ullCurrent, ullTotal, bShowSpeed, elapsed);
    SetConsoleTextAttribute(47);
    if (length > 0) {
        std::fwrite(line, 1, static_cast<size_t>(length) < sizeof(line) ? static_cast<size_t>(length)
                                                                          : sizeof(line) - 1,
                    stdout);
    }
    SetConsoleTextAttribute(7);
    std::fflush(stdout);
    bPictureOnLine = true;
}

void ProgressBar::ClearLine()
{
    // Off a terminal the line cannot be erased: end it instead, so that the
    // message that follows starts on a line of its own.
    if (bPictureOnLine && !ConsoleIsTerminal()) {
        std::fputs("\n", stdout);
    }
    bPictureOnLine = false;
    ClearConsoleLine();
    bLineDrawn = true;
}

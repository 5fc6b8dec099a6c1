#include "support/progress_bar.h"

#include <algorithm>
#include <climits>
#include <cstdio>

#include "support/clock.h"
#include "support/console.h"
#include "support/logger.h"

namespace {
constexpr int kBarColumns = 30;
constexpr const char* kBars = "||||||||||||||||||||||||||||||";
// A narrow terminal shortens the bar down to this many columns before the
// speed is left out.
constexpr int kMinBarColumns = 10;
// "%3d%% [" and "]" around the bar.
constexpr int kPictureFrame = 7;
// The speed over the first moments of a transfer is noise (one chunk over
// no measurable time, or the first 4 bytes of a boot image): it shows from
// this age on, and on the last picture, where it is the whole transfer's.
constexpr int32_t kSpeedSettleMs = 500;

ProgressBar::ClockFunction g_clock = MilliClock;
}  // namespace

ProgressBar* ProgressBar::GetInstance()
{
    static ProgressBar* instance = new ProgressBar();
    return instance;
}

ProgressBar::ProgressBar() : startClock(g_clock()) {}

void ProgressBar::SetClockFunction(ClockFunction clock)
{
    g_clock = clock != nullptr ? clock : MilliClock;
}

void ProgressBar::Start(uint64_t total)
{
    ullCurrent = 0;
    ullTotal = total;
    startClock = g_clock();
    lastStep = -1;
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
                               bool showSpeed, int32_t elapsedMs, int columns)
{
    if (outSize == 0) {
        return 0;
    }
    if (percent > 100) {
        percent = 100;
    }
    const double elapsed = elapsedMs <= 0 ? 1.0 : static_cast<double>(elapsedMs);
    const double speed = static_cast<double>(current) / elapsed;

    // Screen width of the parts beside the bar.
    const int countsWidth = std::snprintf(nullptr, 0, " %lld/%lld", static_cast<long long>(current),
                                          static_cast<long long>(total));
    const int speedWidth = std::snprintf(nullptr, 0, " %.1lf KB/s", speed);
    // The last column stays free: a character there makes some consoles move
    // the cursor to the next line.
    const int limit = columns > 0 ? columns - 1 : INT_MAX;
    const auto room = [&](bool withSpeed) {
        return limit - kPictureFrame - countsWidth - (withSpeed ? speedWidth : 0);
    };
    int barColumns = std::min(kBarColumns, room(showSpeed));
    if (showSpeed && barColumns < kMinBarColumns) {
        showSpeed = false;
        barColumns = std::min(kBarColumns, room(false));
    }
    barColumns = std::max(barColumns, 0);

    const int bars = static_cast<int>(percent * static_cast<uint64_t>(barColumns) / 100);
    int length = 0;
    if (!showSpeed) {
        length = std::snprintf(out, outSize, "\r%3d%% [%.*s%*s] %lld/%lld", static_cast<int>(percent), bars, kBars,
                               barColumns - bars, "", static_cast<long long>(current),
                               static_cast<long long>(total));
    } else {
        length = std::snprintf(out, outSize, "\r%3d%% [%.*s%*s] %lld/%lld %.1lf KB/s", static_cast<int>(percent),
                               bars, kBars, barColumns - bars, "", static_cast<long long>(current),
                               static_cast<long long>(total), speed);
    }
    if (length < 0) {
        out[0] = '\0';
        return 0;
    }
    // Narrower than the counts: cut the picture at the screen's edge.
    length = std::min({length, limit == INT_MAX ? length : limit + 1, static_cast<int>(outSize) - 1});
    out[length] = '\0';
    return length;
}

void ProgressBar::Draw(uint64_t percent)
{
    bLineDrawn = true;
    bRedraw = true;
    // Off a terminal every picture stays in the output as a line of its own,
    // so only each new tenth is written: the boot protocol advances the bar
    // every 4 bytes.
    const bool terminal = ConsoleIsTerminal();
    if (!terminal) {
        const int step = static_cast<int>(percent / 10);
        if (step == lastStep) {
            return;
        }
        lastStep = step;
    }

    const int32_t elapsed =
        static_cast<int32_t>(static_cast<uint32_t>(g_clock()) - static_cast<uint32_t>(startClock));
    const bool complete = ullTotal != 0 && ullCurrent == ullTotal;
    const bool showSpeed = bShowSpeed && (elapsed >= kSpeedSettleMs || complete);

    char line[160];
    const int length =
        FormatPicture(line, sizeof(line), percent, ullCurrent, ullTotal, showSpeed, elapsed, ConsoleColumns());
    SetConsoleTextAttribute(47);
    std::fwrite(line, 1, static_cast<size_t>(length), stdout);
    SetConsoleTextAttribute(7);
    if (terminal) {
        // A shorter picture (a smaller speed figure, a narrower window) must
        // not leave the tail of the one before.
        ClearToLineEnd();
        bPictureOnLine = true;
    } else {
        std::fputs("\n", stdout);
    }
    std::fflush(stdout);
}

void ProgressBar::End()
{
    bRedraw = false;
    if (bPictureOnLine) {
        // The last picture stays on screen; what follows starts below it.
        std::fputs("\n", stdout);
        std::fflush(stdout);
        bPictureOnLine = false;
    }
}

void ProgressBar::ClearLine()
{
    bPictureOnLine = false;
    ClearConsoleLine();
    bLineDrawn = true;
}

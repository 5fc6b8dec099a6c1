// Progress line of the data phases, rewritten in place.
#pragma once

#include <cstddef>
#include <cstdint>

class ProgressBar {
public:
    static ProgressBar* GetInstance();

    void SetShowSpeed(bool show) { bShowSpeed = show; }
    void Start(uint64_t total);
    bool Plus(uint64_t count);
    uint64_t GetPercent(uint64_t current, uint64_t total);
    // The transfer is over: the last picture stays on its own line and is
    // not drawn again. Safe to call more than once.
    void End();
    bool IsLineDrawn() const { return bLineDrawn; }
    bool NeedRedraw() const { return bRedraw; }
    void ClearLine();

    // One transfer's bar: started here and ended on every way out of the
    // transfer, so that a failed transfer never leaves a bar that later
    // messages draw again.
    class Transfer {
    public:
        explicit Transfer(uint64_t total) { ProgressBar::GetInstance()->Start(total); }
        ~Transfer() { End(); }
        Transfer(const Transfer&) = delete;
        Transfer& operator=(const Transfer&) = delete;
        void Plus(uint64_t count) { ProgressBar::GetInstance()->Plus(count); }
        void End()
        {
            if (m_active) {
                m_active = false;
                ProgressBar::GetInstance()->End();
            }
        }

    private:
        bool m_active = true;
    };

    // Writes one picture of the line ("\r%3d%% [...] %lld/%lld", and the
    // speed when showSpeed) into out, fitted into columns - 1 screen columns
    // (0: no limit): the bar is shortened first, then the speed left out.
    // Returns the length written.
    static int FormatPicture(char* out, size_t outSize, uint64_t percent, uint64_t current, uint64_t total,
                             bool showSpeed, int32_t elapsedMs, int columns = 0);

    // Tests replace the millisecond clock the speed is measured with;
    // nullptr restores the real one.
    using ClockFunction = int32_t (*)();
    static void SetClockFunction(ClockFunction clock);

private:
    ProgressBar();
    void Draw(uint64_t percent);

    int32_t startClock = 0;
    uint64_t ullCurrent = 0;
    uint64_t ullTotal = 0;
    bool bLineDrawn = false;
    bool bRedraw = false;
    bool bShowSpeed = false;
    bool bInsideMessage = false;  // guards the redraw that follows our own messages
    int lastStep = -1;            // tenth of the last picture written off a terminal
    bool bPictureOnLine = false;  // a picture is the last output on the terminal line
};

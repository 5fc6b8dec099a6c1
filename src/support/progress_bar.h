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
    void End() { bRedraw = false; }
    bool IsLineDrawn() const { return bLineDrawn; }
    bool NeedRedraw() const { return bRedraw; }
    void ClearLine();

    // Writes one picture of the line ("\r%3d%% [...] %lld/%lld", with the
    // speed form when showSpeed) into out; returns the length as snprintf.
    static int FormatPicture(char* out, size_t outSize, uint64_t percent, uint64_t current,
                             uint64_t total, bool showSpeed, int32_t elapsedMs);

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
    int lastPercent = -1;         // percent of the last picture of this transfer
    bool bPictureOnLine = false;  // a picture is the last output on the line
};

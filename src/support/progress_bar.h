// Progress line of the data phases, rewritten in place.
#pragma once

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
};

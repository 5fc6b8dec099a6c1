#include <unistd.h>

#include <cstdio>

#include "support/console.h"

namespace {
int g_forceTerminal = -1;

// ANSI index of a Windows colour nibble: Windows has blue in bit 0 and red in
// bit 2, ANSI the other way round.
int AnsiColour(unsigned nibble)
{
    return ((nibble & 4u) ? 1 : 0) | ((nibble & 2u) ? 2 : 0) | ((nibble & 1u) ? 4 : 0);
}
}  // namespace

bool ConsoleIsTerminal()
{
    if (g_forceTerminal >= 0) {
        return g_forceTerminal == 1;
    }
    return isatty(fileno(stdout)) == 1;
}

void ConsoleForceTerminal(int mode)
{
    g_forceTerminal = mode < 0 ? -1 : (mode == 1 ? 1 : 0);
}

// Windows console attributes as SGR sequences: 7 (grey on black, the
// console's normal) resets to the terminal's own colours; a black background
// keeps the terminal's background.
void SetConsoleTextAttribute(uint16_t attribute)
{
    if (!ConsoleIsTerminal()) {
        return;
    }
    const unsigned fg = attribute & 0x0Fu;
    const unsigned bg = (attribute >> 4) & 0x0Fu;
    char seq[32];
    if (fg == 7 && bg == 0) {
        std::snprintf(seq, sizeof(seq), "\x1b[0m");
    } else {
        const int fgCode = ((fg & 8u) ? 90 : 30) + AnsiColour(fg);
        if (bg == 0) {
            std::snprintf(seq, sizeof(seq), "\x1b[0;%dm", fgCode);
        } else {
            const int bgCode = ((bg & 8u) ? 100 : 40) + AnsiColour(bg);
            std::snprintf(seq, sizeof(seq), "\x1b[0;%d;%dm", fgCode, bgCode);
        }
    }
    std::fputs(seq, stdout);
    std::fflush(stdout);
}

// A redirected log must not collect control bytes, so off a terminal nothing
// is printed.
void ClearConsoleLine()
{
    if (!ConsoleIsTerminal()) {
        return;
    }
    std::fputs("\x1b[2K\r", stdout);
    std::fflush(stdout);
}

// What both platforms share of the console: the ANSI form of the console
// attributes, the open-line mark and the switch that lets tests decide
// whether output is a terminal.
#include <cstdio>

#include "support/console.h"

namespace {
int g_forceTerminal = -1;
bool g_openLine = false;

// ANSI index of a Windows colour nibble: Windows has blue in bit 0 and red in
// bit 2, ANSI the other way round.
int AnsiColour(unsigned nibble)
{
    return ((nibble & 4u) ? 1 : 0) | ((nibble & 2u) ? 2 : 0) | ((nibble & 1u) ? 4 : 0);
}
}  // namespace

int ConsoleForcedTerminal()
{
    return g_forceTerminal;
}

void ConsoleMarkOpenLine()
{
    g_openLine = true;
}

bool ConsoleEndOpenLine()
{
    if (!g_openLine) {
        return false;
    }
    g_openLine = false;
    std::fputs("\n", stdout);
    return true;
}

void ConsoleForceTerminal(int mode)
{
    g_forceTerminal = mode < 0 ? -1 : (mode == 1 ? 1 : 0);
}

// 7 (grey on black, the console's normal) resets to the terminal's own
// colours; a black background keeps the terminal's background.
void WriteAnsiAttribute(uint16_t attribute)
{
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

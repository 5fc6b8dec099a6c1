// Console colours and line control on POSIX terminals: ANSI sequences, and
// nothing at all when output is redirected.
#include <unistd.h>

#include <cstdio>

#include "support/console.h"

bool ConsoleIsTerminal()
{
    if (ConsoleForcedTerminal() >= 0) {
        return ConsoleForcedTerminal() == 1;
    }
    return isatty(fileno(stdout)) == 1;
}

// Windows console attributes as SGR sequences.
void SetConsoleTextAttribute(uint16_t attribute)
{
    if (ConsoleIsTerminal()) {
        WriteAnsiAttribute(attribute);
    }
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

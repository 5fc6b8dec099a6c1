// Console colours and line control on POSIX terminals: ANSI sequences, and
// nothing at all when output is redirected.
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>
#include <initializer_list>

#include "support/console.h"
#include "support/stop_request.h"

namespace {

void OnStopSignal(int signalNumber)
{
    if (StopRequested()) {
        // Asked twice: the run did not stop in time, so end it now as the
        // signal's default would.
        signal(signalNumber, SIG_DFL);
        raise(signalNumber);
        return;
    }
    RequestStop(signalNumber);
}

}  // namespace

// No SA_RESTART: a wait blocked in poll returns EINTR and looks at the
// request. A signal that was ignored when the program started (nohup, a
// supervisor's choice) stays ignored.
void InstallStopHandlers()
{
    for (const int signalNumber : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction previous {};
        if (sigaction(signalNumber, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN) {
            continue;
        }
        struct sigaction action {};
        action.sa_handler = OnStopSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0;
        sigaction(signalNumber, &action, nullptr);
    }
}

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

void ClearToLineEnd()
{
    if (ConsoleIsTerminal()) {
        std::fputs("\x1b[K", stdout);
    }
}

int ConsoleColumns()
{
    winsize size{};
    if (ConsoleIsTerminal() && ioctl(fileno(stdout), TIOCGWINSZ, &size) == 0 && size.ws_col > 0) {
        return size.ws_col;
    }
    return kUnknownConsoleColumns;
}

// Console colours and line control on POSIX terminals: ANSI sequences, and
// nothing at all when output is redirected.
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <initializer_list>

#include "support/console.h"
#include "support/stop_request.h"

namespace {

void OnStopSignal(int signalNumber)
{
    if (StopRequested()) {
        // Asked twice: the run did not stop in time, so end it now as the
        // signal's default would, the data of a file being written kept as
        // its .partial (what reached the system; none: no file).
        const char* temporary = nullptr;
        const char* partial = nullptr;
        if (FileInProgress(&temporary, &partial)) {
            struct stat status {};
            if (stat(temporary, &status) == 0 && status.st_size == 0) {
                unlink(temporary);
            } else {
                rename(temporary, partial);
            }
        }
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

bool InputIsTerminal()
{
    return isatty(STDIN_FILENO) == 1;
}

// Byte by byte behind poll, so that no byte waits in a buffer the poll cannot
// see, and in slices, so that a stop request that came just before a wait
// began (and so interrupted nothing) still ends it.
bool ReadInputLine(std::string* line, size_t maxLength)
{
    constexpr int kStopSliceMs = 100;
    line->clear();
    for (;;) {
        if (StopRequested()) {
            return false;
        }
        pollfd pfd {STDIN_FILENO, POLLIN, 0};
        const int ready = poll(&pfd, 1, kStopSliceMs);
        if (ready == 0 || (ready < 0 && errno == EINTR)) {
            continue;
        }
        char c = 0;
        const ssize_t n = ready > 0 ? read(STDIN_FILENO, &c, 1) : -1;
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        if (c == '\n') {
            return true;
        }
        if (line->size() < maxLength) {
            line->push_back(c);
        }
    }
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

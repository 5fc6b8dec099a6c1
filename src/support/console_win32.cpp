// Console colours and line control on Windows. A real console gets its
// character attributes through the console API; output that is a terminal but
// no console (wine's Unix terminal, a forced test) gets the same ANSI
// sequences as on POSIX; pipes and files get plain text.
#include "support/win32_api.h"

#include <cstdio>

#include "support/console.h"
#include "support/stop_request.h"

namespace {

// Windows ends a process this long after a close, log-off or shut-down event
// reached it; the run gets most of it to set its files right.
constexpr DWORD kCloseGraceMs = 4500;

BOOL WINAPI OnConsoleControl(DWORD event)
{
    int signalNumber = 0;
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
        signalNumber = 2;
        break;
    case CTRL_CLOSE_EVENT:
        signalNumber = 1;
        break;
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        signalNumber = 15;
        break;
    default:
        return FALSE;
    }
    if (StopRequested() && signalNumber == 2) {
        // Asked twice: the default handler ends the process now.
        return FALSE;
    }
    RequestStop(signalNumber);
    if (signalNumber != 2) {
        // The process ends when this handler returns; the run's own thread
        // ends it sooner once it has stopped cleanly.
        Sleep(kCloseGraceMs);
    }
    return TRUE;
}

// The console behind standard output, or null when output goes elsewhere.
HANDLE ConsoleOutput(DWORD* mode)
{
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (out == nullptr || out == INVALID_HANDLE_VALUE) {
        return nullptr;
    }
    DWORD unused = 0;
    if (!GetConsoleMode(out, mode != nullptr ? mode : &unused)) {
        return nullptr;
    }
    return out;
}

}  // namespace

bool ConsoleIsTerminal()
{
    if (ConsoleForcedTerminal() >= 0) {
        return ConsoleForcedTerminal() == 1;
    }
    if (ConsoleOutput(nullptr) != nullptr) {
        return true;
    }
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    return out != nullptr && out != INVALID_HANDLE_VALUE && GetFileType(out) == FILE_TYPE_CHAR;
}

bool InputIsTerminal()
{
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    return in != nullptr && in != INVALID_HANDLE_VALUE && GetConsoleMode(in, &mode) != 0;
}

// A console read in line mode ends when Ctrl+C or Ctrl+Break is pressed, so
// the plain C run-time read sees a stop request in time.
bool ReadInputLine(std::string* line, size_t maxLength)
{
    line->clear();
    for (;;) {
        const int c = std::fgetc(stdin);
        if (StopRequested() || c == EOF) {
            return false;
        }
        if (c == '\n') {
            return true;
        }
        if (line->size() < maxLength) {
            line->push_back(static_cast<char>(c));
        }
    }
}

// Overloads the console API's two-argument SetConsoleTextAttribute by arity.
void SetConsoleTextAttribute(uint16_t attribute)
{
    if (!ConsoleIsTerminal()) {
        return;
    }
    if (HANDLE console = ConsoleOutput(nullptr)) {
        // Text already buffered must come out in the colour it was printed in.
        std::fflush(stdout);
        ::SetConsoleTextAttribute(console, attribute);
        return;
    }
    WriteAnsiAttribute(attribute);
}

void ClearConsoleLine()
{
    if (!ConsoleIsTerminal()) {
        return;
    }
    DWORD mode = 0;
    HANDLE console = ConsoleOutput(&mode);
    if (console == nullptr) {
        std::fputs("\x1b[2K\r", stdout);
        std::fflush(stdout);
        return;
    }
    // A console without virtual-terminal processing would show the escape
    // sequence as text; the fill below blanks the line there.
    std::fputs((mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) ? "\x1b[2K\r" : "\r", stdout);
    std::fflush(stdout);

    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (!GetConsoleScreenBufferInfo(console, &info)) {
        return;
    }
    COORD lineStart{0, info.dwCursorPosition.Y};
    DWORD written = 0;
    const DWORD cells = info.dwSize.X > 0 ? static_cast<DWORD>(info.dwSize.X) : 0;
    FillConsoleOutputAttribute(console, info.wAttributes, cells, lineStart, &written);
    FillConsoleOutputCharacterA(console, ' ', cells, lineStart, &written);
    SetConsoleCursorPosition(console, lineStart);
}

void ClearToLineEnd()
{
    if (!ConsoleIsTerminal()) {
        return;
    }
    HANDLE console = ConsoleOutput(nullptr);
    if (console == nullptr) {
        std::fputs("\x1b[K", stdout);
        return;
    }
    // What is buffered must reach the console before the cursor is read.
    std::fflush(stdout);
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (!GetConsoleScreenBufferInfo(console, &info) || info.dwCursorPosition.X >= info.dwSize.X) {
        return;
    }
    const DWORD cells = static_cast<DWORD>(info.dwSize.X - info.dwCursorPosition.X);
    DWORD written = 0;
    FillConsoleOutputAttribute(console, info.wAttributes, cells, info.dwCursorPosition, &written);
    FillConsoleOutputCharacterA(console, ' ', cells, info.dwCursorPosition, &written);
}

// The visible window, not the buffer: a buffer wider than the window scrolls
// sideways, and a line must fit what the user sees.
int ConsoleColumns()
{
    HANDLE console = ConsoleIsTerminal() ? ConsoleOutput(nullptr) : nullptr;
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (console != nullptr && GetConsoleScreenBufferInfo(console, &info)) {
        const int columns = info.srWindow.Right - info.srWindow.Left + 1;
        if (columns > 0) {
            return columns;
        }
    }
    return kUnknownConsoleColumns;
}

void InstallStopHandlers()
{
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

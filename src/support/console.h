// Console text attributes and line control. The platform files
// (console_posix.cpp, console_win32.cpp) implement these.
//
// Attributes are Windows console character attributes (foreground bits:
// 1 blue, 2 green, 4 red, 8 intensity; background in the high nibble):
// 7 normal grey, 9 bright blue, 10 bright green, 12 bright red, 3 cyan,
// 5 magenta, 47 bright white on green (the progress bar).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Sets the colour of the following console output. On POSIX this prints the
// matching ANSI SGR sequence, only when standard output is a terminal, so that
// redirected output carries plain text.
void SetConsoleTextAttribute(uint16_t attribute);

// Blanks the console line under the cursor and returns the cursor to column 0.
void ClearConsoleLine();

// Blanks the console line from the cursor to its end; the cursor stays.
void ClearToLineEnd();

// Width of the terminal behind standard output in columns;
// kUnknownConsoleColumns when output is no terminal or its width cannot be
// told.
constexpr int kUnknownConsoleColumns = 80;
int ConsoleColumns();

// Marks console output printed without a final line feed that the next
// message must not overwrite or join (the boot handshake's retry count).
void ConsoleMarkOpenLine();
// Ends a line marked open with a line feed; false when none was open.
bool ConsoleEndOpenLine();

// True when standard output is an interactive console (colours are shown).
bool ConsoleIsTerminal();

// True when standard input is an interactive console (what is typed there
// is echoed).
bool InputIsTerminal();

// Reads one line from standard input into *line (without its line end,
// keeping at most maxLength characters). True when a line end came; false
// at the end of input, or when the run was asked to stop while it waited
// (support/stop_request.h).
bool ReadInputLine(std::string* line, size_t maxLength);

// Tests force the terminal decision (1 = terminal, 0 = not, -1 = detect).
void ConsoleForceTerminal(int mode);
// The forced decision, or -1 when the platform detects it.
int ConsoleForcedTerminal();

// Prints the ANSI SGR sequence of a console attribute (shared by the
// platforms for terminals that are not a Windows console).
void WriteAnsiAttribute(uint16_t attribute);

// The operating-system calls of the Win32 serial port, reached through one
// table so that tests can stand in for a device (wine has none to offer
// without a pseudo-terminal) and put failures where a real driver gives them.
// The program itself never changes the table.
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

struct SerialOsCalls {
    decltype(&::CreateFileA) createFile;
    decltype(&::CloseHandle) closeHandle;
    decltype(&::PurgeComm) purgeComm;
    decltype(&::GetCommState) getCommState;
    decltype(&::SetCommState) setCommState;
    decltype(&::GetCommTimeouts) getCommTimeouts;
    decltype(&::SetCommTimeouts) setCommTimeouts;
    decltype(&::ClearCommError) clearCommError;
    decltype(&::ReadFile) readFile;
    decltype(&::WriteFile) writeFile;
};

// The real calls (defined by the platform's serial port file).
extern const SerialOsCalls kRealSerialOsCalls;

// The calls in use.
inline SerialOsCalls& SerialOs()
{
    static SerialOsCalls calls = kRealSerialOsCalls;
    return calls;
}
// The real calls, for a replacement that passes most calls through.
inline const SerialOsCalls& RealSerialOs()
{
    return kRealSerialOsCalls;
}

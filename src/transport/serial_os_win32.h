// The operating-system calls of the Win32 serial port, reached through one
// table so that tests can stand in for a device (wine has none to offer
// without a pseudo-terminal) and put failures where a real driver gives them.
// The program itself never changes the table.
#pragma once

#include "support/win32_api.h"

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

// SerialOs() and RealSerialOs() over this platform's table.
#include "transport/serial_os_table.h"

// The Win32 API as the Windows files of this program include it: without the
// min/max macros (they break std::min) and the rarely used parts of
// windows.h; and the system's text for an error code.
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <string>

// The system's message for a Win32 error code without the line end it comes
// with (and, with dropFullStop, without its full stop); "system error N"
// when the system has none.
std::string Win32ErrorText(DWORD error, bool dropFullStop);

// The serial port's table of operating-system calls, the same on every
// platform: serial_os_posix.h and serial_os_win32.h each declare their
// SerialOsCalls and then include this.
#pragma once

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

// The Win32 device state of CSerialPort, shared by the two files that work
// on it: serial_port_win32.cpp (open, line settings, time-outs) and
// serial_io_win32.cpp (the reads, writes and waits).
#pragma once

#include "transport/serial_os_win32.h"
#include "transport/serial_port_impl.h"

struct CSerialPort::Impl::Device {
    HANDLE hComm = nullptr;
    DCB dcb {};
    COMMTIMEOUTS timeouts {};
};

constexpr DWORD kAbortedError = 995;  // ERROR_OPERATION_ABORTED, raised by fAbortOnError

// Errors after which the device will not come back: the adapter was
// unplugged or the driver dropped the handle. ERROR_OPERATION_ABORTED is
// what fAbortOnError gives every call after a line error until
// ClearCommError has cleared it.
SerialFailure KindOfError(DWORD error);

// Impl::Fail with the error number of a Win32 call.
inline bool RecordFailure(CSerialPort::Impl& im, SerialFailure kind, DWORD error)
{
    return im.Fail(kind, static_cast<int>(error));
}

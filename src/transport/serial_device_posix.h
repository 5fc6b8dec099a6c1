// The POSIX device state of CSerialPort, shared by the two files that work on
// it: serial_port_posix.cpp (open, line settings, time-outs) and
// serial_io_posix.cpp (the reads, writes and waits).
#pragma once

#include <termios.h>

#include <chrono>
#include <cstdint>

#include "transport/serial_port_impl.h"

struct CSerialPort::Impl::Device {
    int fd = -1;
    termios line {};  // the settings read by ReadLineSettings
    uint32_t readInterval = 0;
    uint32_t readTotalMultiplier = 0;
    uint32_t readTotalConstant = 0;
    uint32_t writeTotalMultiplier = 0;
    uint32_t writeTotalConstant = 0;
    bool countsWork = true;  // the driver keeps line error counts
};

// Errors after which the device will not come back: the line hung up, the
// adapter was unplugged, the descriptor is no longer valid. Any other error
// is of no known kind.
SerialFailure KindOfErrno(int err);

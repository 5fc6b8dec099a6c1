// The serial link to the target board. One file per platform implements it:
// serial_port_posix.cpp (termios, poll) and serial_port_win32.cpp (Win32 comm).
//
// The read and write time-outs follow the COMMTIMEOUTS rules: with the three
// read values all 0 a read waits for the full count; otherwise it ends when
// the count is complete, when the gap between two bytes exceeds the interval,
// or when multiplier x count + constant ms have passed, and still succeeds
// with what arrived (possibly nothing). Writes get multiplier x count +
// constant, no limit when both are 0.
//
// Every failing operating-system call is sorted once, here, into one of the
// kinds below; the callers act on the kind, never on error numbers.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

enum class SerialFailure {
    kNone,       // the last call worked
    kGone,       // hang-up, device removed: nothing will pass any more
    kLineError,  // framing, overrun, parity or break: the bytes of this read are damaged, the line still works
    kStopped,    // a stop was requested while the call waited (nothing is printed)
    kOther,      // any other error, still there after three more tries: the port fails for good
};

// ReadFull's silence bound for the waits that have none (the board finishing
// a low format): only a line that is gone or a stop request ends them.
inline constexpr uint64_t kWaitWithoutBound = UINT64_MAX;

class CSerialPort {
public:
    CSerialPort();
    // Releases the device (and its exclusive use).
    virtual ~CSerialPort();
    CSerialPort(const CSerialPort&) = delete;
    CSerialPort& operator=(const CSerialPort&) = delete;

    // Opens the device exclusively for reading and writing (access 0),
    // checks that it is a serial line and discards whatever both directions
    // held. A device that is no serial line (a regular file, /dev/null) or
    // that another program holds is refused with the reason.
    bool OpenPort(const char* name, uint32_t access = 0);
    bool ConfigurePortA(uint32_t baudRate, uint8_t byteSize, uint8_t parityCheck, uint8_t parity,
                        uint8_t stopBits);
    bool SetCommunicationTimeouts(uint32_t readInterval, uint32_t readTotalMultiplier,
                                  uint32_t readTotalConstant, uint32_t writeTotalMultiplier,
                                  uint32_t writeTotalConstant);
    // Writes under the write time-outs; when they run out first, a short
    // write is a success with the smaller count.
    bool SendData(const void* buf, uint32_t size, uint32_t* ulReadSize);
    // Waits for input (poll count 0: until a byte is queued; n: at most n ms),
    // then one read under the read time-outs. True when the read call worked,
    // whatever the count.
    bool ReadDataTimeout(void* pBuf, uint32_t size, uint32_t* ulReadSize, uint32_t pollCount = 0);
    // Echoes up to count bytes of pending input to standard output, raw.
    bool ReadTreshData(uint32_t count);

    // Reads exactly size bytes unless the line stays silent for silenceMs
    // (true, *ulReadSize < size) or the call fails (false; LastFailure says
    // why). kWaitWithoutBound waits until the bytes come, the line is gone
    // or a stop is requested. The waits for the board's answers use it.
    bool ReadFull(void* pBuf, uint32_t size, uint32_t* ulReadSize, uint64_t silenceMs);

    // Device name of a port number: "\\.\COM%d" on Windows, /dev/ttyS<n-1>
    // on POSIX (COM1 is ttyS0).
    static std::string DeviceNameForPort(uint32_t port);
    // Device name of a port given as text: on POSIX a path (any text with a
    // '/') is used as it is; on Windows "COM12" or "\\.\COM12". Empty when
    // the text names no device.
    static std::string DeviceNameForText(const char* text);

    bool IsOpen() const;
    // The device is gone (hang-up, I/O error): no later transfer can succeed.
    bool IsGone() const;
    // Open, not gone, not failing for good, and no stop requested: a
    // transfer is worth trying.
    bool IsUsable() const;
    // The kind of the last failed call; kNone after a call that worked.
    SerialFailure LastFailure() const;
    // The last operating-system error number seen by a failed call.
    int LastError() const;
    // The operating system's text for LastError().
    std::string LastErrorText() const;

    // What stands behind the port, defined in serial_port_impl.h for the
    // files that implement it (named here so that their helpers can take it).
    struct Impl;

private:
    std::unique_ptr<Impl> m_impl;
};

// The operating-system side of CSerialPort. serial_port.cpp holds the
// operations themselves (argument checks, messages, which failure closes the
// port); serial_port_posix.cpp and serial_port_win32.cpp each define the
// members below, with their device state in Impl::Device.
//
// Every call that returns false has set LastError() (and IsGone() when the
// device will not come back) and leaves the messages to the caller.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "transport/serial_port.h"

// The access bits of OpenPort, with the values of Win32's GENERIC_READ and
// GENERIC_WRITE.
constexpr uint32_t kSerialAccessRead = 0x80000000u;
constexpr uint32_t kSerialAccessWrite = 0x40000000u;

struct CSerialPort::Impl {
    Impl();
    // Closes the device.
    ~Impl();
    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;

    bool IsOpen() const;
    bool IsGone() const;
    int LastError() const;
    // Text of an error number, for the "Reason : %s" line.
    std::string ErrorText(int error) const;

    // Closes what is open, forgets earlier errors, opens name exclusively
    // and discards what both directions held.
    bool Open(const char* name, uint32_t access);
    // Does nothing when nothing is open.
    void Close();

    // Reads the line settings in force, then replaces them.
    bool ReadLineSettings();
    bool ApplyLineSettings(uint32_t baudRate, uint8_t byteSize, uint8_t parityCheck, uint8_t parity,
                           uint8_t stopBits);
    // Reads the time-outs in force, then replaces them.
    bool ReadTimeouts();
    bool ApplyTimeouts(uint32_t readInterval, uint32_t readTotalMultiplier, uint32_t readTotalConstant,
                       uint32_t writeTotalMultiplier, uint32_t writeTotalConstant);

    // Writes under the write time-outs; *written holds what went out, also
    // on failure.
    bool Write(const void* buf, uint32_t size, uint32_t* written);
    // Waits for input: poll count 0 until a byte is queued, n about n ms.
    bool WaitForInput(uint32_t pollCount);
    // One read under the read time-outs; *got holds what arrived, also on
    // failure.
    bool Read(void* buf, uint32_t size, uint32_t* got);
    // Reads size bytes unless the line stays silent for silenceMs.
    bool ReadUntilSilence(void* buf, uint32_t size, uint32_t* got, uint32_t silenceMs);
    // One byte of pending input under the read time-outs (*got 0 or 1).
    bool DrainRead(uint8_t* byte, uint32_t* got);

    struct Device;
    std::unique_ptr<Device> device;
};

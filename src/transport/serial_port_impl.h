// The operating-system side of CSerialPort. serial_port.cpp holds the
// operations themselves (argument checks, messages, which failure closes the
// port) and the failure record below; serial_port_posix.cpp and
// serial_port_win32.cpp each define the device members, with their device
// state in Impl::Device.
//
// Every device call that returns false has recorded its failure with Fail
// (kind and error number) and leaves the messages to the caller.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>

#include "transport/serial_port.h"

// The access bits of OpenPort, with the values of Win32's GENERIC_READ and
// GENERIC_WRITE.
constexpr uint32_t kSerialAccessRead = 0x80000000u;
constexpr uint32_t kSerialAccessWrite = 0x40000000u;

// The longest a wait of the port sleeps before it looks at a stop request
// again.
constexpr int kStopCheckSliceMs = 100;

// After a line error the rest of a damaged frame is taken in until the line
// has been quiet this long; the board is then waiting for the host's answer.
constexpr uint64_t kLineErrorSettleMs = 100;

// Tries of one operating-system call that failed with an error of no known
// kind (kOther): the first failure and at most three more tries, a short
// pause apart, then the call fails for good.
class OtherErrorTries {
public:
    // True when the call may be tried again (after the pause); false once
    // the tries are used up or a stop was requested.
    bool Again();

private:
    int m_tries = 0;
};

struct CSerialPort::Impl {
    Impl();
    // Closes the device.
    ~Impl();
    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;

    // --- failure record (serial_port.cpp) ---
    // Records a failed call and returns false. kGone and kOther (after its
    // tries) are final: every later transfer fails at once, without calling
    // the device. An error of no known kind that ends a call because a stop
    // was requested counts as the stop.
    bool Fail(SerialFailure kind, int error);
    // A call worked: the next failure is a new one.
    void Succeeded();
    // The failure that ends every later transfer at once (gone, failing for
    // good), recorded again for the call being refused; false when there is
    // none.
    bool RefuseFinal();
    bool IsUsable() const;
    // The guard of every operation: the port is open and the pointers the
    // call needs are given; prints what is missing behind tag.
    struct Given {
        const void* pointer;
        const char* name;
    };
    bool Ready(const char* tag, std::initializer_list<Given> needed = {}) const;
    // False when this failure of op was printed often enough in a row.
    bool ShouldReport(const char* op);
    // The messages of a failed call: the error number, the operation's own
    // line ("Failed read data(2 / 24)") and the system's reason.
    void ReportFailure(const char* tag, const char* failedLine);
    // The same for a failed read; stops and line errors print nothing.
    void ReportReadFailure(const char* op, const char* tag, uint32_t got, uint32_t size);

    SerialFailure failure = SerialFailure::kNone;
    int lastError = 0;
    bool gone = false;
    bool broken = false;  // an error of no known kind outlasted its tries
    std::string reportedOp;
    int reportedError = 0;
    int reportCount = 0;

    // --- device (serial_port_posix.cpp / serial_port_win32.cpp) ---
    bool IsOpen() const;
    // Text of an error number, for the "Reason : %s" line.
    std::string ErrorText(int error) const;

    // Closes what is open, opens name exclusively, checks that it is a
    // serial line and discards what both directions held. A refused open
    // sets lastError only.
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
    // Reads size bytes unless the line stays silent for silenceMs
    // (kWaitWithoutBound: no bound). A line error during the read fails it
    // with kLineError once the rest of the damaged bytes has come.
    bool ReadUntilSilence(void* buf, uint32_t size, uint32_t* got, uint64_t silenceMs);
    // One byte of pending input under the read time-outs (*got 0 or 1).
    bool DrainRead(uint8_t* byte, uint32_t* got);

    // The platform's state of the open device: plain data, which the
    // platform file's members above work on.
    struct Device;
    std::unique_ptr<Device> device;
};

// The device side of CSerialPort on the Win32 communications API: one
// synchronous handle, the DCB line settings (read back after they are set)
// and the COMMTIMEOUTS read and write limits. The reads, writes and waits are
// in serial_io_win32.cpp.
#include "transport/serial_device_win32.h"

#include <mmsystem.h>

#include <cctype>
#include <cstdio>
#include <cstring>

namespace {

using Impl = CSerialPort::Impl;

static_assert(kSerialAccessRead == GENERIC_READ && kSerialAccessWrite == GENERIC_WRITE);

// Sleep(1) sleeps a whole scheduler tick (often 15.6 ms) unless the timer
// resolution is raised; the input-queue polls rely on 1 ms pauses.
void UseMillisecondTimer()
{
    static const bool raised = (timeBeginPeriod(1) == TIMERR_NOERROR);
    (void)raised;
}

// A Win32 call that returns a BOOL, tried again a few times after an error
// of no known kind.
template <class Call>
bool Retried(Impl& im, Call call)
{
    OtherErrorTries tries;
    for (;;) {
        if (call()) {
            return true;
        }
        const DWORD error = GetLastError();
        const SerialFailure kind = KindOfError(error);
        if (kind != SerialFailure::kGone && tries.Again()) {
            continue;
        }
        return RecordFailure(im, kind == SerialFailure::kGone ? kind : SerialFailure::kOther, error);
    }
}

}  // namespace

const SerialOsCalls kRealSerialOsCalls = {
    ::CreateFileA,     ::CloseHandle,     ::PurgeComm,      ::GetCommState, ::SetCommState,
    ::GetCommTimeouts, ::SetCommTimeouts, ::ClearCommError, ::ReadFile,     ::WriteFile,
};

SerialFailure KindOfError(DWORD error)
{
    switch (error) {
    case ERROR_INVALID_HANDLE:
    case ERROR_ACCESS_DENIED:
    case ERROR_BAD_COMMAND:
    case ERROR_GEN_FAILURE:
    case ERROR_NOT_READY:
    case ERROR_DEVICE_REMOVED:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_DEV_NOT_EXIST:
    case ERROR_FILE_NOT_FOUND:
    case ERROR_BROKEN_PIPE:
        return SerialFailure::kGone;
    case kAbortedError:
        return SerialFailure::kLineError;
    default:
        return SerialFailure::kOther;
    }
}

CSerialPort::Impl::Impl() : device(std::make_unique<Device>()) {}

CSerialPort::Impl::~Impl()
{
    Close();
}

bool CSerialPort::Impl::IsOpen() const
{
    return device->hComm != nullptr && device->hComm != INVALID_HANDLE_VALUE;
}

std::string CSerialPort::Impl::ErrorText(int error) const
{
    return Win32ErrorText(static_cast<DWORD>(error), false);
}

bool CSerialPort::Impl::Open(const char* name, uint32_t access)
{
    Device& d = *device;
    const SerialOsCalls& os = SerialOs();
    Close();
    d.hComm = os.createFile(name, access, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    const DWORD openError = GetLastError();
    // Drops whatever a previous user of the port left in either direction.
    os.purgeComm(d.hComm, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
    if (d.hComm == INVALID_HANDLE_VALUE) {
        lastError = static_cast<int>(openError);
        d.hComm = nullptr;
        return false;
    }
    // A file or another device opens fine but has no line settings.
    DCB state {};
    state.DCBlength = sizeof(state);
    if (!os.getCommState(d.hComm, &state)) {
        lastError = static_cast<int>(GetLastError());
        os.closeHandle(d.hComm);
        d.hComm = nullptr;
        return false;
    }
    UseMillisecondTimer();
    return true;
}

void CSerialPort::Impl::Close()
{
    Device& d = *device;
    if (IsOpen()) {
        SerialOs().closeHandle(d.hComm);
        d.hComm = nullptr;
    }
}

bool CSerialPort::Impl::ReadLineSettings()
{
    Device& d = *device;
    if (RefuseFinal()) {
        return false;
    }
    d.dcb = DCB {};
    d.dcb.DCBlength = sizeof(d.dcb);
    return Retried(*this, [&d] { return SerialOs().getCommState(d.hComm, &d.dcb); });
}

bool CSerialPort::Impl::ApplyLineSettings(uint32_t baudRate, uint8_t byteSize, uint8_t parityCheck, uint8_t parity,
                                          uint8_t stopBits)
{
    Device& d = *device;
    DCB& dcb = d.dcb;
    dcb.DCBlength = sizeof(dcb);
    dcb.BaudRate = baudRate;
    dcb.ByteSize = byteSize;
    dcb.Parity = parity;
    dcb.StopBits = stopBits;
    dcb.fBinary = 1;
    dcb.fParity = parityCheck & 1;
    dcb.fOutxCtsFlow = 0;
    dcb.fOutxDsrFlow = 0;
    dcb.fDtrControl = DTR_CONTROL_DISABLE;
    dcb.fDsrSensitivity = 0;
    dcb.fOutX = 0;
    dcb.fInX = 0;
    dcb.fNull = 0;
    dcb.fRtsControl = RTS_CONTROL_DISABLE;
    // A line error stops transfers until ClearCommError; the transfers clear
    // it and treat the bytes of that read as damaged.
    dcb.fAbortOnError = 1;
    if (!Retried(*this, [&d] { return SerialOs().setCommState(d.hComm, &d.dcb); })) {
        return false;
    }
    // A driver may take the call and keep a speed it cannot do: read back.
    DCB check {};
    check.DCBlength = sizeof(check);
    if (!Retried(*this, [&d, &check] { return SerialOs().getCommState(d.hComm, &check); })) {
        return false;
    }
    if (check.BaudRate != baudRate || check.ByteSize != byteSize || check.Parity != parity ||
        check.StopBits != stopBits) {
        return RecordFailure(*this, SerialFailure::kOther, ERROR_INVALID_PARAMETER);
    }
    return true;
}

bool CSerialPort::Impl::ReadTimeouts()
{
    Device& d = *device;
    if (RefuseFinal()) {
        return false;
    }
    return Retried(*this, [&d] { return SerialOs().getCommTimeouts(d.hComm, &d.timeouts); });
}

bool CSerialPort::Impl::ApplyTimeouts(uint32_t readInterval, uint32_t readTotalMultiplier,
                                      uint32_t readTotalConstant, uint32_t writeTotalMultiplier,
                                      uint32_t writeTotalConstant)
{
    Device& d = *device;
    COMMTIMEOUTS& timeouts = d.timeouts;
    timeouts.ReadIntervalTimeout = readInterval;
    timeouts.ReadTotalTimeoutMultiplier = readTotalMultiplier;
    timeouts.ReadTotalTimeoutConstant = readTotalConstant;
    timeouts.WriteTotalTimeoutMultiplier = writeTotalMultiplier;
    timeouts.WriteTotalTimeoutConstant = writeTotalConstant;
    return Retried(*this, [&d] { return SerialOs().setCommTimeouts(d.hComm, &d.timeouts); });
}

std::string CSerialPort::DeviceNameForPort(uint32_t port)
{
    char name[32];
    std::snprintf(name, sizeof(name), "\\\\.\\COM%lu", static_cast<unsigned long>(port));
    return name;
}

std::string CSerialPort::DeviceNameForText(const char* text)
{
    if (text == nullptr) {
        return "";
    }
    if (std::strncmp(text, "\\\\.\\", 4) == 0) {
        text += 4;
    }
    if (std::toupper(static_cast<unsigned char>(text[0])) != 'C' ||
        std::toupper(static_cast<unsigned char>(text[1])) != 'O' ||
        std::toupper(static_cast<unsigned char>(text[2])) != 'M') {
        return "";
    }
    const char* digits = text + 3;
    size_t count = std::strlen(digits);
    // Port numbers from 1 to 4294967295, written without leading zeros.
    if (count == 0 || count > 10 || digits[0] == '0') {
        return "";
    }
    unsigned long long port = 0;
    for (size_t i = 0; i < count; ++i) {
        if (!std::isdigit(static_cast<unsigned char>(digits[i]))) {
            return "";
        }
        port = port * 10 + static_cast<unsigned>(digits[i] - '0');
    }
    if (port > 0xFFFFFFFFull) {
        return "";
    }
    return DeviceNameForPort(static_cast<uint32_t>(port));
}

// The device side of CSerialPort on the Win32 communications API: one
// synchronous handle, the DCB line settings and the COMMTIMEOUTS read and
// write limits.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <mmsystem.h>

#include "support/stop_request.h"
#include "transport/serial_port_impl.h"

#include <cctype>
#include <cstdio>
#include <cstring>

namespace {

constexpr DWORD kAbortedError = 995;  // ERROR_OPERATION_ABORTED, raised by fAbortOnError

static_assert(kSerialAccessRead == GENERIC_READ && kSerialAccessWrite == GENERIC_WRITE);

// Sleep(1) sleeps a whole scheduler tick (often 15.6 ms) unless the timer
// resolution is raised; the input-queue polls rely on 1 ms pauses.
void UseMillisecondTimer()
{
    static const bool raised = (timeBeginPeriod(1) == TIMERR_NOERROR);
    (void)raised;
}

// Errors after which the device will not come back: the adapter was
// unplugged or the driver dropped the handle.
bool IsDeviceLostError(DWORD error)
{
    switch (error) {
    case ERROR_INVALID_HANDLE:
    case ERROR_ACCESS_DENIED:
    case ERROR_BAD_COMMAND:
    case ERROR_GEN_FAILURE:
    case ERROR_NOT_READY:
    case ERROR_DEVICE_REMOVED:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_FILE_NOT_FOUND:
    case ERROR_BROKEN_PIPE:
        return true;
    default:
        return false;
    }
}

std::string SystemErrorText(DWORD error)
{
    char text[256] = {};
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                  error, 0, text, sizeof(text), nullptr);
    while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r' || text[length - 1] == ' ')) {
        text[--length] = '\0';
    }
    if (length == 0) {
        std::snprintf(text, sizeof(text), "system error %lu", static_cast<unsigned long>(error));
    }
    return text;
}

}  // namespace

struct CSerialPort::Impl::Device {
    HANDLE hComm = nullptr;
    DCB dcb{};
    COMMTIMEOUTS timeouts{};
    bool gone = false;
    DWORD lastError = 0;

    bool IsOpen() const { return hComm != nullptr && hComm != INVALID_HANDLE_VALUE; }

    DWORD TakeError()
    {
        lastError = GetLastError();
        if (IsDeviceLostError(lastError)) {
            gone = true;
        }
        return lastError;
    }

    // A line error stops transfers until it is cleared.
    void ClearAfterAbort()
    {
        if (lastError == kAbortedError) {
            DWORD errors = 0;
            ClearCommError(hComm, &errors, nullptr);
        }
    }

    // Queued input count; false when the device no longer answers.
    bool QueuedBytes(DWORD* queued)
    {
        DWORD errors = 0;
        COMSTAT status{};
        if (!ClearCommError(hComm, &errors, &status)) {
            TakeError();
            *queued = 0;
            return false;
        }
        *queued = status.cbInQue;
        return true;
    }
};

CSerialPort::Impl::Impl() : device(std::make_unique<Device>()) {}

CSerialPort::Impl::~Impl()
{
    Close();
}

bool CSerialPort::Impl::IsOpen() const
{
    return device->IsOpen();
}

bool CSerialPort::Impl::IsGone() const
{
    return device->gone;
}

int CSerialPort::Impl::LastError() const
{
    return static_cast<int>(device->lastError);
}

std::string CSerialPort::Impl::ErrorText(int error) const
{
    return SystemErrorText(static_cast<DWORD>(error));
}

bool CSerialPort::Impl::Open(const char* name, uint32_t access)
{
    Device& d = *device;
    Close();
    d.gone = false;
    d.lastError = 0;
    d.hComm = CreateFileA(name, access, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    const DWORD openError = GetLastError();
    // Drops whatever a previous user of the port left in either direction.
    PurgeComm(d.hComm, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
    if (d.hComm == INVALID_HANDLE_VALUE) {
        d.lastError = openError;
        d.hComm = nullptr;
        return false;
    }
    UseMillisecondTimer();
    return true;
}

void CSerialPort::Impl::Close()
{
    Device& d = *device;
    if (d.IsOpen()) {
        CloseHandle(d.hComm);
        d.hComm = nullptr;
    }
}

bool CSerialPort::Impl::ReadLineSettings()
{
    Device& d = *device;
    if (!GetCommState(d.hComm, &d.dcb)) {
        d.TakeError();
        return false;
    }
    return true;
}

bool CSerialPort::Impl::ApplyLineSettings(uint32_t baudRate, uint8_t byteSize, uint8_t parityCheck, uint8_t parity,
                                          uint8_t stopBits)
{
    Device& d = *device;
    DCB& dcb = d.dcb;
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
    // it after error 995.
    dcb.fAbortOnError = 1;
    if (!SetCommState(d.hComm, &dcb)) {
        d.TakeError();
        return false;
    }
    return true;
}

bool CSerialPort::Impl::ReadTimeouts()
{
    Device& d = *device;
    if (!GetCommTimeouts(d.hComm, &d.timeouts)) {
        d.TakeError();
        return false;
    }
    return true;
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
    if (!SetCommTimeouts(d.hComm, &timeouts)) {
        d.TakeError();
        return false;
    }
    return true;
}

bool CSerialPort::Impl::Write(const void* buf, uint32_t size, uint32_t* written)
{
    Device& d = *device;
    DWORD count = 0;
    const BOOL ok = WriteFile(d.hComm, buf, size, &count, nullptr);
    *written = count;
    if (!ok) {
        d.TakeError();
        d.ClearAfterAbort();
        return false;
    }
    return true;
}

// Each query of the input queue (which also clears a pending line error) is
// followed by a 1 ms pause, so a silent target costs no processor time; a
// poll count of n gives up after n.
bool CSerialPort::Impl::WaitForInput(uint32_t pollCount)
{
    Device& d = *device;
    DWORD queued = 0;
    while (queued == 0) {
        // A stopped run waits no longer: the call fails, and the caller
        // prints nothing for it.
        if (StopRequested()) {
            d.lastError = kAbortedError;
            return false;
        }
        if (!d.QueuedBytes(&queued)) {
            return false;
        }
        if (pollCount > 0) {
            Sleep(1);
            if (--pollCount == 0) {
                break;
            }
        } else if (queued == 0) {
            Sleep(1);
        }
    }
    return true;
}

bool CSerialPort::Impl::Read(void* buf, uint32_t size, uint32_t* got)
{
    Device& d = *device;
    DWORD received = 0;
    const BOOL ok = ReadFile(d.hComm, buf, size, &received, nullptr);
    *got = received;
    if (!ok) {
        d.TakeError();
        d.ClearAfterAbort();
        return false;
    }
    return true;
}

// Reads only what the input queue already holds, so each ReadFile returns at
// once whatever time-outs are in force; the silence is measured here.
bool CSerialPort::Impl::ReadUntilSilence(void* buf, uint32_t size, uint32_t* got, uint32_t silenceMs)
{
    Device& d = *device;
    auto* out = static_cast<unsigned char*>(buf);
    DWORD done = 0;
    ULONGLONG lastInput = GetTickCount64();
    *got = 0;
    while (done < size) {
        if (StopRequested()) {
            *got = done;
            d.lastError = kAbortedError;
            return false;
        }
        DWORD queued = 0;
        bool ok = d.QueuedBytes(&queued);
        DWORD received = 0;
        if (ok && queued > 0) {
            DWORD want = queued < size - done ? queued : size - done;
            ok = ReadFile(d.hComm, out + done, want, &received, nullptr) != 0;
            if (!ok) {
                d.TakeError();
            }
        }
        if (!ok) {
            *got = done;
            d.ClearAfterAbort();
            return false;
        }
        if (received > 0) {
            done += received;
            lastInput = GetTickCount64();
            continue;
        }
        if (GetTickCount64() - lastInput >= silenceMs) {
            break;
        }
        Sleep(1);
    }
    *got = done;
    return true;
}

bool CSerialPort::Impl::DrainRead(uint8_t* byte, uint32_t* got)
{
    Device& d = *device;
    DWORD errors = 0;
    COMSTAT status{};
    ClearCommError(d.hComm, &errors, &status);
    DWORD received = 0;
    const BOOL ok = ReadFile(d.hComm, byte, 1, &received, nullptr);
    *got = received;
    if (!ok) {
        d.TakeError();
        return false;
    }
    return true;
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

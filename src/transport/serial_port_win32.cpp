// The device side of CSerialPort on the Win32 communications API: one
// synchronous handle, the DCB line settings and the COMMTIMEOUTS read and
// write limits. The waits sleep 1 ms at a time between queries of the input
// queue (ClearCommError, which also reports and clears line errors) and end
// when a stop is requested.
#include "transport/serial_port_impl.h"
#include "transport/serial_os_win32.h"

#include <mmsystem.h>

#include <cctype>
#include <cstdio>
#include <cstring>

#include "support/stop_request.h"

namespace {

constexpr DWORD kAbortedError = 995;  // ERROR_OPERATION_ABORTED, raised by fAbortOnError
// What ClearCommError reports of damaged input.
constexpr DWORD kLineErrorFlags = CE_FRAME | CE_OVERRUN | CE_RXPARITY | CE_RXOVER | CE_BREAK;
// A write aborted by a line error (of the input) is taken up again this often.
constexpr int kMaxWriteAborts = 3;

static_assert(kSerialAccessRead == GENERIC_READ && kSerialAccessWrite == GENERIC_WRITE);

const SerialOsCalls kRealCalls = {
    ::CreateFileA,     ::CloseHandle,     ::PurgeComm,      ::GetCommState, ::SetCommState,
    ::GetCommTimeouts, ::SetCommTimeouts, ::ClearCommError, ::ReadFile,     ::WriteFile,
};

// Sleep(1) sleeps a whole scheduler tick (often 15.6 ms) unless the timer
// resolution is raised; the input-queue polls rely on 1 ms pauses.
void UseMillisecondTimer()
{
    static const bool raised = (timeBeginPeriod(1) == TIMERR_NOERROR);
    (void)raised;
}

// Errors after which the device will not come back: the adapter was
// unplugged or the driver dropped the handle. ERROR_OPERATION_ABORTED is
// what fAbortOnError gives every call after a line error until
// ClearCommError has cleared it.
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

SerialOsCalls& SerialOs()
{
    static SerialOsCalls calls = kRealCalls;
    return calls;
}

const SerialOsCalls& RealSerialOs()
{
    return kRealCalls;
}

struct CSerialPort::Impl::Device {
    explicit Device(CSerialPort::Impl& owner) : im(owner) {}

    CSerialPort::Impl& im;
    HANDLE hComm = nullptr;
    DCB dcb {};
    COMMTIMEOUTS timeouts {};

    bool IsOpen() const { return hComm != nullptr && hComm != INVALID_HANDLE_VALUE; }

    // Records a failed call; an error of no known kind that ends a call
    // because a stop was requested counts as the stop.
    bool Fail(SerialFailure kind, DWORD error)
    {
        if (kind == SerialFailure::kOther && StopRequested()) {
            kind = SerialFailure::kStopped;
        }
        im.Fail(kind, static_cast<int>(error));
        return false;
    }

    // Clears the device's error state; sets *lineError when it held a line
    // error. The queued input count goes to *queued.
    bool Status(DWORD* queued, bool* lineError)
    {
        OtherErrorTries tries;
        for (;;) {
            DWORD errors = 0;
            COMSTAT status {};
            if (SerialOs().clearCommError(hComm, &errors, &status)) {
                *queued = status.cbInQue;
                if (errors & kLineErrorFlags) {
                    *lineError = true;
                }
                return true;
            }
            const DWORD error = GetLastError();
            SerialFailure kind = KindOfError(error);
            if (kind == SerialFailure::kLineError) {
                kind = SerialFailure::kOther;
            }
            if (kind == SerialFailure::kOther && tries.Again()) {
                continue;
            }
            *queued = 0;
            return Fail(kind, error);
        }
    }

    // A Win32 call that returns a BOOL, tried again a few times after an
    // error of no known kind.
    template <class Call>
    bool Retried(Call call)
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
            return Fail(kind == SerialFailure::kGone ? kind : SerialFailure::kOther, error);
        }
    }
};

CSerialPort::Impl::Impl() : device(std::make_unique<Device>(*this)) {}

CSerialPort::Impl::~Impl()
{
    Close();
}

bool CSerialPort::Impl::IsOpen() const
{
    return device->IsOpen();
}

std::string CSerialPort::Impl::ErrorText(int error) const
{
    return SystemErrorText(static_cast<DWORD>(error));
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
    if (d.IsOpen()) {
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
    return d.Retried([&d] { return SerialOs().getCommState(d.hComm, &d.dcb); });
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
    if (!d.Retried([&d] { return SerialOs().setCommState(d.hComm, &d.dcb); })) {
        return false;
    }
    // A driver may take the call and keep a speed it cannot do: read back.
    DCB check {};
    check.DCBlength = sizeof(check);
    if (!d.Retried([&d, &check] { return SerialOs().getCommState(d.hComm, &check); })) {
        return false;
    }
    if (check.BaudRate != baudRate || check.ByteSize != byteSize || check.Parity != parity ||
        check.StopBits != stopBits) {
        return d.Fail(SerialFailure::kOther, ERROR_INVALID_PARAMETER);
    }
    return true;
}

bool CSerialPort::Impl::ReadTimeouts()
{
    Device& d = *device;
    if (RefuseFinal()) {
        return false;
    }
    return d.Retried([&d] { return SerialOs().getCommTimeouts(d.hComm, &d.timeouts); });
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
    return d.Retried([&d] { return SerialOs().setCommTimeouts(d.hComm, &d.timeouts); });
}

// One WriteFile; a write that the write time-outs cut short is a success
// with the smaller count. A write aborted by a line error of the input is
// cleared and taken up where it stopped: the bytes going out are not damaged.
bool CSerialPort::Impl::Write(const void* buf, uint32_t size, uint32_t* written)
{
    Device& d = *device;
    *written = 0;
    if (RefuseFinal()) {
        return false;
    }
    const auto* p = static_cast<const unsigned char*>(buf);
    DWORD total = 0;
    int aborts = 0;
    OtherErrorTries tries;
    for (;;) {
        if (StopRequested()) {
            *written = total;
            return d.Fail(SerialFailure::kStopped, kAbortedError);
        }
        DWORD count = 0;
        const BOOL ok = SerialOs().writeFile(d.hComm, p + total, size - total, &count, nullptr);
        total += count;
        if (ok) {
            break;
        }
        const DWORD error = GetLastError();
        const SerialFailure kind = KindOfError(error);
        if (kind == SerialFailure::kLineError && ++aborts <= kMaxWriteAborts) {
            DWORD queued = 0;
            bool lineError = false;
            if (!d.Status(&queued, &lineError)) {
                *written = total;
                return false;
            }
            continue;
        }
        if (kind == SerialFailure::kOther && tries.Again()) {
            continue;
        }
        *written = total;
        return d.Fail(kind == SerialFailure::kLineError ? SerialFailure::kOther : kind, error);
    }
    *written = total;
    return true;
}

// Each query of the input queue (which also clears a pending line error) is
// followed by a 1 ms pause, so a silent target costs no processor time; a
// poll count of n gives up after n.
bool CSerialPort::Impl::WaitForInput(uint32_t pollCount)
{
    Device& d = *device;
    if (RefuseFinal()) {
        return false;
    }
    DWORD queued = 0;
    bool lineError = false;
    while (queued == 0) {
        if (StopRequested()) {
            return d.Fail(SerialFailure::kStopped, kAbortedError);
        }
        if (!d.Status(&queued, &lineError)) {
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
    *got = 0;
    if (RefuseFinal()) {
        return false;
    }
    auto* out = static_cast<unsigned char*>(buf);
    DWORD total = 0;
    OtherErrorTries tries;
    for (;;) {
        DWORD received = 0;
        const BOOL ok = SerialOs().readFile(d.hComm, out + total, size - total, &received, nullptr);
        total += received;
        if (ok) {
            break;
        }
        const DWORD error = GetLastError();
        const SerialFailure kind = KindOfError(error);
        if (kind == SerialFailure::kLineError) {
            DWORD queued = 0;
            bool lineError = false;
            d.Status(&queued, &lineError);
        } else if (kind == SerialFailure::kOther && tries.Again()) {
            continue;
        }
        *got = total;
        return d.Fail(kind, error);
    }
    *got = total;
    return true;
}

// Reads only what the input queue already holds, so each ReadFile returns at
// once whatever time-outs are in force; the silence is measured here.
bool CSerialPort::Impl::ReadUntilSilence(void* buf, uint32_t size, uint32_t* got, uint64_t silenceMs)
{
    Device& d = *device;
    *got = 0;
    if (RefuseFinal()) {
        return false;
    }
    auto* out = static_cast<unsigned char*>(buf);
    DWORD done = 0;
    ULONGLONG lastInput = GetTickCount64();
    bool lineError = false;
    OtherErrorTries tries;
    while (done < size) {
        if (StopRequested()) {
            *got = done;
            return d.Fail(SerialFailure::kStopped, kAbortedError);
        }
        DWORD queued = 0;
        if (!d.Status(&queued, &lineError)) {
            *got = done;
            return false;
        }
        if (queued > 0) {
            const DWORD want = queued < size - done ? queued : size - done;
            DWORD received = 0;
            const BOOL ok = SerialOs().readFile(d.hComm, out + done, want, &received, nullptr);
            done += received;
            if (received > 0) {
                lastInput = GetTickCount64();
            }
            if (!ok) {
                const DWORD error = GetLastError();
                const SerialFailure kind = KindOfError(error);
                if (kind == SerialFailure::kLineError) {
                    lineError = true;  // cleared by the next query
                    continue;
                }
                if (kind == SerialFailure::kOther && tries.Again()) {
                    continue;
                }
                *got = done;
                return d.Fail(kind, error);
            }
            if (received > 0) {
                continue;
            }
        }
        // After a line error the read ends once the rest of the damaged
        // bytes has come, whatever the count.
        uint64_t bound = silenceMs;
        if (lineError && bound > kLineErrorSettleMs) {
            bound = kLineErrorSettleMs;
        }
        if (bound != kWaitWithoutBound && GetTickCount64() - lastInput >= bound) {
            break;
        }
        Sleep(1);
    }
    *got = done;
    if (lineError) {
        return d.Fail(SerialFailure::kLineError, kAbortedError);
    }
    return true;
}

bool CSerialPort::Impl::DrainRead(uint8_t* byte, uint32_t* got)
{
    Device& d = *device;
    *got = 0;
    if (RefuseFinal()) {
        return false;
    }
    DWORD queued = 0;
    bool lineError = false;
    if (!d.Status(&queued, &lineError)) {
        return false;
    }
    DWORD received = 0;
    const BOOL ok = SerialOs().readFile(d.hComm, byte, 1, &received, nullptr);
    *got = received;
    if (!ok) {
        const DWORD error = GetLastError();
        return d.Fail(KindOfError(error), error);
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

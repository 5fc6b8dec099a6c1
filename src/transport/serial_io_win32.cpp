// The reads, writes and waits of the Win32 serial port. The waits sleep 1 ms
// at a time between queries of the input queue (ClearCommError, which also
// reports and clears line errors) and end when a stop is requested.
#include "transport/serial_device_win32.h"

#include "support/stop_request.h"

namespace {

using Impl = CSerialPort::Impl;

// What ClearCommError reports of damaged input.
constexpr DWORD kLineErrorFlags = CE_FRAME | CE_OVERRUN | CE_RXPARITY | CE_RXOVER | CE_BREAK;
// A write aborted by a line error (of the input) is taken up again this often.
constexpr int kMaxWriteAborts = 3;

// Clears the device's error state; sets *lineError when it held a line
// error. The queued input count goes to *queued.
bool QueryStatus(Impl& im, DWORD* queued, bool* lineError)
{
    OtherErrorTries tries;
    for (;;) {
        DWORD errors = 0;
        COMSTAT status {};
        if (SerialOs().clearCommError(im.device->hComm, &errors, &status)) {
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
        return RecordFailure(im, kind, error);
    }
}

}  // namespace

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
            return RecordFailure(*this, SerialFailure::kStopped, kAbortedError);
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
            if (!QueryStatus(*this, &queued, &lineError)) {
                *written = total;
                return false;
            }
            continue;
        }
        if (kind == SerialFailure::kOther && tries.Again()) {
            continue;
        }
        *written = total;
        return RecordFailure(*this, kind == SerialFailure::kLineError ? SerialFailure::kOther : kind, error);
    }
    *written = total;
    return true;
}

// Each query of the input queue (which also clears a pending line error) is
// followed by a 1 ms pause, so a silent target costs no processor time; a
// poll count of n gives up after n.
bool CSerialPort::Impl::WaitForInput(uint32_t pollCount)
{
    if (RefuseFinal()) {
        return false;
    }
    DWORD queued = 0;
    bool lineError = false;
    while (queued == 0) {
        if (StopRequested()) {
            return RecordFailure(*this, SerialFailure::kStopped, kAbortedError);
        }
        if (!QueryStatus(*this, &queued, &lineError)) {
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
            QueryStatus(*this, &queued, &lineError);
        } else if (kind == SerialFailure::kOther && tries.Again()) {
            continue;
        }
        *got = total;
        return RecordFailure(*this, kind, error);
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
            return RecordFailure(*this, SerialFailure::kStopped, kAbortedError);
        }
        DWORD queued = 0;
        if (!QueryStatus(*this, &queued, &lineError)) {
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
                return RecordFailure(*this, kind, error);
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
        return RecordFailure(*this, SerialFailure::kLineError, kAbortedError);
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
    if (!QueryStatus(*this, &queued, &lineError)) {
        return false;
    }
    DWORD received = 0;
    const BOOL ok = SerialOs().readFile(d.hComm, byte, 1, &received, nullptr);
    *got = received;
    if (!ok) {
        const DWORD error = GetLastError();
        return RecordFailure(*this, KindOfError(error), error);
    }
    return true;
}


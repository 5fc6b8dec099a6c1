// The reads, writes and waits of the POSIX serial port. The descriptor stays
// non-blocking and every wait happens in poll, so the read and write time-out
// rules are kept with one monotonic deadline per call and no busy processor.
// The waits sleep at most kStopCheckSliceMs at a time and end when a stop is
// requested.
#include "transport/serial_device_posix.h"
#include "transport/serial_os_posix.h"

#include <cerrno>
#include <sys/ioctl.h>

#if __has_include(<linux/serial.h>)
#include <linux/serial.h>
#endif

#include "support/stop_request.h"

namespace {

using Clock = std::chrono::steady_clock;
using Impl = CSerialPort::Impl;

// Limits of one read. A negative time means no limit.
struct ReadLimits {
    int64_t totalMs = -1;         // whole call
    int64_t gapMs = -1;           // silence between bytes
    bool gapBeforeFirst = false;  // the gap also counts before the first byte
    bool immediate = false;       // take what is queued and return
};

// Rounds up so that a wait of a fraction of a millisecond is not a busy loop.
int64_t MsUntilCeil(Clock::time_point t)
{
    const auto left = std::chrono::duration_cast<std::chrono::microseconds>(t - Clock::now()).count();
    return left > 0 ? (left + 999) / 1000 : 0;
}

// multiplier x count + constant, capped far beyond any real wait so that the
// deadline arithmetic cannot overflow.
int64_t TotalMs(uint32_t multiplier, uint32_t count, uint32_t constant)
{
    constexpr uint64_t kMaxMs = uint64_t {1} << 40;  // about 35 years
    const uint64_t total = static_cast<uint64_t>(multiplier) * count;
    if (total >= kMaxMs) {
        return static_cast<int64_t>(kMaxMs);
    }
    const uint64_t sum = total + constant;
    return static_cast<int64_t>(sum < kMaxMs ? sum : kMaxMs);
}

// One poll of at most the stop-check slice (negative: a whole slice).
int SliceOf(int64_t waitMs)
{
    return waitMs < 0 || waitMs > kStopCheckSliceMs ? kStopCheckSliceMs : static_cast<int>(waitMs);
}

// How one poll of at most the stop-check slice ended. kAgain: interrupted, or
// an error with tries left; kFailed: the failure is recorded.
enum class PollEnd { kReady, kTimedOut, kAgain, kFailed };

PollEnd PollOnce(Impl& im, short events, int64_t waitMs, OtherErrorTries& tries, short* revents)
{
    pollfd pfd {im.device->fd, events, 0};
    const int r = SerialOs().poll(&pfd, 1, SliceOf(waitMs));
    *revents = pfd.revents;
    if (r > 0) {
        return PollEnd::kReady;
    }
    if (r == 0) {
        return PollEnd::kTimedOut;
    }
    const int err = errno;
    if (err == EINTR || tries.Again()) {
        return PollEnd::kAgain;
    }
    im.Fail(SerialFailure::kOther, err);
    return PollEnd::kFailed;
}

// The driver's counts of damaged input (framing, overrun, parity, break).
// Devices without the counts (a pseudo-terminal) have known false.
struct LineErrorCounts {
    bool known = false;
    long total = 0;
};

// What follows a read or write call that moved no byte: call it again at once
// (interrupted, or an error with tries left), wait in poll (nothing ready),
// or give up (the failure is recorded).
enum class NextStep { kAgain, kWait, kFailed };

NextStep AfterEmptyCall(Impl& im, ssize_t n, OtherErrorTries& tries)
{
    if (n >= 0) {
        return NextStep::kWait;
    }
    const int err = errno;
    if (err == EINTR) {
        return NextStep::kAgain;
    }
    if (err == EAGAIN || err == EWOULDBLOCK) {
        return NextStep::kWait;
    }
    const SerialFailure kind = KindOfErrno(err);
    if (kind == SerialFailure::kOther && tries.Again()) {
        return NextStep::kAgain;
    }
    im.Fail(kind, err);
    return NextStep::kFailed;
}

LineErrorCounts Counts(Impl::Device& d)
{
    LineErrorCounts c;
#ifdef TIOCGICOUNT
    if (d.countsWork) {
        serial_icounter_struct ic {};
        if (SerialOs().ioctl(d.fd, TIOCGICOUNT, &ic) == 0) {
            c.known = true;
            c.total = static_cast<long>(ic.frame) + ic.overrun + ic.parity + ic.brk + ic.buf_overrun;
        } else {
            d.countsWork = false;
        }
    }
#endif
    return c;
}

bool LineErrorsSince(Impl::Device& d, const LineErrorCounts& before)
{
    if (!before.known) {
        return false;
    }
    const LineErrorCounts now = Counts(d);
    return now.known && now.total != before.total;
}

ReadLimits LimitsForRead(const Impl::Device& d, uint32_t size)
{
    ReadLimits lim;
    if (d.readInterval == UINT32_MAX && d.readTotalMultiplier == 0 && d.readTotalConstant == 0) {
        lim.immediate = true;
        return lim;
    }
    if (d.readInterval != 0) {
        lim.gapMs = d.readInterval;
    }
    if (d.readTotalMultiplier != 0 || d.readTotalConstant != 0) {
        lim.totalMs = TotalMs(d.readTotalMultiplier, size, d.readTotalConstant);
    }
    return lim;
}

// Reads up to size bytes under the limits. False when the device failed, a
// stop was requested or the driver counted a line error during the read;
// *got holds what arrived.
bool ReadWithin(Impl& im, uint8_t* p, uint32_t size, uint32_t* got, const ReadLimits& lim)
{
    Impl::Device& d = *im.device;
    *got = 0;
    if (im.RefuseFinal()) {
        return false;
    }
    const LineErrorCounts before = Counts(d);
    const Clock::time_point start = Clock::now();
    const Clock::time_point totalEnd = start + std::chrono::milliseconds(lim.totalMs < 0 ? 0 : lim.totalMs);
    Clock::time_point lastByte = start;
    uint32_t done = 0;
    bool hungUp = false;
    bool lineError = false;
    OtherErrorTries tries;
    while (done < size) {
        if (StopRequested()) {
            *got = done;
            return im.Fail(SerialFailure::kStopped, EINTR);
        }
        const ssize_t n = SerialOs().read(d.fd, p + done, size - done);
        if (n > 0) {
            done += static_cast<uint32_t>(n);
            lastByte = Clock::now();
            continue;
        }
        const NextStep next = AfterEmptyCall(im, n, tries);
        if (next == NextStep::kAgain) {
            continue;
        }
        if (next == NextStep::kFailed) {
            *got = done;
            return false;
        }
        // Nothing queued (a raw line with VMIN 0 reads 0 bytes). After a
        // hang-up the line reports readable but yields nothing: gone.
        if (hungUp) {
            *got = done;
            return im.Fail(SerialFailure::kGone, EIO);
        }
        if (lim.immediate) {
            break;
        }
        int64_t wait = -1;
        if (lim.totalMs >= 0) {
            wait = MsUntilCeil(totalEnd);
        }
        // After a line error the read ends once the rest of the damaged
        // bytes has come, whatever the count.
        int64_t gap = lim.gapMs;
        if (lineError && (gap < 0 || gap > static_cast<int64_t>(kLineErrorSettleMs))) {
            gap = static_cast<int64_t>(kLineErrorSettleMs);
        }
        if (gap >= 0 && (done > 0 || lim.gapBeforeFirst || lineError)) {
            const int64_t gapLeft = MsUntilCeil(lastByte + std::chrono::milliseconds(gap));
            wait = wait < 0 ? gapLeft : (gapLeft < wait ? gapLeft : wait);
        }
        if (wait == 0) {
            break;
        }
        short revents = 0;
        const PollEnd polled = PollOnce(im, POLLIN, wait, tries, &revents);
        if (polled == PollEnd::kFailed) {
            *got = done;
            return false;
        }
        if (polled == PollEnd::kAgain) {
            continue;
        }
        if (polled == PollEnd::kTimedOut) {
            if (!lineError && LineErrorsSince(d, before)) {
                lineError = true;
                lastByte = Clock::now();
            }
            continue;
        }
        hungUp = (revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
    }
    *got = done;
    if (lineError || LineErrorsSince(d, before)) {
        return im.Fail(SerialFailure::kLineError, 0);
    }
    return true;
}

}  // namespace

bool CSerialPort::Impl::Write(const void* buf, uint32_t size, uint32_t* written)
{
    Device& d = *device;
    *written = 0;
    if (RefuseFinal()) {
        return false;
    }
    const bool limited = d.writeTotalMultiplier != 0 || d.writeTotalConstant != 0;
    const int64_t totalMs = TotalMs(d.writeTotalMultiplier, size, d.writeTotalConstant);
    const Clock::time_point end = Clock::now() + std::chrono::milliseconds(totalMs);
    const uint8_t* p = static_cast<const uint8_t*>(buf);
    uint32_t done = 0;
    OtherErrorTries tries;
    while (done < size) {
        if (StopRequested()) {
            *written = done;
            return Fail(SerialFailure::kStopped, EINTR);
        }
        const ssize_t n = SerialOs().write(d.fd, p + done, size - done);
        if (n > 0) {
            done += static_cast<uint32_t>(n);
            continue;
        }
        const NextStep next = AfterEmptyCall(*this, n, tries);
        if (next == NextStep::kAgain) {
            continue;
        }
        if (next == NextStep::kFailed) {
            *written = done;
            return false;
        }
        int64_t left = -1;
        if (limited) {
            left = MsUntilCeil(end);
            if (left == 0) {
                break;  // time-out: a success with the smaller count
            }
        }
        short revents = 0;
        const PollEnd polled = PollOnce(*this, POLLOUT, left, tries, &revents);
        if (polled == PollEnd::kFailed) {
            *written = done;
            return false;
        }
        if (polled == PollEnd::kReady && (revents & (POLLHUP | POLLERR | POLLNVAL)) && (revents & POLLOUT) == 0) {
            *written = done;
            return Fail(SerialFailure::kGone, EIO);
        }
    }
    *written = done;
    return true;
}

// A poll count of n waits about n ms, 0 without limit. False when the device
// hung up or failed, or a stop was requested.
bool CSerialPort::Impl::WaitForInput(uint32_t pollCount)
{
    if (RefuseFinal()) {
        return false;
    }
    const int64_t waitMs = pollCount == 0 ? -1 : static_cast<int64_t>(pollCount);
    const Clock::time_point end = Clock::now() + std::chrono::milliseconds(waitMs < 0 ? 0 : waitMs);
    OtherErrorTries tries;
    for (;;) {
        if (StopRequested()) {
            return Fail(SerialFailure::kStopped, EINTR);
        }
        int64_t left = -1;
        if (waitMs >= 0) {
            left = MsUntilCeil(end);
            if (left == 0) {
                return true;
            }
        }
        short revents = 0;
        const PollEnd polled = PollOnce(*this, POLLIN, left, tries, &revents);
        if (polled == PollEnd::kFailed) {
            return false;
        }
        if (polled != PollEnd::kReady) {
            continue;
        }
        if (revents & POLLIN) {
            return true;
        }
        return Fail(SerialFailure::kGone, EIO);
    }
}

bool CSerialPort::Impl::Read(void* buf, uint32_t size, uint32_t* got)
{
    return ReadWithin(*this, static_cast<uint8_t*>(buf), size, got, LimitsForRead(*device, size));
}

bool CSerialPort::Impl::ReadUntilSilence(void* buf, uint32_t size, uint32_t* got, uint64_t silenceMs)
{
    ReadLimits lim;
    constexpr uint64_t kLongestGapMs = uint64_t {1} << 40;
    lim.gapMs = silenceMs >= kLongestGapMs ? -1 : static_cast<int64_t>(silenceMs);
    lim.gapBeforeFirst = true;
    return ReadWithin(*this, static_cast<uint8_t*>(buf), size, got, lim);
}

bool CSerialPort::Impl::DrainRead(uint8_t* byte, uint32_t* got)
{
    return ReadWithin(*this, byte, 1, got, LimitsForRead(*device, 1));
}


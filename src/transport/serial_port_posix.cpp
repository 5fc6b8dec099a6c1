// The device side of CSerialPort over termios. The descriptor stays
// non-blocking and every wait happens in poll, so the read and write time-out
// rules are kept with one monotonic deadline per call and no busy processor.
// The waits sleep at most kStopCheckSliceMs at a time and end when a stop is
// requested.
#include "transport/serial_port_impl.h"
#include "transport/serial_os_posix.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#if __has_include(<linux/serial.h>)
#include <linux/serial.h>
#endif

#include "support/stop_request.h"

namespace {

using Clock = std::chrono::steady_clock;

int RealOpen(const char* path, int flags)
{
    return ::open(path, flags);
}

int RealIoctl(int fd, unsigned long request, void* arg)
{
    return ::ioctl(fd, request, arg);
}

const SerialOsCalls kRealCalls = {
    RealOpen, ::close, ::read, ::write, ::poll, RealIoctl, ::tcgetattr, ::tcsetattr, ::tcflush, ::flock,
};

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

// Errors after which the device will not come back: the line hung up, the
// adapter was unplugged, the descriptor is no longer valid.
SerialFailure KindOfErrno(int err)
{
    switch (err) {
    case EIO:
    case EPIPE:
    case ENXIO:
    case ENODEV:
    case EBADF:
    case ENOENT:
        return SerialFailure::kGone;
    default:
        return SerialFailure::kOther;
    }
}

speed_t SpeedConstant(uint32_t baud, bool* ok)
{
    *ok = true;
    switch (baud) {
    case 50: return B50;
    case 75: return B75;
    case 110: return B110;
    case 134: return B134;
    case 150: return B150;
    case 200: return B200;
    case 300: return B300;
    case 600: return B600;
    case 1200: return B1200;
    case 1800: return B1800;
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    case 230400: return B230400;
#ifdef B460800
    case 460800: return B460800;
#endif
#ifdef B500000
    case 500000: return B500000;
#endif
#ifdef B576000
    case 576000: return B576000;
#endif
#ifdef B921600
    case 921600: return B921600;
#endif
#ifdef B1000000
    case 1000000: return B1000000;
#endif
#ifdef B1152000
    case 1152000: return B1152000;
#endif
#ifdef B1500000
    case 1500000: return B1500000;
#endif
#ifdef B2000000
    case 2000000: return B2000000;
#endif
#ifdef B2500000
    case 2500000: return B2500000;
#endif
#ifdef B3000000
    case 3000000: return B3000000;
#endif
#ifdef B3500000
    case 3500000: return B3500000;
#endif
#ifdef B4000000
    case 4000000: return B4000000;
#endif
    default: break;
    }
    *ok = false;
    return B0;
}

// The driver's counts of damaged input (framing, overrun, parity, break).
// Devices without the counts (a pseudo-terminal) have known false.
struct LineErrorCounts {
    bool known = false;
    long total = 0;
};

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
    int fd = -1;
    termios line {};  // the settings read by ReadLineSettings
    uint32_t readInterval = 0;
    uint32_t readTotalMultiplier = 0;
    uint32_t readTotalConstant = 0;
    uint32_t writeTotalMultiplier = 0;
    uint32_t writeTotalConstant = 0;
    bool countsWork = true;  // the driver keeps line error counts

    void Close()
    {
        if (fd >= 0) {
            // Release the exclusive mark so the next open of a device that
            // outlives this descriptor (a pseudo-terminal slave) is allowed.
            SerialOs().ioctl(fd, TIOCNXCL, nullptr);
            SerialOs().close(fd);
            fd = -1;
        }
    }

    // Records a failed call; an error of no known kind that ends a call
    // because a stop was requested counts as the stop.
    bool Fail(SerialFailure kind, int err)
    {
        if (kind == SerialFailure::kOther && StopRequested()) {
            kind = SerialFailure::kStopped;
        }
        im.Fail(kind, err);
        return false;
    }

    // What follows a read or write call that moved no byte: call it again
    // at once (interrupted, or an error with tries left), wait in poll
    // (nothing ready), or give up (the failure is recorded).
    enum class NextStep { kAgain, kWait, kFailed };
    NextStep AfterEmptyCall(ssize_t n, OtherErrorTries& tries)
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
        Fail(kind, err);
        return NextStep::kFailed;
    }

    LineErrorCounts Counts()
    {
        LineErrorCounts c;
#ifdef TIOCGICOUNT
        if (countsWork) {
            serial_icounter_struct ic {};
            if (SerialOs().ioctl(fd, TIOCGICOUNT, &ic) == 0) {
                c.known = true;
                c.total = static_cast<long>(ic.frame) + ic.overrun + ic.parity + ic.brk + ic.buf_overrun;
            } else {
                countsWork = false;
            }
        }
#endif
        return c;
    }

    bool LineErrorsSince(const LineErrorCounts& before)
    {
        if (!before.known) {
            return false;
        }
        const LineErrorCounts now = Counts();
        return now.known && now.total != before.total;
    }

    ReadLimits LimitsForRead(uint32_t size) const
    {
        ReadLimits lim;
        if (readInterval == UINT32_MAX && readTotalMultiplier == 0 && readTotalConstant == 0) {
            lim.immediate = true;
            return lim;
        }
        if (readInterval != 0) {
            lim.gapMs = readInterval;
        }
        if (readTotalMultiplier != 0 || readTotalConstant != 0) {
            lim.totalMs = TotalMs(readTotalMultiplier, size, readTotalConstant);
        }
        return lim;
    }

    // Reads up to size bytes under the limits. False when the device failed,
    // a stop was requested or the driver counted a line error during the
    // read; *got holds what arrived.
    bool Read(uint8_t* p, uint32_t size, uint32_t* got, const ReadLimits& lim)
    {
        *got = 0;
        if (im.RefuseFinal()) {
            return false;
        }
        const LineErrorCounts before = Counts();
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
                return Fail(SerialFailure::kStopped, EINTR);
            }
            const ssize_t n = SerialOs().read(fd, p + done, size - done);
            if (n > 0) {
                done += static_cast<uint32_t>(n);
                lastByte = Clock::now();
                continue;
            }
            const NextStep next = AfterEmptyCall(n, tries);
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
                return Fail(SerialFailure::kGone, EIO);
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
            pollfd pfd {fd, POLLIN, 0};
            const int r = SerialOs().poll(&pfd, 1, SliceOf(wait));
            if (r < 0) {
                const int err = errno;
                if (err == EINTR) {
                    continue;
                }
                if (tries.Again()) {
                    continue;
                }
                *got = done;
                return Fail(SerialFailure::kOther, err);
            }
            if (r == 0) {
                if (!lineError && LineErrorsSince(before)) {
                    lineError = true;
                    lastByte = Clock::now();
                }
                continue;
            }
            hungUp = (pfd.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
        }
        *got = done;
        if (lineError || LineErrorsSince(before)) {
            return Fail(SerialFailure::kLineError, 0);
        }
        return true;
    }

    // Waits for input for at most waitMs (negative: without limit). False
    // when the device hung up or failed, or a stop was requested.
    bool WaitForInput(int64_t waitMs)
    {
        if (im.RefuseFinal()) {
            return false;
        }
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
            pollfd pfd {fd, POLLIN, 0};
            const int r = SerialOs().poll(&pfd, 1, SliceOf(left));
            if (r < 0) {
                const int err = errno;
                if (err == EINTR || tries.Again()) {
                    continue;
                }
                return Fail(SerialFailure::kOther, err);
            }
            if (r == 0) {
                continue;
            }
            if (pfd.revents & POLLIN) {
                return true;
            }
            return Fail(SerialFailure::kGone, EIO);
        }
    }

    // An operating-system call that returns 0 or -1, tried again after an
    // interruption and, a few times, after an error of no known kind.
    template <class Call>
    bool Retried(Call call)
    {
        OtherErrorTries tries;
        for (;;) {
            if (call() == 0) {
                return true;
            }
            const int err = errno;
            if (err == EINTR) {
                continue;
            }
            const SerialFailure kind = KindOfErrno(err);
            if (kind == SerialFailure::kOther && tries.Again()) {
                continue;
            }
            return Fail(kind, err);
        }
    }
};

CSerialPort::Impl::Impl() : device(std::make_unique<Device>(*this)) {}

CSerialPort::Impl::~Impl()
{
    device->Close();
}

bool CSerialPort::Impl::IsOpen() const
{
    return device->fd >= 0;
}

std::string CSerialPort::Impl::ErrorText(int error) const
{
    // tcgetattr's answer for a file or a device without a UART behind it.
    if (error == ENOTTY) {
        return std::string("not a serial line (") + std::strerror(error) + ")";
    }
    return std::strerror(error);
}

bool CSerialPort::Impl::Open(const char* name, uint32_t access)
{
    Device& d = *device;
    const SerialOsCalls& os = SerialOs();
    d.Close();

    int mode = O_RDWR;
    if ((access & kSerialAccessRead) && !(access & kSerialAccessWrite)) {
        mode = O_RDONLY;
    } else if (!(access & kSerialAccessRead) && (access & kSerialAccessWrite)) {
        mode = O_WRONLY;
    }

    if (name == nullptr || name[0] == '\0') {
        lastError = ENOENT;
        return false;
    }
    const int fd = os.open(name, mode | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        lastError = errno;
        return false;
    }
    int err = 0;
    termios tio {};
    // A regular file, /dev/null or a device node without a UART behind it
    // opens fine but has no line settings.
    if (os.tcgetattr(fd, &tio) != 0) {
        err = errno;
    } else if (os.ioctl(fd, TIOCEXCL, nullptr) != 0) {
        // TIOCEXCL keeps other openers out (root excepted).
        err = errno;
    } else if (os.flock(fd, LOCK_EX | LOCK_NB) != 0) {
        // The lock also stops a second copy of this tool running as root.
        err = errno == EWOULDBLOCK ? EBUSY : errno;
        os.ioctl(fd, TIOCNXCL, nullptr);
    }
    if (err != 0) {
        os.close(fd);
        lastError = err;
        return false;
    }
#if defined(TIOCGSERIAL) && defined(ASYNC_LOW_LATENCY)
    // USB-serial adapters hold short replies back by their latency timer
    // unless the driver is asked for low latency; drivers that do not know
    // the request (a pseudo-terminal) are left as they are.
    serial_struct serial {};
    if (os.ioctl(fd, TIOCGSERIAL, &serial) == 0 && (serial.flags & ASYNC_LOW_LATENCY) == 0) {
        serial.flags |= ASYNC_LOW_LATENCY;
        os.ioctl(fd, TIOCSSERIAL, &serial);
    }
#endif
    os.tcflush(fd, TCIOFLUSH);
    d.fd = fd;
    d.countsWork = true;
    return true;
}

void CSerialPort::Impl::Close()
{
    device->Close();
}

bool CSerialPort::Impl::ReadLineSettings()
{
    Device& d = *device;
    if (RefuseFinal()) {
        return false;
    }
    return d.Retried([&d] { return SerialOs().tcgetattr(d.fd, &d.line); });
}

bool CSerialPort::Impl::ApplyLineSettings(uint32_t baudRate, uint8_t byteSize, uint8_t parityCheck, uint8_t parity,
                                          uint8_t stopBits)
{
    Device& d = *device;
    int err = 0;
    bool speedOk = false;
    const speed_t speed = SpeedConstant(baudRate, &speedOk);
    if (!speedOk) {
        err = EINVAL;
    }

    tcflag_t size = CS8;
    switch (byteSize) {
    case 5: size = CS5; break;
    case 6: size = CS6; break;
    case 7: size = CS7; break;
    case 8: size = CS8; break;
    default: err = EINVAL; break;
    }

    // Parity codes: 0 none, 1 odd, 2 even, 3 mark, 4 space.
    tcflag_t parityFlags = 0;
    switch (parity) {
    case 0: break;
    case 1: parityFlags = PARENB | PARODD; break;
    case 2: parityFlags = PARENB; break;
#ifdef CMSPAR
    case 3: parityFlags = PARENB | PARODD | CMSPAR; break;
    case 4: parityFlags = PARENB | CMSPAR; break;
#endif
    default: err = EINVAL; break;
    }

    // Stop bits: 0 one, 1 one and a half (two on this interface), 2 two.
    tcflag_t stopFlags = 0;
    switch (stopBits) {
    case 0: break;
    case 1:
    case 2: stopFlags = CSTOPB; break;
    default: err = EINVAL; break;
    }
    if (err != 0) {
        Fail(SerialFailure::kOther, err);
        return false;
    }

    termios& tio = d.line;
    cfmakeraw(&tio);
    tio.c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
#ifdef CMSPAR
    tio.c_cflag &= ~CMSPAR;
#endif
    tio.c_cflag |= size | parityFlags | stopFlags | CREAD | CLOCAL;
    tio.c_iflag &= ~(IXON | IXOFF | IXANY | INPCK | IGNPAR | PARMRK | ISTRIP);
    if (parityCheck & 1) {
        tio.c_iflag |= INPCK;
    }
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    cfsetispeed(&tio, speed);
    cfsetospeed(&tio, speed);
    if (!d.Retried([&d, &tio] { return SerialOs().tcsetattr(d.fd, TCSANOW, &tio); })) {
        return false;
    }
    // tcsetattr succeeds when any one change took: read back.
    termios check {};
    if (!d.Retried([&d, &check] { return SerialOs().tcgetattr(d.fd, &check); })) {
        return false;
    }
    const tcflag_t mask = CSIZE | PARENB | PARODD | CSTOPB | CREAD | CLOCAL;
    if (cfgetospeed(&check) != speed || (check.c_cflag & mask) != (tio.c_cflag & mask)) {
        Fail(SerialFailure::kOther, EINVAL);
        return false;
    }

    // DTR and RTS off; a pseudo-terminal has no modem lines and refuses this.
    int lines = TIOCM_DTR | TIOCM_RTS;
    SerialOs().ioctl(d.fd, TIOCMBIC, &lines);
    return true;
}

// The time-outs live in this object only; reading them cannot fail.
bool CSerialPort::Impl::ReadTimeouts()
{
    return true;
}

bool CSerialPort::Impl::ApplyTimeouts(uint32_t readInterval, uint32_t readTotalMultiplier,
                                      uint32_t readTotalConstant, uint32_t writeTotalMultiplier,
                                      uint32_t writeTotalConstant)
{
    Device& d = *device;
    d.readInterval = readInterval;
    d.readTotalMultiplier = readTotalMultiplier;
    d.readTotalConstant = readTotalConstant;
    d.writeTotalMultiplier = writeTotalMultiplier;
    d.writeTotalConstant = writeTotalConstant;
    return true;
}

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
            return d.Fail(SerialFailure::kStopped, EINTR);
        }
        const ssize_t n = SerialOs().write(d.fd, p + done, size - done);
        if (n > 0) {
            done += static_cast<uint32_t>(n);
            continue;
        }
        const Device::NextStep next = d.AfterEmptyCall(n, tries);
        if (next == Device::NextStep::kAgain) {
            continue;
        }
        if (next == Device::NextStep::kFailed) {
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
        pollfd pfd {d.fd, POLLOUT, 0};
        const int r = SerialOs().poll(&pfd, 1, SliceOf(left));
        if (r < 0) {
            const int err = errno;
            if (err == EINTR || tries.Again()) {
                continue;
            }
            *written = done;
            return d.Fail(SerialFailure::kOther, err);
        }
        if (r > 0 && (pfd.revents & (POLLHUP | POLLERR | POLLNVAL)) && (pfd.revents & POLLOUT) == 0) {
            *written = done;
            return d.Fail(SerialFailure::kGone, EIO);
        }
    }
    *written = done;
    return true;
}

bool CSerialPort::Impl::WaitForInput(uint32_t pollCount)
{
    return device->WaitForInput(pollCount == 0 ? -1 : static_cast<int64_t>(pollCount));
}

bool CSerialPort::Impl::Read(void* buf, uint32_t size, uint32_t* got)
{
    return device->Read(static_cast<uint8_t*>(buf), size, got, device->LimitsForRead(size));
}

bool CSerialPort::Impl::ReadUntilSilence(void* buf, uint32_t size, uint32_t* got, uint64_t silenceMs)
{
    ReadLimits lim;
    constexpr uint64_t kLongestGapMs = uint64_t {1} << 40;
    lim.gapMs = silenceMs >= kLongestGapMs ? -1 : static_cast<int64_t>(silenceMs);
    lim.gapBeforeFirst = true;
    return device->Read(static_cast<uint8_t*>(buf), size, got, lim);
}

bool CSerialPort::Impl::DrainRead(uint8_t* byte, uint32_t* got)
{
    return device->Read(byte, 1, got, device->LimitsForRead(1));
}

std::string CSerialPort::DeviceNameForPort(uint32_t port)
{
    if (port == 0) {
        return std::string();
    }
    return "/dev/ttyS" + std::to_string(port - 1);
}

std::string CSerialPort::DeviceNameForText(const char* text)
{
    if (text == nullptr || std::strchr(text, '/') == nullptr) {
        return std::string();
    }
    return text;
}

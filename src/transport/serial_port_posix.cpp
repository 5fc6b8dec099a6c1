// The device side of CSerialPort over termios. The descriptor stays
// non-blocking and every wait happens in poll, so the read and write time-out
// rules are kept with one monotonic deadline per call and no busy processor.
#include "transport/serial_port_impl.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "support/stop_request.h"

namespace {

using Clock = std::chrono::steady_clock;

// Longest single poll of a read: a stop request that comes just before the
// poll starts (and so interrupts nothing) is still seen this soon.
constexpr int kStopSliceMs = 100;

int Sliced(int64_t waitMs)
{
    return waitMs < 0 || waitMs > kStopSliceMs ? kStopSliceMs : static_cast<int>(waitMs);
}

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

bool IsHangupErrno(int err)
{
    return err == EIO || err == EPIPE || err == ENXIO || err == ENODEV || err == EBADF;
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

}  // namespace

struct CSerialPort::Impl::Device {
    int fd = -1;
    termios line {};  // the settings read by ReadLineSettings
    uint32_t readInterval = 0;
    uint32_t readTotalMultiplier = 0;
    uint32_t readTotalConstant = 0;
    uint32_t writeTotalMultiplier = 0;
    uint32_t writeTotalConstant = 0;
    bool gone = false;
    int lastError = 0;

    void Close()
    {
        if (fd >= 0) {
            // Release the exclusive mark so the next open of a device that
            // outlives this descriptor (a pseudo-terminal slave) is allowed.
            ioctl(fd, TIOCNXCL);
            close(fd);
            fd = -1;
        }
    }

    void Fail(int err, bool hangup)
    {
        lastError = err;
        if (hangup) {
            gone = true;
        }
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

    // Reads up to size bytes under the limits. False only when the device
    // failed (lastError set, gone set for a hang-up); *got holds what arrived.
    bool Read(uint8_t* p, uint32_t size, uint32_t* got, const ReadLimits& lim)
    {
        *got = 0;
        if (gone) {
            lastError = lastError != 0 ? lastError : EIO;
            return false;
        }
        const Clock::time_point start = Clock::now();
        const Clock::time_point totalEnd = start + std::chrono::milliseconds(lim.totalMs < 0 ? 0 : lim.totalMs);
        Clock::time_point lastByte = start;
        uint32_t done = 0;
        bool hungUp = false;
        while (done < size) {
            // A stopped run reads no further: the call fails (EINTR), and
            // the caller prints nothing for it.
            if (StopRequested()) {
                *got = done;
                Fail(EINTR, false);
                return false;
            }
            const ssize_t n = ::read(fd, p + done, size - done);
            if (n > 0) {
                done += static_cast<uint32_t>(n);
                lastByte = Clock::now();
                continue;
            }
            if (n < 0) {
                const int err = errno;
                if (err == EINTR) {
                    continue;
                }
                if (err != EAGAIN && err != EWOULDBLOCK) {
                    *got = done;
                    Fail(err, IsHangupErrno(err));
                    return false;
                }
            }
            // Nothing queued (a raw line with VMIN 0 reads 0 bytes). After a
            // hang-up the line reports readable but yields nothing: gone.
            if (hungUp) {
                *got = done;
                Fail(EIO, true);
                return false;
            }
            if (lim.immediate) {
                break;
            }
            int64_t wait = -1;
            if (lim.totalMs >= 0) {
                wait = MsUntilCeil(totalEnd);
            }
            if (lim.gapMs >= 0 && (done > 0 || lim.gapBeforeFirst)) {
                const int64_t gapLeft = MsUntilCeil(lastByte + std::chrono::milliseconds(lim.gapMs));
                wait = wait < 0 ? gapLeft : (gapLeft < wait ? gapLeft : wait);
            }
            if (wait == 0) {
                break;
            }
            pollfd pfd {fd, POLLIN, 0};
            const int r = poll(&pfd, 1, Sliced(wait));
            if (r < 0) {
                if (errno == EINTR) {
                    continue;
                }
                *got = done;
                Fail(errno, false);
                return false;
            }
            hungUp = r > 0 && (pfd.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
        }
        *got = done;
        return true;
    }

    // Waits for input for at most waitMs (negative: without limit). False
    // when the device hung up.
    bool WaitForInput(int64_t waitMs)
    {
        if (gone) {
            lastError = lastError != 0 ? lastError : EIO;
            return false;
        }
        const Clock::time_point end = Clock::now() + std::chrono::milliseconds(waitMs < 0 ? 0 : waitMs);
        for (;;) {
            if (StopRequested()) {
                Fail(EINTR, false);
                return false;
            }
            int64_t timeout = -1;
            if (waitMs >= 0) {
                timeout = MsUntilCeil(end);
                if (timeout == 0) {
                    return true;
                }
            }
            pollfd pfd {fd, POLLIN, 0};
            const int r = poll(&pfd, 1, Sliced(timeout));
            if (r < 0) {
                if (errno == EINTR) {
                    continue;
                }
                Fail(errno, false);
                return false;
            }
            if (r == 0) {
                continue;  // the slice ended: look at the deadline and the stop request
            }
            if (pfd.revents & POLLIN) {
                return true;
            }
            Fail(EIO, true);
            return false;
        }
    }
};

CSerialPort::Impl::Impl() : device(std::make_unique<Device>()) {}

CSerialPort::Impl::~Impl()
{
    device->Close();
}

bool CSerialPort::Impl::IsOpen() const
{
    return device->fd >= 0;
}

bool CSerialPort::Impl::IsGone() const
{
    return device->gone;
}

int CSerialPort::Impl::LastError() const
{
    return device->lastError;
}

std::string CSerialPort::Impl::ErrorText(int error) const
{
    return std::strerror(error);
}

bool CSerialPort::Impl::Open(const char* name, uint32_t access)
{
    Device& d = *device;
    d.Close();
    d.gone = false;
    d.lastError = 0;

    int mode = O_RDWR;
    if ((access & kSerialAccessRead) && !(access & kSerialAccessWrite)) {
        mode = O_RDONLY;
    } else if (!(access & kSerialAccessRead) && (access & kSerialAccessWrite)) {
        mode = O_WRONLY;
    }

    int err = 0;
    int fd = -1;
    if (name == nullptr || name[0] == '\0') {
        err = ENOENT;
    } else {
        fd = open(name, mode | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
        if (fd < 0) {
            err = errno;
        }
    }
    if (fd >= 0) {
        // TIOCEXCL keeps other openers out (root excepted); the lock also
        // stops a second copy of this tool running as root.
        ioctl(fd, TIOCEXCL);
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            err = errno == EWOULDBLOCK ? EBUSY : errno;
            ioctl(fd, TIOCNXCL);
            close(fd);
            fd = -1;
        }
    }
    if (fd < 0) {
        d.lastError = err;
        return false;
    }
    tcflush(fd, TCIOFLUSH);
    d.fd = fd;
    return true;
}

void CSerialPort::Impl::Close()
{
    device->Close();
}

bool CSerialPort::Impl::ReadLineSettings()
{
    Device& d = *device;
    if (tcgetattr(d.fd, &d.line) != 0) {
        d.lastError = errno;
        return false;
    }
    return true;
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

    if (err == 0) {
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
        if (tcsetattr(d.fd, TCSANOW, &tio) != 0) {
            err = errno;
        } else {
            // tcsetattr succeeds when any one change took: read back.
            termios check {};
            const tcflag_t mask = CSIZE | PARENB | PARODD | CSTOPB | CREAD | CLOCAL;
            if (tcgetattr(d.fd, &check) != 0) {
                err = errno;
            } else if (cfgetospeed(&check) != speed || (check.c_cflag & mask) != (tio.c_cflag & mask)) {
                err = EINVAL;
            }
        }
    }
    if (err != 0) {
        d.lastError = err;
        return false;
    }

    // DTR and RTS off; a pseudo-terminal has no modem lines and refuses this.
    int lines = TIOCM_DTR | TIOCM_RTS;
    ioctl(d.fd, TIOCMBIC, &lines);
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
    const bool limited = d.writeTotalMultiplier != 0 || d.writeTotalConstant != 0;
    const int64_t totalMs = TotalMs(d.writeTotalMultiplier, size, d.writeTotalConstant);
    const Clock::time_point end = Clock::now() + std::chrono::milliseconds(totalMs);
    const uint8_t* p = static_cast<const uint8_t*>(buf);
    uint32_t done = 0;
    int err = 0;
    bool hangup = false;

    if (d.gone) {
        err = d.lastError != 0 ? d.lastError : EIO;
        hangup = true;
    }
    while (err == 0 && done < size) {
        const ssize_t n = ::write(d.fd, p + done, size - done);
        if (n > 0) {
            done += static_cast<uint32_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            err = errno;
            hangup = IsHangupErrno(err);
            break;
        }
        int timeout = -1;
        if (limited) {
            const int64_t left = MsUntilCeil(end);
            if (left == 0) {
                break;  // time-out: a success with the smaller count
            }
            timeout = left > INT32_MAX ? INT32_MAX : static_cast<int>(left);
        }
        pollfd pfd {d.fd, POLLOUT, 0};
        const int r = poll(&pfd, 1, timeout);
        if (r < 0) {
            if (errno != EINTR) {
                err = errno;
            }
            continue;
        }
        if (r > 0 && (pfd.revents & (POLLHUP | POLLERR | POLLNVAL)) && (pfd.revents & POLLOUT) == 0) {
            err = EIO;
            hangup = true;
        }
    }
    *written = done;
    if (err != 0) {
        d.Fail(err, hangup);
        return false;
    }
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

bool CSerialPort::Impl::ReadUntilSilence(void* buf, uint32_t size, uint32_t* got, uint32_t silenceMs)
{
    ReadLimits lim;
    lim.gapMs = silenceMs;
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

// CSerialPort over termios. The descriptor stays non-blocking and every wait
// happens in poll, so the read and write time-out rules are kept with one
// monotonic deadline per call and no busy processor.
#include "transport/serial_port.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "support/logger.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kGenericRead = 0x80000000u;
constexpr uint32_t kGenericWrite = 0x40000000u;

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

struct CSerialPort::Impl {
    int fd = -1;
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
            const int r = poll(&pfd, 1, wait > INT32_MAX ? INT32_MAX : static_cast<int>(wait));
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
            int timeout = -1;
            if (waitMs >= 0) {
                const int64_t left = MsUntilCeil(end);
                if (left == 0) {
                    return true;
                }
                timeout = left > INT32_MAX ? INT32_MAX : static_cast<int>(left);
            }
            pollfd pfd {fd, POLLIN, 0};
            const int r = poll(&pfd, 1, timeout);
            if (r < 0) {
                if (errno == EINTR) {
                    continue;
                }
                Fail(errno, false);
                return false;
            }
            if (r == 0) {
                return true;
            }
            if (pfd.revents & POLLIN) {
                return true;
            }
            Fail(EIO, true);
            return false;
        }
    }
};

CSerialPort::CSerialPort() : m_impl(std::make_unique<Impl>()) {}

// Unlike the Windows build, the descriptor is closed here: a process that
// creates many ports (the tests) would otherwise run out of descriptors.
CSerialPort::~CSerialPort()
{
    m_impl->Close();
}

bool CSerialPort::OpenPort(const char* name, uint32_t access)
{
    Impl& im = *m_impl;
    im.Close();
    im.gone = false;
    im.lastError = 0;

    if (access == 0) {
        access = kGenericRead | kGenericWrite;
    }
    int mode = O_RDWR;
    if ((access & kGenericRead) && !(access & kGenericWrite)) {
        mode = O_RDONLY;
    } else if (!(access & kGenericRead) && (access & kGenericWrite)) {
        mode = O_WRONLY;
    }

    const char* shown = name != nullptr ? name : "";
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
        im.lastError = err;
        LOG_MSG(LOG_ERROR, "[CSerialPort::OpenPort:%d] ", "Failed open port(%s)\n", shown);
        LOG_MSG(LOG_ERROR, "[CSerialPort::OpenPort:%d] ", "Reason : %s\n", std::strerror(err));
        return false;
    }
    tcflush(fd, TCIOFLUSH);
    im.fd = fd;
    LOG_MSG(LOG_DETAIL, "[CSerialPort::OpenPort:%d] ", "Complete open port(%s)\n", shown);
    return true;
}

bool CSerialPort::ConfigurePortA(uint32_t baudRate, uint8_t byteSize, uint8_t parityCheck, uint8_t parity,
                                 uint8_t stopBits)
{
    Impl& im = *m_impl;
    if (im.fd < 0) {
        LOG_MSG(LOG_ERROR, "[CSerialPort::ConfigurePortA:%d] ",
                "[ERROR] m_hComm == NULL || m_hComm == INVALID_HANDLE_VALUE\n");
        return false;
    }

    termios tio {};
    if (tcgetattr(im.fd, &tio) != 0) {
        const int err = errno;
        im.lastError = err;
        LOG_MSG(LOG_ERROR, "[CSerialPort::ConfigurePortA:%d] ", "GetLastError : %d\n", err);
        LOG_MSG(LOG_ERROR, "[CSerialPort::ConfigurePortA:%d] ", "Failed GetCommState\n");
        im.Close();
        return false;
    }

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
        if (tcsetattr(im.fd, TCSANOW, &tio) != 0) {
            err = errno;
        } else {
            // tcsetattr succeeds when any one change took: read back.
            termios check {};
            const tcflag_t mask = CSIZE | PARENB | PARODD | CSTOPB | CREAD | CLOCAL;
            if (tcgetattr(im.fd, &check) != 0) {
                err = errno;
            } else if (cfgetospeed(&check) != speed || (check.c_cflag & mask) != (tio.c_cflag & mask)) {
                err = EINVAL;
            }
        }
    }
    if (err != 0) {
        im.lastError = err;
        LOG_MSG(LOG_ERROR, "[CSerialPort::ConfigurePortA:%d] ", "GetLastError : %d\n", err);
        LOG_MSG(LOG_ERROR, "[CSerialPort::ConfigurePortA:%d] ", "Failed SetCommState\n");
        im.Close();
        return false;
    }

    // DTR and RTS off; a pseudo-terminal has no modem lines and refuses this.
    int lines = TIOCM_DTR | TIOCM_RTS;
    ioctl(im.fd, TIOCMBIC, &lines);
    return true;
}

bool CSerialPort::SetCommunicationTimeouts(uint32_t readInterval, uint32_t readTotalMultiplier,
                                           uint32_t readTotalConstant, uint32_t writeTotalMultiplier,
                                           uint32_t writeTotalConstant)
{
    Impl& im = *m_impl;
    if (im.fd < 0) {
        LOG_MSG(LOG_ERROR, "[CSerialPort::SetCommunicationTimeouts:%d] ",
                "[ERROR] m_hComm == NULL || m_hComm == INVALID_HANDLE_VALUE\n");
        return false;
    }
    im.readInterval = readInterval;
    im.readTotalMultiplier = readTotalMultiplier;
    im.readTotalConstant = readTotalConstant;
    im.writeTotalMultiplier = writeTotalMultiplier;
    im.writeTotalConstant = writeTotalConstant;
    return true;
}

bool CSerialPort::SendData(const void* buf, uint32_t size, uint32_t* ulReadSize)
{
    Impl& im = *m_impl;
    if (im.fd < 0) {
        LOG_MSG(LOG_ERROR, "[CSerialPort::SendData:%d] ",
                "[ERROR] m_hComm == NULL || m_hComm == INVALID_HANDLE_VALUE\n");
        return false;
    }
    if (ulReadSize == nullptr) {
        LOG_MSG(LOG_ERROR, "[CSerialPort::SendData:%d] ", "[ERROR] ulReadSize == NULL\n");
        return false;
    }
    *ulReadSize = 0;

    const bool limited = im.writeTotalMultiplier != 0 || im.writeTotalConstant != 0;
    const int64_t totalMs = TotalMs(im.writeTotalMultiplier, size, im.writeTotalConstant);
    const Clock::time_point end = Clock::now() + std::chrono::milliseconds(totalMs);
    const uint8_t* p = static_cast<const uint8_t*>(buf);
    uint32_t done = 0;
    int err = 0;
    bool hangup = false;

    if (im.gone) {
        err = im.lastError != 0 ? im.lastError : EIO;
        hangup = true;
    }
    while (err == 0 && done < size) {
        const ssize_t n = ::write(im.fd, p + done, size - done);
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
        pollfd pfd {im.fd, POLLOUT, 0};
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
    *ulReadSize = done;
    if (err != 0) {
        im.Fail(err, hangup);
        LOG_MSG(LOG_ERROR, "[CSerialPort::SendData:%d] ", "GetLastError : %d\n", err);
        LOG_MSG(LOG_ERROR, "[CSerialPort::SendData:%d] ", "Failed send data(%lu / %lu)\n",
                static_cast<unsigned long>(done), static_cast<unsigned long>(size));
        return false;
    }
    if (ZOLKLogger::GetInstance()->IsDebug()) {
        LOG_MSG(LOG_DETAIL, "[CSerialPort::SendData:%d] ", "Complete send data\n");
    }
    return true;
}

bool CSerialPort::ReadDataTimeout(void* pBuf, uint32_t size, uint32_t* ulReadSize, uint32_t pollCount)
{
    Impl& im = *m_impl;
    if (im.fd < 0) {
        LOG_MSG(LOG_ERROR, "[CSerialPort::ReadDataTimeout:%d] ",
                "[ERROR] m_hComm == NULL || m_hComm == INVALID_HANDLE_VALUE\n");
        return false;
    }
    if (ulReadSize == nullptr) {
        LOG_MSG(LOG_ERROR, "[CSerialPort::ReadDataTimeout:%d] ", "[ERROR] ulReadSize == NULL\n");
        return false;
    }
    if (pBuf == nullptr) {
        LOG_MSG(LOG_ERROR, "[CSerialPort::ReadDataTimeout:%d] ", "[ERROR] pBuf == NULL\n");
        return false;
    }
    *ulReadSize = 0;

    // Poll count 0 waits until a byte is queued; n waits about n ms. The
    // read follows in every case, also when nothing came.
    bool ok = im.WaitForInput(pollCount == 0 ? -1 : static_cast<int64_t>(pollCount));
    if (ok) {
        ok = im.Read(static_cast<uint8_t*>(pBuf), size, ulReadSize, im.LimitsForRead(size));
    }
    if (!ok) {
        LOG_MSG(LOG_ERROR, "[CSerialPort::ReadDataTimeout:%d] ", "GetLastError : %d\n", im.lastError);
        LOG_MSG(LOG_ERROR, "[CSerialPort::ReadDataTimeout:%d] ", "Failed read data(%lu / %lu)\n",
                static_cast<unsigned long>(*ulReadSize), static_cast<unsigned long>(size));
        return false;
    }
    if (ZOLKLogger::GetInstance()->IsDebug()) {
        LOG_MSG(LOG_DETAIL, "[CSerialPort::ReadDataTimeout:%d] ", "Complete read data\n");
    }
    return true;
}

bool CSerialPort::ReadTreshData(uint32_t count)
{
    Impl& im = *m_impl;
    if (im.fd < 0) {
        LOG_MSG(LOG_ERROR, "[CSerialPort::ReadTreshData:%d] ",
                "[ERROR] m_hComm == NULL || m_hComm == INVALID_HANDLE_VALUE\n");
        return false;
    }
    bool ok = true;
    for (uint32_t i = 0; i < count; ++i) {
        uint8_t byte = 0;
        uint32_t got = 0;
        ok = im.Read(&byte, 1, &got, im.LimitsForRead(1));
        if (got == 1) {
            fwrite(&byte, 1, 1, stdout);
            fflush(stdout);
        }
        if (!ok) {
            break;  // a failed device fails every later read the same way
        }
    }
    return ok;
}

bool CSerialPort::ReadFull(void* pBuf, uint32_t size, uint32_t* ulReadSize, uint32_t silenceMs)
{
    Impl& im = *m_impl;
    if (im.fd < 0) {
        LOG_MSG(LOG_ERROR, "[CSerialPort::ReadFull:%d] ",
                "[ERROR] m_hComm == NULL || m_hComm == INVALID_HANDLE_VALUE\n");
        return false;
    }
    if (ulReadSize == nullptr) {
        LOG_MSG(LOG_ERROR, "[CSerialPort::ReadFull:%d] ", "[ERROR] ulReadSize == NULL\n");
        return false;
    }
    if (pBuf == nullptr) {
        LOG_MSG(LOG_ERROR, "[CSerialPort::ReadFull:%d] ", "[ERROR] pBuf == NULL\n");
        return false;
    }
    ReadLimits lim;
    lim.gapMs = silenceMs;
    lim.gapBeforeFirst = true;
    if (!im.Read(static_cast<uint8_t*>(pBuf), size, ulReadSize, lim)) {
        LOG_MSG(LOG_ERROR, "[CSerialPort::ReadFull:%d] ", "GetLastError : %d\n", im.lastError);
        LOG_MSG(LOG_ERROR, "[CSerialPort::ReadFull:%d] ", "Failed read data(%lu / %lu)\n",
                static_cast<unsigned long>(*ulReadSize), static_cast<unsigned long>(size));
        return false;
    }
    return true;
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

bool CSerialPort::IsOpen() const
{
    return m_impl->fd >= 0;
}

bool CSerialPort::IsGone() const
{
    return m_impl->gone;
}

int CSerialPort::LastError() const
{
    return m_impl->lastError;
}

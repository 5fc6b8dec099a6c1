// The device side of CSerialPort over termios: the open (exclusive, with the
// settings checked), the line settings read back after they are set, and the
// time-outs. The reads, writes and waits are in serial_io_posix.cpp.
#include "transport/serial_device_posix.h"
#include "transport/serial_os_posix.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#if __has_include(<linux/serial.h>)
#include <linux/serial.h>
#endif

#include "support/line_speeds_posix.h"

namespace {

using Impl = CSerialPort::Impl;

int RealOpen(const char* path, int flags)
{
    return ::open(path, flags);
}

int RealIoctl(int fd, unsigned long request, void* arg)
{
    return ::ioctl(fd, request, arg);
}

// An operating-system call that returns 0 or -1, tried again after an
// interruption and, a few times, after an error of no known kind.
template <class Call>
bool Retried(Impl& im, Call call)
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
        return im.Fail(kind, err);
    }
}

}  // namespace

const SerialOsCalls kRealSerialOsCalls = {
    RealOpen, ::close, ::read, ::write, ::poll, RealIoctl, ::tcgetattr, ::tcsetattr, ::tcflush, ::flock,
};

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

CSerialPort::Impl::Impl() : device(std::make_unique<Device>()) {}

CSerialPort::Impl::~Impl()
{
    Close();
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
    Close();

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
        // TIOCEXCL keeps other openers out (root excepted); a driver that
        // refuses it leaves the port open to them, so the open fails.
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
    Device& d = *device;
    if (d.fd >= 0) {
        // Release the exclusive mark so the next open of a device that
        // outlives this descriptor (a pseudo-terminal slave) is allowed.
        SerialOs().ioctl(d.fd, TIOCNXCL, nullptr);
        SerialOs().close(d.fd);
        d.fd = -1;
    }
}

bool CSerialPort::Impl::ReadLineSettings()
{
    Device& d = *device;
    if (RefuseFinal()) {
        return false;
    }
    return Retried(*this, [&d] { return SerialOs().tcgetattr(d.fd, &d.line); });
}

bool CSerialPort::Impl::ApplyLineSettings(uint32_t baudRate, uint8_t byteSize, uint8_t parityCheck, uint8_t parity,
                                          uint8_t stopBits)
{
    Device& d = *device;
    int err = 0;
    speed_t speed = B0;
    if (!SpeedOfBaud(baudRate, &speed)) {
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
        return Fail(SerialFailure::kOther, err);
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
    if (!Retried(*this, [&d, &tio] { return SerialOs().tcsetattr(d.fd, TCSANOW, &tio); })) {
        return false;
    }
    // tcsetattr succeeds when any one change took: read back.
    termios check {};
    if (!Retried(*this, [&d, &check] { return SerialOs().tcgetattr(d.fd, &check); })) {
        return false;
    }
    const tcflag_t mask = CSIZE | PARENB | PARODD | CSTOPB | CREAD | CLOCAL;
    if (cfgetospeed(&check) != speed || (check.c_cflag & mask) != (tio.c_cflag & mask)) {
        return Fail(SerialFailure::kOther, EINVAL);
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

// Failures of the POSIX serial port's operating-system calls, put in through
// the port's table of calls (transport/serial_os_posix.h): what a
// pseudo-terminal never gives, from a persistent EINVAL to a framing error
// counted by the driver. The fakes pass every call through to the real one
// unless a fault below is armed.
//
//   InstallSerialOsFaults();
//   g_read.Set(EINVAL, -1);  // every read fails from now on
//   ...
//   RemoveSerialOsFaults();
#pragma once

#include <linux/serial.h>
#include <sys/ioctl.h>

#include <atomic>
#include <cerrno>

#include "transport/serial_os_posix.h"

// One call's failure: after `after` calls that pass, the next `times` calls
// (-1: every one) fail with err.
struct FailPlan {
    std::atomic<int> err {0};
    std::atomic<int> after {0};
    std::atomic<int> times {0};
    std::atomic<int> calls {0};

    void Set(int e, int t, int a = 0)
    {
        calls = 0;
        after = a;
        times = t;
        err = e;
    }
    bool Fire()
    {
        const int c = calls++;
        if (err == 0 || c < after) {
            return false;
        }
        return times < 0 || c - after < times;
    }
};

inline FailPlan g_read;
inline FailPlan g_write;
inline FailPlan g_poll;
inline FailPlan g_tcsetattr;
inline FailPlan g_exclusive;  // ioctl TIOCEXCL
inline std::atomic<long> g_failReadsAfterBytes {-1};  // reads fail with EINVAL once this many bytes came
inline std::atomic<long> g_bytesRead {0};
inline std::atomic<int> g_failWritesAfterCalls {-1};  // writes fail with EIO after this many calls
inline std::atomic<int> g_writeCalls {0};
inline std::atomic<speed_t> g_readBackSpeed {0};      // tcgetattr reports this speed (0: the real one)
inline std::atomic<bool> g_lineCounts {false};        // the driver keeps line error counts
inline std::atomic<int> g_framingErrors {0};
inline std::atomic<bool> g_damageNextRead {false};    // the next read with data counts a framing error
inline std::atomic<bool> g_serialInfo {false};        // the driver answers TIOCGSERIAL
inline std::atomic<int> g_lowLatencySet {-1};         // flags passed to TIOCSSERIAL

inline ssize_t FakeRead(int fd, void* buf, size_t n)
{
    if (g_read.Fire() || (g_failReadsAfterBytes >= 0 && g_bytesRead >= g_failReadsAfterBytes)) {
        errno = g_read.err != 0 ? g_read.err.load() : EINVAL;
        return -1;
    }
    const ssize_t r = RealSerialOs().read(fd, buf, n);
    if (r > 0) {
        g_bytesRead += r;
        if (g_damageNextRead.exchange(false)) {
            ++g_framingErrors;
        }
    }
    return r;
}

inline ssize_t FakeWrite(int fd, const void* buf, size_t n)
{
    if (g_write.Fire() || (g_failWritesAfterCalls >= 0 && g_writeCalls++ >= g_failWritesAfterCalls)) {
        errno = g_write.err != 0 ? g_write.err.load() : EIO;
        return -1;
    }
    return RealSerialOs().write(fd, buf, n);
}

inline int FakePoll(pollfd* fds, nfds_t count, int timeoutMs)
{
    if (g_poll.Fire()) {
        errno = g_poll.err;
        return -1;
    }
    return RealSerialOs().poll(fds, count, timeoutMs);
}

inline int FakeTcsetattr(int fd, int actions, const termios* tio)
{
    if (g_tcsetattr.Fire()) {
        errno = g_tcsetattr.err;
        return -1;
    }
    return RealSerialOs().tcsetattr(fd, actions, tio);
}

inline int FakeTcgetattr(int fd, termios* tio)
{
    const int r = RealSerialOs().tcgetattr(fd, tio);
    if (r == 0 && g_readBackSpeed != 0) {
        cfsetospeed(tio, g_readBackSpeed);
    }
    return r;
}

inline int FakeIoctl(int fd, unsigned long request, void* arg)
{
    if (request == TIOCEXCL && g_exclusive.Fire()) {
        errno = g_exclusive.err;
        return -1;
    }
    if (request == TIOCGICOUNT && g_lineCounts) {
        auto* counts = static_cast<serial_icounter_struct*>(arg);
        *counts = serial_icounter_struct {};
        counts->frame = g_framingErrors;
        return 0;
    }
    if (request == TIOCGSERIAL && g_serialInfo) {
        *static_cast<serial_struct*>(arg) = serial_struct {};
        return 0;
    }
    if (request == TIOCSSERIAL && g_serialInfo) {
        g_lowLatencySet = static_cast<serial_struct*>(arg)->flags;
        return 0;
    }
    return RealSerialOs().ioctl(fd, request, arg);
}

// Every fault off, the fakes in.
inline void InstallSerialOsFaults()
{
    for (FailPlan* p : {&g_read, &g_write, &g_poll, &g_tcsetattr, &g_exclusive}) {
        p->Set(0, 0);
    }
    g_failReadsAfterBytes = -1;
    g_bytesRead = 0;
    g_failWritesAfterCalls = -1;
    g_writeCalls = 0;
    g_readBackSpeed = 0;
    g_lineCounts = false;
    g_framingErrors = 0;
    g_damageNextRead = false;
    g_serialInfo = false;
    g_lowLatencySet = -1;
    SerialOsCalls& os = SerialOs();
    os.read = FakeRead;
    os.write = FakeWrite;
    os.poll = FakePoll;
    os.tcsetattr = FakeTcsetattr;
    os.tcgetattr = FakeTcgetattr;
    os.ioctl = FakeIoctl;
}

// The real calls back.
inline void RemoveSerialOsFaults()
{
    SerialOs() = RealSerialOs();
}

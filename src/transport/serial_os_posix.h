// The operating-system calls of the POSIX serial port, reached through one
// table so that tests can put failures where no real device would give them
// (a driver refusing a speed, a persistent EINVAL). The program itself never
// changes the table.
#pragma once

#include <poll.h>
#include <sys/types.h>
#include <termios.h>

struct SerialOsCalls {
    int (*open)(const char* path, int flags);
    int (*close)(int fd);
    ssize_t (*read)(int fd, void* buf, size_t count);
    ssize_t (*write)(int fd, const void* buf, size_t count);
    int (*poll)(pollfd* fds, nfds_t count, int timeoutMs);
    int (*ioctl)(int fd, unsigned long request, void* arg);
    int (*tcgetattr)(int fd, termios* tio);
    int (*tcsetattr)(int fd, int actions, const termios* tio);
    int (*tcflush)(int fd, int queue);
    int (*flock)(int fd, int operation);
};

// The real calls (defined by the platform's serial port file).
extern const SerialOsCalls kRealSerialOsCalls;

// The calls in use.
inline SerialOsCalls& SerialOs()
{
    static SerialOsCalls calls = kRealSerialOsCalls;
    return calls;
}
// The real calls, for a replacement that passes most calls through.
inline const SerialOsCalls& RealSerialOs()
{
    return kRealSerialOsCalls;
}

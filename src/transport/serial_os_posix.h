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

// SerialOs() and RealSerialOs() over this platform's table.
#include "transport/serial_os_table.h"

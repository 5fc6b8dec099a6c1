#include "common/pty_pair.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <termios.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

int MsLeft(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

[[noreturn]] void Fail(const char* what) {
    throw std::runtime_error(std::string("PtyPair: ") + what + ": " + std::strerror(errno));
}

// Fail, with the half-made master closed first (keeping the call's errno).
[[noreturn]] void FailClosing(int master, const char* what) {
    int saved = errno;
    close(master);
    errno = saved;
    Fail(what);
}

// Waits at most maxMs (in slices of 20 ms) for input on the master. With no
// slave open the master reads EIO and polls POLLHUP at once; the host may
// open the slave later, so a hang-up only pauses a little instead of being
// trusted.
void AwaitInput(int master, int maxMs) {
    pollfd pfd {master, POLLIN, 0};
    int r = poll(&pfd, 1, maxMs < 20 ? maxMs : 20);
    if (r > 0 && (pfd.revents & POLLIN) == 0 && (pfd.revents & (POLLHUP | POLLERR))) {
        struct timespec ts {0, 5 * 1000 * 1000};
        nanosleep(&ts, nullptr);
    }
}

}  // namespace

PtyPair::PtyPair() {
    m_master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_master < 0) {
        Fail("posix_openpt");
    }
    if (grantpt(m_master) != 0 || unlockpt(m_master) != 0) {
        FailClosing(m_master, "grantpt/unlockpt");
    }
    char name[128] = {};
    if (ptsname_r(m_master, name, sizeof(name)) != 0) {
        FailClosing(m_master, "ptsname");
    }
    m_slavePath = name;

    // Raw on the master's line discipline: the settings of a pty pair are
    // shared by both sides, so this also keeps the slave from echoing or
    // translating CR/LF before the code under test configures it.
    termios tio {};
    if (tcgetattr(m_master, &tio) == 0) {
        cfmakeraw(&tio);
        tio.c_cc[VMIN] = 0;
        tio.c_cc[VTIME] = 0;
        tcsetattr(m_master, TCSANOW, &tio);
    }
    int flags = fcntl(m_master, F_GETFL);
    if (flags >= 0) {
        fcntl(m_master, F_SETFL, flags | O_NONBLOCK);
    }
}

PtyPair::~PtyPair() { CloseMaster(); }

void PtyPair::Write(const void* data, size_t size) {
    if (m_master < 0) {
        return;
    }
    const uint8_t* p = static_cast<const uint8_t*>(data);
    size_t done = 0;
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (done < size) {
        ssize_t n = ::write(m_master, p + done, size - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            Fail("write");
        }
        // The slave's input queue is full: wait until the host reads.
        int left = MsLeft(deadline);
        if (left == 0) {
            errno = ETIMEDOUT;
            Fail("write");
        }
        pollfd pfd {m_master, POLLOUT, 0};
        poll(&pfd, 1, left < 50 ? left : 50);
    }
}

std::vector<uint8_t> PtyPair::Read(size_t size, int timeoutMs) {
    std::vector<uint8_t> out;
    if (m_master < 0) {
        return out;
    }
    out.reserve(size);
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    uint8_t buf[4096];
    while (out.size() < size) {
        size_t want = size - out.size();
        if (want > sizeof(buf)) {
            want = sizeof(buf);
        }
        ssize_t n = ::read(m_master, buf, want);
        if (n > 0) {
            out.insert(out.end(), buf, buf + n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        int left = MsLeft(deadline);
        if (left == 0) {
            break;
        }
        AwaitInput(m_master, left);
    }
    return out;
}

std::vector<uint8_t> PtyPair::ReadUntilQuiet(int quietMs, int timeoutMs) {
    std::vector<uint8_t> out;
    if (m_master < 0) {
        return out;
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    auto quietUntil = Clock::now() + std::chrono::milliseconds(quietMs);
    uint8_t buf[4096];
    for (;;) {
        ssize_t n = ::read(m_master, buf, sizeof(buf));
        if (n > 0) {
            out.insert(out.end(), buf, buf + n);
            quietUntil = Clock::now() + std::chrono::milliseconds(quietMs);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        int left = MsLeft(deadline);
        int quietLeft = MsLeft(quietUntil);
        if (left == 0 || quietLeft == 0) {
            break;
        }
        AwaitInput(m_master, left < quietLeft ? left : quietLeft);
    }
    return out;
}

void PtyPair::CloseMaster() {
    if (m_master >= 0) {
        close(m_master);
        m_master = -1;
    }
}

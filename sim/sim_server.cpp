#include "sim_server.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "support/line_speeds_posix.h"

namespace {

double NowMs()
{
    return static_cast<double>(std::chrono::duration_cast<std::chrono::microseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count()) /
           1000.0;
}

}  // namespace

SimServer::SimServer(const SimOptions& options)
    : m_options(options), m_send(options.replyLatencyMs), m_buf(65536)
{
}

SimServer::~SimServer()
{
    CloseMaster();
    for (int& fd : m_stopPipe) {
        if (fd >= 0) {
            close(fd);
            fd = -1;
        }
    }
}

void SimServer::CloseMaster()
{
    if (m_master >= 0) {
        close(m_master);
        m_master = -1;
    }
    if (m_linkMade) {
        // Remove the link only while it still names this simulator's device.
        char target[512];
        const ssize_t n = readlink(m_options.link.c_str(), target, sizeof(target) - 1);
        if (n > 0 && std::string(target, static_cast<size_t>(n)) == m_slavePath) {
            unlink(m_options.link.c_str());
        }
        m_linkMade = false;
    }
}

bool SimServer::Open(std::string* error)
{
    if (m_options.trace.empty()) {
        m_trace = std::make_unique<SimTrace>();
    } else {
        m_trace = SimFileTrace::Open(m_options.trace, error);
        if (m_trace == nullptr) {
            return false;
        }
    }
    m_board = std::make_unique<SimBoard>(m_options.board, *m_trace);
    if (!m_board->Init(error)) {
        return false;
    }
    if (pipe2(m_stopPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        *error = std::string("pipe: ") + strerror(errno);
        return false;
    }
    m_master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_master < 0 || grantpt(m_master) != 0 || unlockpt(m_master) != 0) {
        *error = std::string("cannot create a pseudo-terminal: ") + strerror(errno);
        return false;
    }
    char name[256];
    if (ptsname_r(m_master, name, sizeof(name)) != 0) {
        *error = std::string("ptsname: ") + strerror(errno);
        return false;
    }
    m_slavePath = name;
    // Raw line from the start: a host that opens the device before setting
    // its own modes must not see its bytes echoed back as answers.
    struct termios tio {};
    if (tcgetattr(m_master, &tio) == 0) {
        cfmakeraw(&tio);
        tcsetattr(m_master, TCSANOW, &tio);
    }
    fcntl(m_master, F_SETFL, fcntl(m_master, F_GETFL) | O_NONBLOCK);
    if (!m_options.link.empty()) {
        unlink(m_options.link.c_str());
        if (symlink(m_slavePath.c_str(), m_options.link.c_str()) != 0) {
            *error = "cannot make link " + m_options.link + ": " + strerror(errno);
            return false;
        }
        m_linkMade = true;
    }
    return true;
}

void SimServer::Stop()
{
    // Only write(): this runs in signal handlers too.
    if (m_stopPipe[1] >= 0) {
        const char c = 's';
        ssize_t ignored = write(m_stopPipe[1], &c, 1);
        (void)ignored;
    }
}

int SimServer::Run()
{
    while (Turn()) {
    }
    m_board->Eflash().Flush();
    m_board->Snor().Flush();
    CloseMaster();
    return 0;
}

bool SimServer::Turn()
{
    if (!TakeBoardOutput()) {
        return false;
    }
    const LineWait wait = PlanWait(NowMs());
    short revents = 0;
    switch (PollLine(wait, &revents)) {
    case PollResult::End:
        return false;
    case PollResult::Again:
        return true;
    case PollResult::Ready:
        break;
    }
    const double after = NowMs();
    bool hangup = (revents & POLLHUP) != 0;
    if (revents & POLLIN) {
        switch (ReadFromHost(wait, after)) {
        case ReadResult::Data:
            return true;
        case ReadResult::Gone:
            hangup = true;
            break;
        case ReadResult::Failed:
            return false;
        case ReadResult::Nothing:
            break;
        }
    }
    if (hangup) {
        return IdleWithoutHost();
    }
    m_connected = true;
    m_board->Tick(static_cast<uint64_t>(after));
    if (!TakeBoardOutput()) {
        return false;
    }
    if (!m_send.Empty() && (revents & POLLOUT)) {
        return WriteToHost(wait);
    }
    return true;
}

bool SimServer::TakeBoardOutput()
{
    m_send.Add(m_board->TakeOutput(), NowMs());
    return !m_board->HangupRequested();
}

uint32_t SimServer::LineBaud() const
{
    struct termios tio {};
    if (tcgetattr(m_master, &tio) != 0) {
        return 0;
    }
    return BaudOfSpeed(cfgetospeed(&tio));
}

SimServer::LineWait SimServer::PlanWait(double now)
{
    LineWait wait;
    wait.paceBaud = m_options.lineRate ? LineBaud() : 0;
    const auto consider = [&wait](double ms) {
        ms = std::max(ms, 0.0);
        wait.timeoutMs = wait.timeoutMs < 0 ? ms : std::min(wait.timeoutMs, ms);
    };
    wait.rxAllow = m_rxPacer.Allow(now, wait.paceBaud, m_buf.size());
    if (wait.rxAllow > 0) {
        wait.events |= POLLIN;
    } else {
        consider(m_rxPacer.WaitMs(now, wait.paceBaud));
    }
    double txWaitMs = -1;
    wait.txAllow = m_send.Allow(now, wait.paceBaud, &txWaitMs);
    if (wait.txAllow > 0) {
        wait.events |= POLLOUT;
    } else if (!m_send.Empty()) {
        consider(txWaitMs);
    }
    const uint64_t next = m_board->NextEventMs();
    if (next != UINT64_MAX) {
        consider(static_cast<double>(next) - now);
    }
    return wait;
}

SimServer::PollResult SimServer::PollLine(const LineWait& wait, short* revents)
{
    struct pollfd fds[2] = {{m_stopPipe[0], POLLIN, 0}, {m_master, wait.events, 0}};
    // The exact fractional wait: whole milliseconds would make every paced
    // byte wait up to 1 ms longer than the line needs.
    struct timespec timeout = {};
    if (wait.timeoutMs >= 0) {
        const double ns = std::ceil(wait.timeoutMs * 1e6);
        timeout.tv_sec = static_cast<time_t>(ns / 1e9);
        timeout.tv_nsec = static_cast<long>(ns - static_cast<double>(timeout.tv_sec) * 1e9);
    }
    const int rc = ppoll(fds, 2, wait.timeoutMs < 0 ? nullptr : &timeout, nullptr);
    if (rc < 0) {
        return errno == EINTR ? PollResult::Again : PollResult::End;
    }
    if (fds[0].revents & POLLIN) {
        return PollResult::End;
    }
    *revents = fds[1].revents;
    return PollResult::Ready;
}

SimServer::ReadResult SimServer::ReadFromHost(const LineWait& wait, double now)
{
    const ssize_t n = read(m_master, m_buf.data(), std::max<size_t>(wait.rxAllow, 1));
    if (n > 0) {
        m_connected = true;
        m_rxPacer.Use(static_cast<size_t>(n), wait.paceBaud);
        m_board->Receive(m_buf.data(), static_cast<size_t>(n), LineBaud(), static_cast<uint64_t>(now));
        return ReadResult::Data;
    }
    if (n < 0 && errno == EIO) {
        return ReadResult::Gone;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) {
        return ReadResult::Failed;
    }
    return ReadResult::Nothing;
}

bool SimServer::IdleWithoutHost()
{
    // No host holds the line open. Before the first host that is simply the
    // idle state; afterwards the host has closed it. The master keeps
    // reporting POLLHUP in this state, so wait here instead of polling it
    // again at once.
    if (!HostGone()) {
        return false;
    }
    struct pollfd stop = {m_stopPipe[0], POLLIN, 0};
    return poll(&stop, 1, 20) <= 0;
}

bool SimServer::HostGone()
{
    if (m_connected) {
        m_connected = false;
        m_board->HostClosed();
        m_send.Clear();
        if (m_options.once) {
            return false;
        }
    }
    return true;
}

bool SimServer::WriteToHost(const LineWait& wait)
{
    const uint32_t baud = LineBaud();
    if (!m_options.board.anySpeed && m_send.NextBaud() != baud) {
        // Sent at a speed the host is not listening at: lost.
        m_send.DropNext();
        return true;
    }
    const size_t want = std::min(wait.txAllow, m_send.NextSize());
    const ssize_t n = write(m_master, m_send.NextBytes(), want);
    if (n > 0) {
        m_send.Sent(static_cast<size_t>(n), m_options.lineRate ? baud : 0);
    } else if (n < 0 && errno == EIO) {
        return HostGone();
    }
    return true;
}

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
#include <deque>

namespace {

double NowMs()
{
    return static_cast<double>(std::chrono::duration_cast<std::chrono::microseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count()) /
           1000.0;
}

// Speed in baud of a termios speed constant; 0 for one not listed.
uint32_t BaudOf(speed_t speed)
{
    struct Entry {
        speed_t code;
        uint32_t baud;
    };
    static const Entry kSpeeds[] = {
        {B0, 0},           {B50, 50},         {B75, 75},           {B110, 110},         {B134, 134},
        {B150, 150},       {B200, 200},       {B300, 300},         {B600, 600},         {B1200, 1200},
        {B1800, 1800},     {B2400, 2400},     {B4800, 4800},       {B9600, 9600},       {B19200, 19200},
        {B38400, 38400},   {B57600, 57600},   {B115200, 115200},   {B230400, 230400},   {B460800, 460800},
        {B500000, 500000}, {B576000, 576000}, {B921600, 921600},   {B1000000, 1000000}, {B1152000, 1152000},
        {B1500000, 1500000}, {B2000000, 2000000}, {B3000000, 3000000}, {B4000000, 4000000},
    };
    for (const Entry& e : kSpeeds) {
        if (e.code == speed) {
            return e.baud;
        }
    }
    return 0;
}

// Byte budget of one direction of a paced line: 10 bits a byte at the speed
// in force. Idle time earns at most kBurstMs of credit, so pacing stays true
// to the line while still absorbing the wake-up latency of poll.
class Pacer {
public:
    static constexpr double kBurstMs = 1.0;

    size_t Allow(double now, uint32_t baud, size_t want)
    {
        if (baud == 0) {
            return want;
        }
        if (m_freeAt < now - kBurstMs) {
            m_freeAt = now - kBurstMs;
        }
        const double n = std::floor((now - m_freeAt) * baud / 10000.0);
        if (n <= 0) {
            return 0;
        }
        return std::min(want, static_cast<size_t>(n));
    }
    void Use(size_t bytes, uint32_t baud)
    {
        if (baud != 0) {
            m_freeAt += static_cast<double>(bytes) * 10000.0 / baud;
        }
    }
    // Bytes held back until t earn no credit while they wait: the line was
    // busy with them (a latency timer holds bytes that already crossed it).
    void NoCreditBefore(double t)
    {
        if (m_freeAt < t) {
            m_freeAt = t;
        }
    }
    // Milliseconds until one more byte may pass.
    double WaitMs(double now, uint32_t baud) const
    {
        return baud == 0 ? 0.0 : m_freeAt + 10000.0 / baud - now;
    }

private:
    double m_freeAt = 0;
};

struct Segment {
    uint32_t baud;
    std::vector<uint8_t> bytes;
    size_t pos = 0;
    double readyMs = 0;  // not sent before this time (the reply latency)
};

}  // namespace

SimServer::SimServer(const SimOptions& options) : m_options(options) {}

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
    SimBoard& board = *m_board;
    const bool paced = m_options.lineRate;
    const bool anySpeed = m_options.board.anySpeed;
    Pacer rxPacer;
    Pacer txPacer;
    std::deque<Segment> outq;
    bool connected = false;
    std::vector<uint8_t> buf(65536);

    const auto lineBaud = [this]() -> uint32_t {
        struct termios tio {};
        if (tcgetattr(m_master, &tio) != 0) {
            return 0;
        }
        return BaudOf(cfgetospeed(&tio));
    };
    const double latencyMs = m_options.replyLatencyMs;
    const auto takeOutput = [&]() {
        for (SimBoard::Output& o : board.TakeOutput()) {
            outq.push_back(Segment{o.baud, std::move(o.bytes), 0, NowMs() + latencyMs});
        }
    };
    // Returns false when the run is over.
    const auto hostGone = [&]() {
        if (connected) {
            connected = false;
            board.HostClosed();
            outq.clear();
            if (m_options.once) {
                return false;
            }
        }
        return true;
    };

    while (true) {
        takeOutput();
        if (board.HangupRequested()) {
            break;
        }
        const double now = NowMs();
        const uint32_t baud = lineBaud();
        const uint32_t paceBaud = paced ? baud : 0;

        short events = 0;
        double timeout = -1;
        const auto consider = [&timeout](double ms) {
            ms = std::max(ms, 0.0);
            timeout = timeout < 0 ? ms : std::min(timeout, ms);
        };
        const size_t rxAllow = rxPacer.Allow(now, paceBaud, buf.size());
        if (rxAllow > 0) {
            events |= POLLIN;
        } else {
            consider(rxPacer.WaitMs(now, paceBaud));
        }
        size_t txAllow = 0;
        if (!outq.empty() && outq.front().readyMs > now) {
            consider(outq.front().readyMs - now);
        } else if (!outq.empty()) {
            if (latencyMs > 0 && outq.front().pos == 0) {
                txPacer.NoCreditBefore(outq.front().readyMs);
            }
            txAllow = txPacer.Allow(now, paceBaud, SIZE_MAX);
            if (txAllow > 0) {
                events |= POLLOUT;
            } else {
                consider(txPacer.WaitMs(now, paceBaud));
            }
        }
        const uint64_t next = board.NextEventMs();
        if (next != UINT64_MAX) {
            consider(static_cast<double>(next) - now);
        }

        struct pollfd fds[2] = {{m_stopPipe[0], POLLIN, 0}, {m_master, events, 0}};
        // The exact fractional wait: whole milliseconds would make every
        // paced byte wait up to 1 ms longer than the line needs.
        struct timespec wait = {};
        if (timeout >= 0) {
            const double ns = std::ceil(timeout * 1e6);
            wait.tv_sec = static_cast<time_t>(ns / 1e9);
            wait.tv_nsec = static_cast<long>(ns - static_cast<double>(wait.tv_sec) * 1e9);
        }
        const int rc = ppoll(fds, 2, timeout < 0 ? nullptr : &wait, nullptr);
        if (rc < 0 && errno != EINTR) {
            break;
        }
        if (rc < 0) {
            continue;
        }
        if (fds[0].revents & POLLIN) {
            break;
        }
        const double after = NowMs();
        const short rev = fds[1].revents;

        bool hangup = (rev & POLLHUP) != 0;
        if (rev & POLLIN) {
            const ssize_t n = read(m_master, buf.data(), std::max<size_t>(rxAllow, 1));
            if (n > 0) {
                connected = true;
                rxPacer.Use(static_cast<size_t>(n), paceBaud);
                board.Receive(buf.data(), static_cast<size_t>(n), lineBaud(), static_cast<uint64_t>(after));
                continue;
            }
            if (n < 0 && errno == EIO) {
                hangup = true;
            } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
                break;
            }
        }
        if (hangup) {
            // No host holds the line open. Before the first host that is
            // simply the idle state; afterwards the host has closed it. The
            // master keeps reporting POLLHUP in this state, so wait here
            // instead of polling it again at once.
            if (!hostGone()) {
                break;
            }
            struct pollfd stop = {m_stopPipe[0], POLLIN, 0};
            if (poll(&stop, 1, 20) > 0) {
                break;
            }
            continue;
        }
        connected = true;

        board.Tick(static_cast<uint64_t>(after));
        takeOutput();
        if (board.HangupRequested()) {
            break;
        }
        if (!outq.empty() && (rev & POLLOUT)) {
            Segment& seg = outq.front();
            const uint32_t nowBaud = lineBaud();
            if (!anySpeed && seg.baud != nowBaud) {
                // Sent at a speed the host is not listening at: lost.
                outq.pop_front();
                continue;
            }
            const size_t want = std::min(txAllow, seg.bytes.size() - seg.pos);
            const ssize_t n = write(m_master, seg.bytes.data() + seg.pos, want);
            if (n > 0) {
                txPacer.Use(static_cast<size_t>(n), paced ? nowBaud : 0);
                seg.pos += static_cast<size_t>(n);
                if (seg.pos == seg.bytes.size()) {
                    outq.pop_front();
                }
            } else if (n < 0 && errno == EIO) {
                if (!hostGone()) {
                    break;
                }
            }
        }
    }
    for (SimStorage* s : {&board.Eflash(), &board.Snor()}) {
        s->Flush();
    }
    CloseMaster();
    return 0;
}

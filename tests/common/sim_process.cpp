#include "common/sim_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

extern char** environ;

namespace {

#ifdef QEX_SIM_PATH
const char* const kSimPath = QEX_SIM_PATH;
#else
const char* const kSimPath = "qex_sim";
#endif

int64_t NowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

int ExitCodeOf(int status)
{
    if (WIFEXITED(status)) {
        return WEXITSTATUS(status);
    }
    if (WIFSIGNALED(status)) {
        return 128 + WTERMSIG(status);
    }
    return -1;
}

std::vector<char*> ArgvOf(const std::vector<std::string>& args)
{
    std::vector<char*> argv;
    for (const std::string& a : args) {
        argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);
    return argv;
}

// Spawns args[0] with the given descriptors as its 0, 1 and 2 (-1: inherit),
// in workDir when one is given.
pid_t Spawn(const std::vector<std::string>& args, int in, int out, int err, std::string* error,
            const std::string& workDir = "")
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (!workDir.empty()) {
        posix_spawn_file_actions_addchdir_np(&actions, workDir.c_str());
    }
    if (in >= 0) {
        posix_spawn_file_actions_adddup2(&actions, in, 0);
    }
    if (out >= 0) {
        posix_spawn_file_actions_adddup2(&actions, out, 1);
    }
    if (err >= 0) {
        posix_spawn_file_actions_adddup2(&actions, err, 2);
    }
    // The stop signals start at their defaults, as under a terminal: a
    // runner that ignores them (a shell's background job) would hand the
    // ignoring on, and the program keeps a signal ignored that it started with.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (const int signalNumber : {SIGINT, SIGTERM, SIGHUP}) {
        sigaddset(&defaults, signalNumber);
    }
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF);
    std::vector<char*> argv = ArgvOf(args);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, argv[0], &actions, &attr, argv.data(), environ);
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        *error = "cannot start " + args[0] + ": " + strerror(rc);
        return -1;
    }
    return pid;
}

ProcessResult RunChild(const std::vector<std::string>& argv, const std::string& stdinText, int timeoutMs,
                       const std::string& workDir, SignalPlan* plan)
{
    ProcessResult result;
    if (argv.empty()) {
        result.err = "RunProcess: no program";
        return result;
    }
    // A child that exits without reading its input must not kill the test.
    signal(SIGPIPE, SIG_IGN);
    int inPipe[2];
    int outPipe[2];
    int errPipe[2];
    if (pipe2(inPipe, O_CLOEXEC) != 0 || pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0) {
        result.err = std::string("pipe: ") + strerror(errno);
        return result;
    }
    const pid_t pid = Spawn(argv, inPipe[0], outPipe[1], errPipe[1], &result.err, workDir);
    close(inPipe[0]);
    close(outPipe[1]);
    close(errPipe[1]);
    if (pid < 0) {
        close(inPipe[1]);
        close(outPipe[0]);
        close(errPipe[0]);
        return result;
    }
    int inFd = inPipe[1];
    // With a signal plan the input stays open (and silent) to the end.
    int heldInFd = -1;
    if (plan != nullptr) {
        heldInFd = inFd;
        inFd = -1;
    } else if (stdinText.empty()) {
        close(inFd);
        inFd = -1;
    } else {
        fcntl(inFd, F_SETFL, O_NONBLOCK);
    }
    int outFd = outPipe[0];
    int errFd = errPipe[0];
    size_t inPos = 0;
    const int64_t deadline = NowMs() + timeoutMs;
    int status = 0;
    bool exited = false;
    char buf[8192];
    while (true) {
        if (!exited) {
            const pid_t w = waitpid(pid, &status, WNOHANG);
            exited = w == pid;
        }
        if (exited && outFd < 0 && errFd < 0) {
            break;
        }
        const int64_t left = deadline - NowMs();
        if (left <= 0) {
            result.timedOut = true;
            break;
        }
        struct pollfd fds[3];
        int n = 0;
        int idxIn = -1;
        int idxOut = -1;
        int idxErr = -1;
        if (inFd >= 0) {
            idxIn = n;
            fds[n++] = {inFd, POLLOUT, 0};
        }
        if (outFd >= 0) {
            idxOut = n;
            fds[n++] = {outFd, POLLIN, 0};
        }
        if (errFd >= 0) {
            idxErr = n;
            fds[n++] = {errFd, POLLIN, 0};
        }
        // With every pipe closed, only the child's exit is awaited: look
        // again every 10 ms.
        const int wait = static_cast<int>(std::min<int64_t>(left, (n == 0 || exited) ? 10 : 50));
        if (poll(fds, static_cast<nfds_t>(n), wait) < 0 && errno != EINTR) {
            break;
        }
        if (idxIn >= 0 && fds[idxIn].revents != 0) {
            const ssize_t w = write(inFd, stdinText.data() + inPos, stdinText.size() - inPos);
            if (w > 0) {
                inPos += static_cast<size_t>(w);
            }
            if (w < 0 && errno != EAGAIN) {
                inPos = stdinText.size();
            }
            if (inPos == stdinText.size()) {
                close(inFd);
                inFd = -1;
            }
        }
        const auto drain = [&](int idx, int* fd, std::string* into) {
            if (idx < 0 || fds[idx].revents == 0) {
                return;
            }
            const ssize_t r = read(*fd, buf, sizeof(buf));
            if (r > 0) {
                into->append(buf, static_cast<size_t>(r));
            } else if (r == 0 || errno != EINTR) {
                close(*fd);
                *fd = -1;
            }
        };
        drain(idxOut, &outFd, &result.out);
        drain(idxErr, &errFd, &result.err);
        if (plan != nullptr && !plan->sent && !exited && plan->when(result.out)) {
            kill(pid, plan->signalNumber);
            plan->sent = true;
        }
    }
    for (int fd : {inFd, heldInFd, outFd, errFd}) {
        if (fd >= 0) {
            close(fd);
        }
    }
    if (!exited) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        result.err += "\n[RunProcess: " + argv[0] + " killed after the time limit of " + std::to_string(timeoutMs) +
                      " ms]\n";
    }
    if (WIFEXITED(status) && !result.timedOut) {
        result.exitCode = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.signal = WTERMSIG(status);
    }
    return result;
}

}  // namespace

ProcessResult RunProcess(const std::vector<std::string>& argv, const std::string& stdinText, int timeoutMs)
{
    return RunProcess(argv, stdinText, timeoutMs, "");
}

ProcessResult RunProcess(const std::vector<std::string>& argv, const std::string& stdinText, int timeoutMs,
                         const std::string& workDir)
{
    return RunChild(argv, stdinText, timeoutMs, workDir, nullptr);
}

ProcessResult RunProcess(const std::vector<std::string>& argv, int timeoutMs, const std::string& workDir,
                         SignalPlan* plan)
{
    return RunChild(argv, "", timeoutMs, workDir, plan);
}

SimProcess::SimProcess(const std::vector<std::string>& args, int timeoutMs)
{
    int outPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0) {
        m_error = std::string("pipe: ") + strerror(errno);
        return;
    }
    std::vector<std::string> all = {kSimPath};
    all.insert(all.end(), args.begin(), args.end());
    m_pid = Spawn(all, -1, outPipe[1], -1, &m_error);
    close(outPipe[1]);
    m_stdout = outPipe[0];
    if (m_pid < 0) {
        return;
    }
    std::string line;
    const int64_t deadline = NowMs() + timeoutMs;
    while (line.find('\n') == std::string::npos) {
        const int64_t left = deadline - NowMs();
        if (left <= 0) {
            m_error = "qex_sim printed no device path within " + std::to_string(timeoutMs) + " ms";
            return;
        }
        struct pollfd pfd = {m_stdout, POLLIN, 0};
        if (poll(&pfd, 1, static_cast<int>(left)) <= 0) {
            continue;
        }
        char c[256];
        const ssize_t r = read(m_stdout, c, sizeof(c));
        if (r <= 0) {
            m_error = "qex_sim ended before printing its device path";
            return;
        }
        line.append(c, static_cast<size_t>(r));
    }
    m_ptyPath = line.substr(0, line.find('\n'));
}

SimProcess::~SimProcess()
{
    Stop();
    if (m_stdout >= 0) {
        close(m_stdout);
    }
}

int SimProcess::Wait(int timeoutMs)
{
    if (m_reaped || m_pid < 0) {
        return m_status;
    }
    const int64_t deadline = NowMs() + timeoutMs;
    while (true) {
        int status = 0;
        if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
            m_reaped = true;
            m_status = ExitCodeOf(status);
            return m_status;
        }
        if (NowMs() >= deadline) {
            return -1;
        }
        poll(nullptr, 0, 10);
    }
}

int SimProcess::Stop(int timeoutMs)
{
    if (m_reaped || m_pid < 0) {
        return m_status;
    }
    kill(m_pid, SIGTERM);
    if (Wait(timeoutMs) >= 0) {
        return m_status;
    }
    kill(m_pid, SIGKILL);
    int status = 0;
    waitpid(m_pid, &status, 0);
    m_reaped = true;
    m_status = ExitCodeOf(status);
    return m_status;
}

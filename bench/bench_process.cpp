#include "bench_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <random>

extern char** environ;

namespace {

// User + system time of a child, in seconds.
double CpuSeconds(const rusage& ru)
{
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

}  // namespace

double NowMs()
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

void WriteFile(const std::string& path, size_t size, uint64_t seed)
{
    std::vector<uint8_t> piece(65536);
    std::mt19937_64 gen(seed);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    for (size_t done = 0; done < size; done += piece.size()) {
        for (auto& b : piece) {
            b = static_cast<uint8_t>(gen());
        }
        out.write(reinterpret_cast<const char*>(piece.data()),
                  static_cast<std::streamsize>(std::min(piece.size(), size - done)));
    }
}

Sim::Sim(const std::string& simPath, std::vector<std::string> args)
{
    args.insert(args.begin(), simPath);
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    std::vector<char*> argv;
    for (auto& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    if (posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
        m_pid = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    std::string line;
    char c = 0;
    pollfd pfd{fds[0], POLLIN, 0};
    while (m_pid > 0 && poll(&pfd, 1, 10000) > 0 && read(fds[0], &c, 1) == 1 && c != '\n') {
        line += c;
    }
    close(fds[0]);
    m_pty = line;
}

double Sim::Stop()
{
    if (m_pid > 0) {
        kill(m_pid, SIGTERM);
        int status = 0;
        rusage ru{};
        wait4(m_pid, &status, 0, &ru);
        m_pid = -1;
        m_cpuSeconds = CpuSeconds(ru);
    }
    return m_cpuSeconds;
}

// Starts the tool with its output to a file. fork, not posix_spawn: a child
// that shares the parent's address space until exec would report the
// parent's peak memory.
ToolRun StartTool(const std::string& exe, const std::vector<std::string>& args, const std::string& logPath)
{
    std::vector<std::string> all = {exe};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    ToolRun run;
    run.start = NowMs();
    const pid_t pid = fork();
    if (pid < 0) {
        return run;
    }
    if (pid == 0) {
        const int out = open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int in = open("/dev/null", O_RDONLY);
        if (out < 0 || in < 0 || dup2(out, 1) < 0 || dup2(out, 2) < 0 || dup2(in, 0) < 0) {
            _exit(127);
        }
        execv(argv[0], argv.data());
        _exit(127);
    }
    run.pid = pid;
    return run;
}

// Waits for the run to end and reports the child's own resource use (wait4).
RunStats FinishTool(const ToolRun& run)
{
    RunStats s;
    if (run.pid < 0) {
        return s;
    }
    int status = 0;
    rusage ru{};
    wait4(run.pid, &status, 0, &ru);
    s.wallMs = NowMs() - run.start;
    s.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    s.cpuSeconds = CpuSeconds(ru);
    s.maxRssKiB = ru.ru_maxrss;
    return s;
}

RunStats RunTool(const std::string& exe, const std::vector<std::string>& args, const std::string& logPath)
{
    return FinishTool(StartTool(exe, args, logPath));
}

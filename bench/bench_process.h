// Child processes of the benchmarks: the simulated board, and runs of the
// tool whose own resource use (wait4) is what is measured.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

double NowMs();

// Seeded random bytes, written in pieces: the runner's own peak memory must
// stay small, since a child starts out with a copy of the parent's resident
// pages.
void WriteFile(const std::string& path, size_t size, uint64_t seed);

// qex_sim with the arguments, running until Stop; Pty is the device path it
// printed (empty when it did not start).
class Sim {
public:
    Sim(const std::string& simPath, std::vector<std::string> args);
    ~Sim() { Stop(); }
    Sim(const Sim&) = delete;
    Sim& operator=(const Sim&) = delete;
    const std::string& Pty() const { return m_pty; }
    // Ends the simulator; its user + system time in seconds.
    double Stop();

private:
    pid_t m_pid = -1;
    std::string m_pty;
    double m_cpuSeconds = 0;
};

struct RunStats {
    int exitCode = -1;
    double wallMs = 0;
    double cpuSeconds = 0;
    long maxRssKiB = 0;
};

// A run of the tool under way.
struct ToolRun {
    pid_t pid = -1;
    double start = 0;
};

// Starts the tool with its output to a file.
ToolRun StartTool(const std::string& exe, const std::vector<std::string>& args, const std::string& logPath);
// Waits for the run to end and reports the child's own resource use.
RunStats FinishTool(const ToolRun& run);
RunStats RunTool(const std::string& exe, const std::vector<std::string>& args, const std::string& logPath);

// Child processes for end-to-end tests: the simulated board (qex_sim) as a
// running process, and one-shot runs of a program with captured output.
//
//   SimProcess sim({"--firmware-running", "--form", "per-chip"});
//   ASSERT_TRUE(sim.Started()) << sim.Error();
//   ProcessResult r = RunProcess({ZOLK_QEX_PATH, "--port", sim.PtyPath(), ...}, "", 60000);
//   EXPECT_EQ(r.exitCode, 0) << r.err;
//
// Arguments are passed as a vector straight to exec: no shell, no quoting.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

struct ProcessResult {
    int exitCode = -1;      // exit status; -1 when killed by a signal or not started
    int signal = 0;         // the signal that ended the child, else 0
    bool timedOut = false;  // the child ran past the time limit and was killed
    std::string out;        // standard output
    std::string err;        // standard error (and a note when the child was killed)
};

// Runs argv[0] with the arguments, feeds stdinText on its standard input (then
// closes it), and collects stdout and stderr until it ends. A child still
// running after timeoutMs is killed (SIGKILL) and the result says so.
ProcessResult RunProcess(const std::vector<std::string>& argv, const std::string& stdinText, int timeoutMs);
// The same, with the child started in workDir (empty: the test's own
// working directory), for runs whose relative file names must land there.
ProcessResult RunProcess(const std::vector<std::string>& argv, const std::string& stdinText, int timeoutMs,
                         const std::string& workDir);

// A signal sent to the child in the middle of its run: once, as soon as its
// standard output so far satisfies `when`. The child's standard input stays
// open until it ends, so a prompt keeps waiting for the signal.
struct SignalPlan {
    std::function<bool(const std::string& out)> when;
    int signalNumber = 0;
    bool sent = false;  // set by RunProcess
};
ProcessResult RunProcess(const std::vector<std::string>& argv, int timeoutMs, const std::string& workDir,
                         SignalPlan* plan);

class SimProcess {
public:
    // Starts qex_sim (QEX_SIM_PATH of the test build) with the arguments and
    // waits at most timeoutMs for the first line of its output: the path of
    // the pseudo-terminal. Its standard error goes to the test's.
    explicit SimProcess(const std::vector<std::string>& args, int timeoutMs = 10000);
    // Stops the simulator (see Stop).
    ~SimProcess();
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    bool Started() const { return !m_ptyPath.empty(); }
    const std::string& PtyPath() const { return m_ptyPath; }
    // Why the start failed.
    const std::string& Error() const { return m_error; }
    pid_t Pid() const { return m_pid; }

    // Waits at most timeoutMs for the simulator to end by itself (--once, a
    // hang-up fault). Returns its exit code (128 + signal number when a
    // signal ended it), or -1 when it is still running.
    int Wait(int timeoutMs);
    // SIGTERM, up to timeoutMs for it to end, then SIGKILL. Returns the exit
    // code as Wait does; repeated calls return the first result.
    int Stop(int timeoutMs = 5000);

private:
    pid_t m_pid = -1;
    int m_stdout = -1;
    int m_status = -1;  // exit code once reaped
    bool m_reaped = false;
    std::string m_ptyPath;
    std::string m_error;
};

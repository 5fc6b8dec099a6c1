// Failures of the operating system's calls under CSerialPort, put in through
// the port's table of calls (a pseudo-terminal gives none of them): how each
// is sorted, that none repeats without end, and that whole runs of the
// program end in bounded time with the system's own text.
#include <gtest/gtest.h>

#include <linux/serial.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "common/inproc_sim.h"
#include "common/output_capture.h"
#include "common/pty_pair.h"
#include "common/serial_os_faults_posix.h"
#include "run/run.h"
#include "support/clock.h"
#include "support/stop_request.h"
#include "transport/serial_os_posix.h"
#include "transport/serial_port.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

class OsFailureTest : public testing::Test {
protected:
    void SetUp() override
    {
        InstallSerialOsFaults();
        m_sleep = SetSleepFunction([](uint32_t) {});
    }
    void TearDown() override
    {
        RemoveSerialOsFaults();
        SetSleepFunction(m_sleep);
        ClearStopRequest();
    }

    // A port on a fresh pty, at the firmware speed, waits without time-outs.
    void OpenLine(CSerialPort& port, PtyPair& pty)
    {
        ASSERT_TRUE(port.OpenPort(pty.SlavePath().c_str()));
        ASSERT_TRUE(port.ConfigurePortA(460800, 8, 0, 0, 0));
        ASSERT_TRUE(port.SetCommunicationTimeouts(0, 0, 0, 0, 0));
    }

private:
    SleepFunction m_sleep = nullptr;
};

const char* KindName(SerialFailure k)
{
    switch (k) {
    case SerialFailure::kNone: return "none";
    case SerialFailure::kGone: return "gone";
    case SerialFailure::kLineError: return "line error";
    case SerialFailure::kStopped: return "stopped";
    case SerialFailure::kOther: return "other";
    }
    return "?";
}

// Each failing call is sorted once: a device error ends at once, an error of
// no known kind gets three more tries and then fails for good, a passing
// error is ridden out.
TEST_F(OsFailureTest, FailingCallsAreSortedOnce)
{
    const struct {
        const char* name;
        FailPlan* plan;
        int err;
        int times;
        bool send;  // the call under test is SendData, else ReadFull
        bool ok;
        SerialFailure kind;
        int calls;  // calls of the failing function
        const char* reason;
    } cases[] = {
        {"read EINVAL for good", &g_read, EINVAL, -1, false, false, SerialFailure::kOther, 4, "Invalid argument"},
        {"read EINVAL twice", &g_read, EINVAL, 2, false, true, SerialFailure::kNone, 3, nullptr},
        {"read EIO", &g_read, EIO, -1, false, false, SerialFailure::kGone, 1, "Input/output error"},
        {"poll ENOMEM for good", &g_poll, ENOMEM, -1, false, false, SerialFailure::kOther, 4,
         "Cannot allocate memory"},
        {"write EINVAL for good", &g_write, EINVAL, -1, true, false, SerialFailure::kOther, 4, "Invalid argument"},
        {"write EPIPE", &g_write, EPIPE, -1, true, false, SerialFailure::kGone, 1, "Broken pipe"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        PtyPair pty;
        CSerialPort port;
        OpenLine(port, pty);
        // A read with its bytes on the line polls only when a read came
        // back empty; the poll case reads from a silent line.
        if (c.plan != &g_poll) {
            pty.Write(std::vector<uint8_t>(8, 0x42));
        }
        c.plan->Set(c.err, c.times);
        uint8_t buf[8] = {};
        uint32_t count = 0;
        bool ok = false;
        OutputCapture cap;
        ok = c.send ? port.SendData(buf, sizeof(buf), &count) : port.ReadFull(buf, sizeof(buf), &count, 2000);
        const int calls = c.plan->calls;
        const std::string out = cap.Out();
        EXPECT_EQ(ok, c.ok) << out;
        EXPECT_EQ(calls, c.calls);
        EXPECT_STREQ(KindName(port.LastFailure()), KindName(c.kind));
        EXPECT_EQ(port.IsUsable(), c.ok);
        if (c.reason != nullptr) {
            EXPECT_EQ(CountOf(out, std::string("Reason : ") + c.reason + "\n"), 1u) << out;
        } else {
            EXPECT_EQ(out, "");
        }
        if (!c.ok) {
            // A port that failed for good does not call the device again.
            c.plan->Set(0, 0);
            OutputCapture again;
            EXPECT_FALSE(c.send ? port.SendData(buf, sizeof(buf), &count)
                                : port.ReadFull(buf, sizeof(buf), &count, 2000));
            EXPECT_EQ(c.plan->calls, 0);
            EXPECT_STREQ(KindName(port.LastFailure()), KindName(c.kind));
        }
    }
}

// A caller that keeps calling a failed port sees the failure a few times,
// not once per call.
TEST_F(OsFailureTest, RepeatedFailureIsPrintedOnlyAFewTimes)
{
    PtyPair pty;
    CSerialPort port;
    OpenLine(port, pty);
    g_read.Set(EINVAL, -1);
    uint8_t buf[24] = {};
    uint32_t count = 0;
    OutputCapture cap;
    for (int i = 0; i < 1000; ++i) {
        port.ReadFull(buf, sizeof(buf), &count, 100);
    }
    const std::string out = cap.Out();
    EXPECT_EQ(CountOf(out, "Failed read data(0 / 24)\n"), 3u) << out;
    EXPECT_LT(CountOf(out, "\n"), 12u) << out;
}

// The driver's count of framing, overrun or parity errors rising during a
// read marks its bytes as damaged; the line goes on working and nothing is
// printed (the caller asks for the data again).
TEST_F(OsFailureTest, LineErrorCountedByTheDriverDamagesTheRead)
{
    g_lineCounts = true;
    PtyPair pty;
    CSerialPort port;
    OpenLine(port, pty);
    uint8_t buf[24] = {};
    uint32_t count = 0;

    pty.Write(std::vector<uint8_t>(24, 0x11));
    g_damageNextRead = true;
    OutputCapture cap;
    EXPECT_FALSE(port.ReadFull(buf, sizeof(buf), &count, 2000));
    EXPECT_STREQ(KindName(port.LastFailure()), KindName(SerialFailure::kLineError));
    EXPECT_TRUE(port.IsUsable());
    EXPECT_EQ(count, 24u);

    pty.Write(std::vector<uint8_t>(24, 0x22));
    EXPECT_TRUE(port.ReadFull(buf, sizeof(buf), &count, 2000));
    EXPECT_EQ(count, 24u);
    EXPECT_EQ(buf[0], 0x22);
    EXPECT_EQ(cap.Out(), "");
}

// Setting the port up fails with the speed and the reason, and closes it.
TEST_F(OsFailureTest, SettingsThatDoNotTakeCloseThePort)
{
    const struct {
        const char* name;
        std::function<void()> inject;
        int tcsetattrCalls;
    } cases[] = {
        {"speed refused for good", [] { g_tcsetattr.Set(EINVAL, -1); }, 4},
        {"another speed read back", [] { g_readBackSpeed = B9600; }, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        PtyPair pty;
        CSerialPort port;
        ASSERT_TRUE(port.OpenPort(pty.SlavePath().c_str()));
        c.inject();
        OutputCapture cap;
        EXPECT_FALSE(port.ConfigurePortA(460800, 8, 0, 0, 0));
        const std::string out = cap.Out();
        EXPECT_NE(out.find("] Failed SetCommState\n"), std::string::npos) << out;
        EXPECT_NE(out.find("] Cannot set the port to 460800 baud - Invalid argument\n"), std::string::npos) << out;
        EXPECT_FALSE(port.IsOpen());
        EXPECT_EQ(g_tcsetattr.calls, c.tcsetattrCalls);
        g_tcsetattr.Set(0, 0);
        g_readBackSpeed = 0;
    }
}

TEST_F(OsFailureTest, OpenRefusedExclusiveUseNamesTheReason)
{
    PtyPair pty;
    CSerialPort port;
    g_exclusive.Set(EPERM, -1);
    OutputCapture cap;
    EXPECT_FALSE(port.OpenPort(pty.SlavePath().c_str()));
    const std::string out = cap.Out();
    EXPECT_NE(out.find("] Failed open port(" + pty.SlavePath() + ")\n"), std::string::npos) << out;
    EXPECT_NE(out.find("] Reason : Operation not permitted\n"), std::string::npos) << out;
    EXPECT_FALSE(port.IsOpen());
}

// A driver that knows the request (a USB-serial adapter) is asked for low
// latency when the port opens; a pty does not know it and opens all the same.
TEST_F(OsFailureTest, OpenAsksTheDriverForLowLatency)
{
    PtyPair pty;
    {
        CSerialPort port;
        ASSERT_TRUE(port.OpenPort(pty.SlavePath().c_str()));
        EXPECT_EQ(g_lowLatencySet, -1);
    }
    g_serialInfo = true;
    CSerialPort port;
    ASSERT_TRUE(port.OpenPort(pty.SlavePath().c_str()));
    ASSERT_NE(g_lowLatencySet, -1);
    EXPECT_NE(g_lowLatencySet & ASYNC_LOW_LATENCY, 0);
}

// A stop request ends every wait of the port within a slice of its poll,
// quietly: the run prints one line for the stop.
TEST_F(OsFailureTest, StopRequestEndsEveryWaitQuietly)
{
    const struct {
        const char* name;
        std::function<bool(CSerialPort&, PtyPair&)> call;
    } cases[] = {
        {"read without a bound",
         [](CSerialPort& port, PtyPair&) {
             uint8_t buf[24];
             uint32_t count = 0;
             return port.ReadFull(buf, sizeof(buf), &count, kWaitWithoutBound);
         }},
        {"read with poll count 0",
         [](CSerialPort& port, PtyPair&) {
             uint8_t buf[24];
             uint32_t count = 0;
             return port.ReadDataTimeout(buf, sizeof(buf), &count, 0);
         }},
        {"write to a line nobody reads",
         [](CSerialPort& port, PtyPair&) {
             std::vector<uint8_t> big(4 << 20, 0x5A);
             uint32_t count = 0;
             return port.SendData(big.data(), static_cast<uint32_t>(big.size()), &count);
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ClearStopRequest();
        PtyPair pty;
        CSerialPort port;
        OpenLine(port, pty);
        std::thread stopper([] {
            std::this_thread::sleep_for(300ms);
            RequestStop(2);
        });
        OutputCapture cap;
        const auto start = Clock::now();
        auto done = std::async(std::launch::async, [&] { return c.call(port, pty); });
        ASSERT_EQ(done.wait_for(5s), std::future_status::ready) << "the wait did not end on the stop";
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
        stopper.join();
        EXPECT_FALSE(done.get());
        EXPECT_LT(ms, 300 + 500);
        EXPECT_STREQ(KindName(port.LastFailure()), KindName(SerialFailure::kStopped));
        EXPECT_EQ(cap.Out(), "");
    }
}

// Whole runs with an operating-system call failing for good: each ends in
// bounded time with the system's text, and says so in a few lines.
struct RunCase {
    const char* name;
    std::function<void()> inject;
    int result;
    std::string message;
};

void PrintTo(const RunCase& c, std::ostream* os) { *os << c.name; }

class OsFailureRun : public OsFailureTest, public testing::WithParamInterface<RunCase> {
protected:
    void SetUp() override
    {
        OsFailureTest::SetUp();
        // The run's own pauses are part of what is bounded here.
        SetSleepFunction(nullptr);
    }
};

TEST_P(OsFailureRun, EndsWithTheSystemsText)
{
    const RunCase& c = GetParam();
    InProcSim sim({"--firmware-running"});
    ASSERT_TRUE(sim.Started());
    c.inject();
    std::string port = sim.Path();
    std::vector<std::string> args = {"zolk_qex", "--port", port};
    std::vector<char*> argv;
    for (std::string& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    OutputCapture cap;
    const auto start = Clock::now();
    const int result = RunMain(static_cast<int>(args.size()), argv.data(), BuildForm {0});
    const auto seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const std::string out = cap.Out();
    EXPECT_EQ(result, c.result) << out;
    EXPECT_NE(out.find(c.message), std::string::npos) << c.message << "\n" << out;
    EXPECT_LT(seconds, 10.0) << out;
    EXPECT_LT(CountOf(out, "\n"), 20u) << out;
}

INSTANTIATE_TEST_SUITE_P(
    Calls, OsFailureRun,
    testing::Values(
        RunCase {"SpeedRefused", [] { g_tcsetattr.Set(EINVAL, -1); }, kResultEarlyEnd,
                 "Cannot set the port to 460800 baud - Invalid argument\n"},
        RunCase {"ExclusiveUseRefused", [] { g_exclusive.Set(EBUSY, -1); }, kResultEarlyEnd,
                 "Reason : Device or resource busy\n"},
        RunCase {"PollFailsFromTheStart", [] { g_poll.Set(EINVAL, -1); }, kResultEarlyEnd,
                 "Reason : Invalid argument\n"},
        RunCase {"ReadFailsAfterThePing", [] { g_failReadsAfterBytes = 24; }, kResultFailed,
                 "Reason : Invalid argument\n"},
        RunCase {"LineLostAfterThePing", [] { g_failWritesAfterCalls = 1; }, kResultFailed,
                 "Reason : Input/output error\n"}),
    [](const testing::TestParamInfo<RunCase>& info) { return std::string(info.param.name); });

}  // namespace

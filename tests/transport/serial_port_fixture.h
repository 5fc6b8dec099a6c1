// Shared pieces of the serial port tests: the port on the slave side of a
// real pseudo-terminal pair (the test plays the target on the master side),
// captured messages and calls bounded in time.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <string>
#include <vector>

#include "common/pty_pair.h"
#include "transport/serial_port.h"

using Clock = std::chrono::steady_clock;

inline const char kNotOpen[] = "[ERROR] m_hComm == NULL || m_hComm == INVALID_HANDLE_VALUE\n";

inline std::string Captured(const std::function<void()>& fn)
{
    testing::internal::CaptureStdout();
    fn();
    return testing::internal::GetCapturedStdout();
}

// True when some line of out is "[CSerialPort::<op>:<line>] <text>".
inline bool HasMessage(const std::string& out, const std::string& op, const std::string& text)
{
    const std::string tag = "[CSerialPort::" + op + ":";
    for (size_t pos = out.find(tag); pos != std::string::npos; pos = out.find(tag, pos + 1)) {
        const size_t close = out.find("] ", pos);
        if (close != std::string::npos && out.compare(close + 2, text.size(), text) == 0) {
            return true;
        }
    }
    return false;
}

inline long ElapsedMs(Clock::time_point since)
{
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

// Runs fn on a thread and waits at most limit for it. A call that hangs
// cannot be cancelled, so the test binary ends rather than wait forever.
template <class T>
T Bounded(std::function<T()> fn, std::chrono::milliseconds limit = std::chrono::milliseconds(5000))
{
    auto fut = std::async(std::launch::async, std::move(fn));
    if (fut.wait_for(limit) != std::future_status::ready) {
        std::fprintf(stderr, "serial call did not return within %ld ms\n", static_cast<long>(limit.count()));
        std::_Exit(2);
    }
    return fut.get();
}

inline std::vector<uint8_t> Bytes(std::initializer_list<int> values)
{
    std::vector<uint8_t> out;
    for (int v : values) {
        out.push_back(static_cast<uint8_t>(v));
    }
    return out;
}

class SerialPortTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(port.OpenPort(pty.SlavePath().c_str()));
        ASSERT_TRUE(port.ConfigurePortA(115200, 8, 0, 0, 0));
    }

    PtyPair pty;
    CSerialPort port;
};

// CSerialPort's transfers over a real pseudo-terminal pair: the test plays
// the target on the master side.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <termios.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "serial_port_fixture.h"
#include "support/logger.h"

namespace {

using namespace std::chrono_literals;

TEST_F(SerialPortTest, AllByteValuesCrossUnchangedBothWays)
{
    std::vector<uint8_t> all(256);
    for (size_t i = 0; i < all.size(); ++i) {
        all[i] = static_cast<uint8_t>(i);
    }
    ASSERT_TRUE(port.SetCommunicationTimeouts(0, 0, 0, 0, 0));

    // Target to host: no CR/LF translation, no signals, nothing echoed back.
    pty.Write(all);
    std::vector<uint8_t> in(all.size());
    uint32_t got = 0;
    ASSERT_TRUE(port.ReadDataTimeout(in.data(), static_cast<uint32_t>(in.size()), &got, 0));
    EXPECT_EQ(got, all.size());
    EXPECT_EQ(in, all);
    EXPECT_TRUE(pty.ReadUntilQuiet(50, 500).empty());

    // Host to target.
    uint32_t sent = 0;
    ASSERT_TRUE(port.SendData(all.data(), static_cast<uint32_t>(all.size()), &sent));
    EXPECT_EQ(sent, all.size());
    EXPECT_EQ(pty.Read(all.size()), all);
    got = 99;
    ASSERT_TRUE(port.ReadFull(in.data(), 1, &got, 50));
    EXPECT_EQ(got, 0u);
}

TEST_F(SerialPortTest, ReadTimeoutRules)
{
    const struct {
        const char* name;
        uint32_t interval, multiplier, constant;
        std::vector<uint8_t> queued;   // on the line before the read
        int laterAfterMs;              // then, this long into the read,
        std::vector<uint8_t> later;    // these bytes
        uint32_t size;
        uint32_t expected;
    } cases[] = {
        {"silent line ends on the total", 10, 10, 10, {}, 0, {}, 16, 0},
        {"total ends a partial read", 0, 10, 100, Bytes({1, 2, 3, 4, 5}), 0, {}, 16, 5},
        {"count complete ends the read", 10, 10, 10, std::vector<uint8_t>(20, 0x55), 0, {}, 16, 16},
        {"gap between bytes ends the read", 50, 0, 0, Bytes({1, 2, 3}), 600, Bytes({4, 5}), 16, 3},
        {"interval MAXDWORD alone takes what is queued", UINT32_MAX, 0, 0, Bytes({9, 8, 7}), 300, Bytes({6}), 16, 3},
        {"all zero waits for the full count", 0, 0, 0, Bytes({1, 2, 3, 4, 5, 6}), 150,
         std::vector<uint8_t>(10, 0xA5), 16, 16},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(port.SetCommunicationTimeouts(c.interval, c.multiplier, c.constant, 0, 0));
        if (!c.queued.empty()) {
            pty.Write(c.queued);
        }
        std::thread writer([&] {
            if (!c.later.empty()) {
                std::this_thread::sleep_for(std::chrono::milliseconds(c.laterAfterMs));
                pty.Write(c.later);
            }
        });
        std::vector<uint8_t> buf(c.size, 0xEE);
        uint32_t got = 99;
        const auto start = Clock::now();
        const bool ok = Bounded<bool>([&] { return port.ReadDataTimeout(buf.data(), c.size, &got, 1); });
        const long ms = ElapsedMs(start);
        writer.join();
        EXPECT_TRUE(ok);
        EXPECT_EQ(got, c.expected);
        EXPECT_LT(ms, 1500);
        std::vector<uint8_t> expected = c.queued;
        expected.insert(expected.end(), c.later.begin(), c.later.end());
        expected.resize(c.expected);
        EXPECT_EQ(std::vector<uint8_t>(buf.begin(), buf.begin() + got), expected);

        // Drain what the case left on the line.
        std::vector<uint8_t> rest(64);
        port.ReadFull(rest.data(), static_cast<uint32_t>(rest.size()), &got, 100);
    }
}

TEST_F(SerialPortTest, PollCountZeroSleepsUntilAByteArrives)
{
    ASSERT_TRUE(port.SetCommunicationTimeouts(10, 10, 10, 10, 10));
    std::atomic<bool> done {false};
    uint8_t buf[8] = {};
    uint32_t got = 0;
    bool ok = false;
    long cpuUs = -1;
    std::thread reader([&] {
        rusage before {};
        rusage after {};
        getrusage(RUSAGE_THREAD, &before);
        ok = port.ReadDataTimeout(buf, sizeof(buf), &got, 0);
        getrusage(RUSAGE_THREAD, &after);
        auto us = [](const timeval& tv) { return tv.tv_sec * 1000000L + tv.tv_usec; };
        cpuUs = us(after.ru_utime) - us(before.ru_utime) + us(after.ru_stime) - us(before.ru_stime);
        done = true;
    });

    std::this_thread::sleep_for(400ms);
    EXPECT_FALSE(done) << "a read with poll count 0 returned on a silent line";
    pty.Write(Bytes({0x13, 0x00, 0xAA}));
    const auto start = Clock::now();
    while (!done && ElapsedMs(start) < 5000) {
        std::this_thread::sleep_for(5ms);
    }
    if (!done) {
        std::fprintf(stderr, "read did not return after the data arrived\n");
        std::_Exit(2);
    }
    reader.join();
    EXPECT_TRUE(ok);
    EXPECT_EQ(got, 3u);
    EXPECT_EQ(buf[0], 0x13);
    EXPECT_EQ(buf[2], 0xAA);
    EXPECT_LT(cpuUs, 50000) << "the wait used the processor";
}

TEST_F(SerialPortTest, PollCountBoundsTheWaitOnASilentLine)
{
    ASSERT_TRUE(port.SetCommunicationTimeouts(0, 0, 1, 0, 0));
    uint8_t buf[4] = {};
    uint32_t got = 99;
    const auto start = Clock::now();
    EXPECT_TRUE(Bounded<bool>([&] { return port.ReadDataTimeout(buf, sizeof(buf), &got, 200); }));
    const long ms = ElapsedMs(start);
    EXPECT_EQ(got, 0u);
    EXPECT_GE(ms, 195);
    EXPECT_LT(ms, 2000);
}

TEST_F(SerialPortTest, ReadTreshDataEchoesExactlyWhatWasQueued)
{
    ASSERT_TRUE(port.SetCommunicationTimeouts(1, 1, 1, 1, 1));
    const std::vector<uint8_t> queued = Bytes({'O', 'K', '\r', '\n'});
    pty.Write(queued);
    bool ok = false;
    const std::string out = Captured([&] { ok = port.ReadTreshData(100); });
    EXPECT_TRUE(ok);
    EXPECT_EQ(out, std::string(queued.begin(), queued.end()));

    const std::string none = Captured([&] { EXPECT_TRUE(port.ReadTreshData(0)); });
    EXPECT_EQ(none, "");
}

TEST_F(SerialPortTest, NullArgumentsTransferNothing)
{
    ASSERT_TRUE(port.SetCommunicationTimeouts(0, 0, 0, 0, 0));
    pty.Write(Bytes({7, 8}));
    uint8_t buf[2] = {};
    uint32_t got = 0;
    const struct {
        const char* op;
        const char* message;
        std::function<bool()> call;
    } cases[] = {
        {"SendData", "[ERROR] ulReadSize == NULL\n", [&] { return port.SendData("ab", 2, nullptr); }},
        {"ReadDataTimeout", "[ERROR] ulReadSize == NULL\n",
         [&] { return port.ReadDataTimeout(nullptr, 2, nullptr, 1); }},
        {"ReadDataTimeout", "[ERROR] pBuf == NULL\n", [&] { return port.ReadDataTimeout(nullptr, 2, &got, 1); }},
        {"ReadFull", "[ERROR] ulReadSize == NULL\n", [&] { return port.ReadFull(buf, 2, nullptr, 10); }},
        {"ReadFull", "[ERROR] pBuf == NULL\n", [&] { return port.ReadFull(nullptr, 2, &got, 10); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.op << " " << c.message);
        bool result = true;
        const std::string out = Captured([&] { result = c.call(); });
        EXPECT_FALSE(result);
        EXPECT_TRUE(HasMessage(out, c.op, c.message)) << out;
    }
    EXPECT_TRUE(pty.ReadUntilQuiet(50, 500).empty());
    ASSERT_TRUE(port.ReadFull(buf, 2, &got, 500));
    EXPECT_EQ(got, 2u);
    EXPECT_EQ(buf[0], 7);
    EXPECT_EQ(buf[1], 8);
}

TEST_F(SerialPortTest, HangUpFailsReadsPromptlyAndForGood)
{
    const struct {
        const char* name;
        const char* op;
        std::function<bool(uint8_t*, uint32_t*)> read;
    } cases[] = {
        {"read, poll count 0", "ReadDataTimeout",
         [this](uint8_t* b, uint32_t* g) { return port.ReadDataTimeout(b, 16, g, 0); }},
        {"read, no time-outs", "ReadDataTimeout",
         [this](uint8_t* b, uint32_t* g) { return port.ReadDataTimeout(b, 16, g, 1); }},
        {"read full", "ReadFull", [this](uint8_t* b, uint32_t* g) { return port.ReadFull(b, 16, g, 10000); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        PtyPair line;
        ASSERT_TRUE(port.OpenPort(line.SlavePath().c_str()));
        ASSERT_TRUE(port.ConfigurePortA(115200, 8, 0, 0, 0));
        ASSERT_TRUE(port.SetCommunicationTimeouts(0, 0, 0, 0, 0));
        EXPECT_FALSE(port.IsGone());

        std::thread closer([&] {
            std::this_thread::sleep_for(100ms);
            line.CloseMaster();
        });
        uint8_t buf[16] = {};
        uint32_t got = 99;
        bool ok = true;
        const std::string out = Captured([&] { ok = Bounded<bool>([&] { return c.read(buf, &got); }); });
        closer.join();
        EXPECT_FALSE(ok);
        EXPECT_TRUE(port.IsGone());
        EXPECT_NE(port.LastError(), 0);
        EXPECT_TRUE(HasMessage(out, c.op, "GetLastError : ")) << out;
        EXPECT_TRUE(HasMessage(out, c.op, "Failed read data(0 / 16)\n")) << out;

        const auto start = Clock::now();
        const std::string again =
            Captured([&] { ok = Bounded<bool>([&] { return c.read(buf, &got); }, 1000ms); });
        EXPECT_FALSE(ok);
        EXPECT_LT(ElapsedMs(start), 500);
        EXPECT_TRUE(HasMessage(again, c.op, "Failed read data(0 / 16)\n")) << again;

        uint32_t sent = 99;
        const std::string send = Captured([&] { EXPECT_FALSE(port.SendData("x", 1, &sent)); });
        EXPECT_TRUE(HasMessage(send, "SendData", "Failed send data(0 / 1)\n")) << send;
    }
}

TEST_F(SerialPortTest, ReadFullWaitsOnlyForSilence)
{
    // The stored time-outs would end a read after 170 ms; ReadFull ignores them.
    ASSERT_TRUE(port.SetCommunicationTimeouts(10, 10, 10, 10, 10));
    const struct {
        const char* name;
        std::vector<uint8_t> first;
        int gapMs;
        std::vector<uint8_t> second;
        uint32_t silenceMs;
        uint32_t expected;
    } cases[] = {
        {"two pieces within the silence bound", std::vector<uint8_t>(6, 1), 300, std::vector<uint8_t>(10, 2), 1500, 16},
        {"silence ends a partial read", std::vector<uint8_t>(5, 3), 0, {}, 100, 5},
        {"silent line", {}, 0, {}, 100, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::thread writer([&] {
            if (!c.first.empty()) {
                pty.Write(c.first);
            }
            if (!c.second.empty()) {
                std::this_thread::sleep_for(std::chrono::milliseconds(c.gapMs));
                pty.Write(c.second);
            }
        });
        uint8_t buf[16] = {};
        uint32_t got = 99;
        const auto start = Clock::now();
        const bool ok = Bounded<bool>([&] { return port.ReadFull(buf, sizeof(buf), &got, c.silenceMs); });
        const long ms = ElapsedMs(start);
        writer.join();
        EXPECT_TRUE(ok);
        EXPECT_EQ(got, c.expected);
        EXPECT_LT(ms, 3000);
    }
}

TEST_F(SerialPortTest, WritesHonourTheWriteTimeouts)
{
    // Nobody reads the master, so a large write fills the line and stops
    // when the write total runs out: a success with the smaller count.
    std::vector<uint8_t> big(1 << 20, 0x5A);
    ASSERT_TRUE(port.SetCommunicationTimeouts(0, 0, 0, 0, 200));
    uint32_t sent = 0;
    const auto start = Clock::now();
    EXPECT_TRUE(Bounded<bool>([&] { return port.SendData(big.data(), static_cast<uint32_t>(big.size()), &sent); }));
    EXPECT_LT(ElapsedMs(start), 3000);
    EXPECT_GT(sent, 0u);
    EXPECT_LT(sent, big.size());
    const std::vector<uint8_t> drained = pty.ReadUntilQuiet(100, 5000);
    EXPECT_EQ(drained.size(), sent);

    // Without a write limit, partial writes go on until everything is out.
    std::vector<uint8_t> data(200000);
    for (size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<uint8_t>(i * 7 + (i >> 8));
    }
    ASSERT_TRUE(port.SetCommunicationTimeouts(0, 0, 0, 0, 0));
    std::vector<uint8_t> received;
    std::thread target([&] { received = pty.Read(data.size(), 10000); });
    EXPECT_TRUE(Bounded<bool>([&] { return port.SendData(data.data(), static_cast<uint32_t>(data.size()), &sent); },
                              10000ms));
    target.join();
    EXPECT_EQ(sent, data.size());
    EXPECT_EQ(received, data);
}

TEST_F(SerialPortTest, CompletionMessagesOnlyInDebugRuns)
{
    ASSERT_TRUE(port.SetCommunicationTimeouts(0, 0, 0, 0, 0));
    uint8_t buf[2] = {};
    uint32_t got = 0;
    for (bool debug : {false, true}) {
        SCOPED_TRACE(debug);
        ZOLKLogger::GetInstance()->SetDebug(debug);
        pty.Write(Bytes({1, 2}));
        const std::string out = Captured([&] {
            EXPECT_TRUE(port.SendData("ab", 2, &got));
            EXPECT_TRUE(port.ReadDataTimeout(buf, 2, &got, 0));
        });
        EXPECT_EQ(HasMessage(out, "SendData", "Complete send data\n"), debug) << out;
        EXPECT_EQ(HasMessage(out, "ReadDataTimeout", "Complete read data\n"), debug) << out;
        EXPECT_EQ(pty.Read(2).size(), 2u);
    }
    ZOLKLogger::GetInstance()->SetDebug(false);
}

}  // namespace

// The Win32 serial port against a stand-in device put in through the port's
// table of calls (wine offers no COM port without a pseudo-terminal): the
// DCB handed over right, failing calls sorted once and never repeated without
// end, line errors in a dump asked for again, and stop requests.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "common/output_capture.h"
#include "common/wire_packet.h"
#include "fake_com.h"
#include "protocol/protocol_fw.h"
#include "run/run.h"
#include "support/clock.h"
#include "support/console.h"
#include "support/byte_sink.h"
#include "support/crc.h"
#include "support/stop_request.h"
#include "support/zolk_file.h"
#include "transport/serial_os_win32.h"
#include "transport/serial_port.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

TEST_F(FakeComTest, LineSettingsGoThroughAWholeDcb)
{
    CSerialPort port;
    OpenFake(port);
    EXPECT_FALSE(m_com.badDcbLength) << "GetCommState was called without DCBlength";
    EXPECT_EQ(m_com.state.BaudRate, 460800u);
    EXPECT_EQ(m_com.state.fAbortOnError, 1u);
    EXPECT_EQ(m_com.state.fRtsControl, static_cast<DWORD>(RTS_CONTROL_DISABLE));
}

// A handle without line settings, and a driver that keeps another speed,
// both end the setting up with the reason.
TEST_F(FakeComTest, WhatIsNoUsableLineIsRefused)
{
    {
        m_com.serialLine = false;
        CSerialPort port;
        testing::internal::CaptureStdout();
        EXPECT_FALSE(port.OpenPort("\\\\.\\COM7"));
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_NE(out.find("] Failed open port(\\\\.\\COM7)\n"), std::string::npos) << out;
        EXPECT_NE(out.find("] Reason : "), std::string::npos) << out;
        EXPECT_FALSE(port.IsOpen());
        m_com.serialLine = true;
    }
    m_com.keptBaud = 115200;
    CSerialPort port;
    testing::internal::CaptureStdout();
    ASSERT_TRUE(port.OpenPort("\\\\.\\COM7"));
    EXPECT_FALSE(port.ConfigurePortA(460800, 8, 0, 0, 0));
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("] Cannot set the port to 460800 baud - "), std::string::npos) << out;
    EXPECT_FALSE(port.IsOpen());
}

// An error of no known kind from the input-queue query: three more tries,
// then the port fails for good; a caller that keeps calling sees the
// failure a few times, not once per call.
TEST_F(FakeComTest, PersistentQueueQueryErrorEndsAfterFourTries)
{
    CSerialPort port;
    OpenFake(port);
    m_com.clearFailures = -1;
    m_com.clearError = ERROR_INVALID_PARAMETER;
    m_com.clearCalls = 0;
    uint8_t buf[24] = {};
    uint32_t count = 0;
    testing::internal::CaptureStdout();
    EXPECT_FALSE(port.ReadFull(buf, sizeof(buf), &count, 10000));
    EXPECT_EQ(m_com.clearCalls, 4);
    EXPECT_EQ(port.LastFailure(), SerialFailure::kOther);
    EXPECT_FALSE(port.IsUsable());
    for (int i = 0; i < 1000; ++i) {
        port.ReadFull(buf, sizeof(buf), &count, 10000);
    }
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(m_com.clearCalls, 4) << "a port that failed for good called the device again";
    EXPECT_EQ(CountOf(out, "Failed read data(0 / 24)\n"), 3u) << out;
    EXPECT_EQ(CountOf(out, "GetLastError : 87\n"), 3u) << out;
}

// A whole run on that port ends at once, in a few lines.
TEST_F(FakeComTest, RunOnAFailingQueueQueryEndsShort)
{
    m_com.clearFailures = -1;
    m_com.clearError = ERROR_INVALID_PARAMETER;
    SetSleepFunction(nullptr);
    std::vector<std::string> args = {"zolk_qex.exe", "--port", "COM7"};
    std::vector<char*> argv;
    for (std::string& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    testing::internal::CaptureStdout();
    const auto start = Clock::now();
    const int result = RunMain(static_cast<int>(args.size()), argv.data(), BuildForm {0});
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(result, kResultEarlyEnd) << out;
    EXPECT_NE(out.find("] Reason : "), std::string::npos) << out;
    EXPECT_LT(seconds, 10.0);
    EXPECT_LT(CountOf(out, "\n"), 15u) << out;
}

// A line error in a dump chunk (the read aborted by fAbortOnError, or the
// error reported by the queue query): the chunk is refused and taken when it
// comes again.
TEST_F(FakeComTest, LineErrorInADumpChunkIsAskedForAgain)
{
    const struct {
        const char* name;
        int readAborts;
        DWORD errors;
    } cases[] = {
        {"read aborted", 1, 0},
        {"framing error reported", 0, CE_FRAME},
        {"overrun reported", 0, CE_OVERRUN},
    };
    std::vector<uint8_t> data(300);
    for (size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<uint8_t>(i * 7 + 1);
    }
    const uint32_t crc = CalcCRC(data.data(), data.size(), 0);
    const auto frame = [&] {
        std::vector<uint8_t> out = Wire(Packet(ACK, READ_CMD, crc));
        out.insert(out.end(), data.begin(), data.end());
        return out;
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CSerialPort port;
        OpenFake(port);
        std::vector<uint32_t> replies;
        m_com.board = [&](const std::vector<uint8_t>& bytes) {
            const ProtocolPacket reply = DecodePacket(bytes.data(), kPacketBufferSize);
            replies.push_back(reply.cmdType);
            if (reply.cmdType == NACK) {
                m_com.Queue(frame());
            } else {
                m_com.Queue(Wire(Packet(ACK, READ_CMD, crc)));
            }
        };
        m_com.Queue(frame());
        m_com.readAborts = c.readAborts;
        m_com.pendingErrors = c.errors;
        const std::string path = testing::TempDir() + "zolk_win_dump.bin";
        bool ok = false;
        testing::internal::CaptureStdout();
        {
            DumpFile file(path);
            ProtocolFW fw(&port);
            ok = fw.DumpProtocol(&file, READ_CMD, static_cast<uint32_t>(data.size()));
        }
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_TRUE(ok) << out;
        ASSERT_EQ(replies.size(), 2u);
        EXPECT_EQ(replies[0], static_cast<uint32_t>(NACK));
        EXPECT_EQ(replies[1], static_cast<uint32_t>(CHUNK_ACK));
        ZOLKFile back(path.c_str(), "rb");
        uint64_t got = 0;
        const uint8_t* bytes = back.Read(data.size(), &got);
        ASSERT_EQ(got, data.size());
        EXPECT_EQ(std::vector<uint8_t>(bytes, bytes + got), data);
        m_com.board = nullptr;
    }
}

// A write aborted by a line error of the input is taken up where it stopped.
TEST_F(FakeComTest, WriteAbortedByALineErrorGoesOn)
{
    CSerialPort port;
    OpenFake(port);
    m_com.writeAborts = 1;
    std::vector<uint8_t> bytes(100);
    for (size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<uint8_t>(i);
    }
    uint32_t written = 0;
    EXPECT_TRUE(port.SendData(bytes.data(), static_cast<uint32_t>(bytes.size()), &written));
    EXPECT_EQ(written, bytes.size());
    EXPECT_EQ(m_com.tx, bytes);
}

TEST_F(FakeComTest, StopRequestEndsAWaitWithoutABound)
{
    CSerialPort port;
    OpenFake(port);
    std::thread stopper([] {
        std::this_thread::sleep_for(300ms);
        RequestStop(2);
    });
    uint8_t buf[24] = {};
    uint32_t count = 0;
    testing::internal::CaptureStdout();
    const auto start = Clock::now();
    auto done = std::async(std::launch::async, [&] { return port.ReadFull(buf, sizeof(buf), &count, kWaitWithoutBound); });
    const bool ended = done.wait_for(5s) == std::future_status::ready;
    stopper.join();
    ASSERT_TRUE(ended);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_FALSE(done.get());
    EXPECT_LT(ms, 300 + 1000);
    EXPECT_EQ(port.LastFailure(), SerialFailure::kStopped);
    EXPECT_EQ(out, "");
}

}  // namespace

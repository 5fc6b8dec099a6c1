// The Win32 serial port without a device (names, failed open, the not-open
// path) and the console attributes when standard output is no console.
#include <gtest/gtest.h>

#include <string>

#include "support/console.h"
#include "transport/serial_port.h"

namespace {

TEST(Win32PortNames, PortNumbersAlwaysUseTheDevicePrefix)
{
    // COM10 and above only open through the \\.\ prefix.
    const struct {
        uint32_t port;
        const char* name;
    } cases[] = {
        {1, "\\\\.\\COM1"},
        {9, "\\\\.\\COM9"},
        {10, "\\\\.\\COM10"},
        {12, "\\\\.\\COM12"},
        {256, "\\\\.\\COM256"},
        {4294967295u, "\\\\.\\COM4294967295"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(CSerialPort::DeviceNameForPort(c.port), c.name) << c.port;
    }
}

TEST(Win32PortNames, TextNamesAreNormalisedOrRefused)
{
    const struct {
        const char* text;
        const char* name;
    } cases[] = {
        {"COM12", "\\\\.\\COM12"},
        {"com12", "\\\\.\\COM12"},
        {"Com3", "\\\\.\\COM3"},
        {"\\\\.\\COM12", "\\\\.\\COM12"},
        {"\\\\.\\com7", "\\\\.\\COM7"},
        {"", ""},
        {"COM", ""},
        {"COM0", ""},
        {"COM012", ""},
        {"COM1 ", ""},
        {"COM-1", ""},
        {"COM4294967296", ""},
        {"LPT1", ""},
        {"/dev/ttyS0", ""},
        {"\\\\.\\", ""},
        {"\\\\?\\COM1", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(CSerialPort::DeviceNameForText(c.text), c.name) << '"' << c.text << '"';
    }
    EXPECT_EQ(CSerialPort::DeviceNameForText(nullptr), "");
}

TEST(Win32Port, FailedOpenLeavesThePortClosedAndEveryCallRefuses)
{
    ConsoleForceTerminal(0);
    CSerialPort port;
    testing::internal::CaptureStdout();
    const bool opened = port.OpenPort("\\\\.\\COM249");
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_FALSE(opened);
    EXPECT_FALSE(port.IsOpen());
    EXPECT_FALSE(port.IsGone());
    EXPECT_NE(port.LastError(), 0);
    EXPECT_NE(out.find("] Failed open port(\\\\.\\COM249)\n"), std::string::npos) << out;
    EXPECT_NE(out.find("] Reason : "), std::string::npos) << out;

    const char* notOpen = "[ERROR] m_hComm == NULL || m_hComm == INVALID_HANDLE_VALUE\n";
    uint8_t buf[4] = {};
    uint32_t count = 7;
    testing::internal::CaptureStdout();
    EXPECT_FALSE(port.SetCommunicationTimeouts(10, 10, 10, 10, 10));
    EXPECT_FALSE(port.ConfigurePortA(460800, 8, 0, 0, 0));
    EXPECT_FALSE(port.SendData(buf, sizeof(buf), &count));
    EXPECT_FALSE(port.ReadDataTimeout(buf, sizeof(buf), &count, 1));
    EXPECT_FALSE(port.ReadFull(buf, sizeof(buf), &count, 10));
    EXPECT_FALSE(port.ReadTreshData(4));
    out = testing::internal::GetCapturedStdout();
    const char* tags[] = {"[CSerialPort::SetCommunicationTimeouts:", "[CSerialPort::ConfigurePortA:",
                          "[CSerialPort::SendData:", "[CSerialPort::ReadDataTimeout:",
                          "[CSerialPort::ReadFull:", "[CSerialPort::ReadTreshData:"};
    size_t at = 0;
    for (const char* tag : tags) {
        at = out.find(tag, at);
        ASSERT_NE(at, std::string::npos) << tag << " in\n" << out;
        EXPECT_EQ(out.compare(out.find("] ", at) + 2, std::strlen(notOpen), notOpen), 0) << out;
        ++at;
    }
    EXPECT_EQ(count, 7u) << "nothing may be transferred on a closed port";
    ConsoleForceTerminal(-1);
}

// Output that is a terminal but no Windows console (wine's Unix terminal,
// or a forced test with captured output) gets the same ANSI sequences as on
// POSIX; output that is no terminal gets nothing.
TEST(Win32Console, AttributesBecomeAnsiOffAConsole)
{
    const struct {
        uint16_t attribute;
        const char* sequence;
    } cases[] = {
        {12, "\x1b[0;91m"}, {10, "\x1b[0;92m"}, {9, "\x1b[0;94m"},    {7, "\x1b[0m"},
        {3, "\x1b[0;36m"},  {5, "\x1b[0;35m"},  {47, "\x1b[0;97;42m"},
    };
    ConsoleForceTerminal(1);
    EXPECT_TRUE(ConsoleIsTerminal());
    for (const auto& c : cases) {
        testing::internal::CaptureStdout();
        SetConsoleTextAttribute(c.attribute);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.sequence) << c.attribute;
    }
    testing::internal::CaptureStdout();
    ClearConsoleLine();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "\x1b[2K\r");

    ConsoleForceTerminal(0);
    EXPECT_FALSE(ConsoleIsTerminal());
    testing::internal::CaptureStdout();
    SetConsoleTextAttribute(12);
    ClearConsoleLine();
    SetConsoleTextAttribute(7);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    ConsoleForceTerminal(-1);
}

}  // namespace

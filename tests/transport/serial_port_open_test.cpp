// CSerialPort's open, line settings and device names over a real
// pseudo-terminal pair.
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

TEST(SerialPortOpen, MissingDeviceLeavesThePortClosed)
{
    CSerialPort port;
    const std::string out = Captured([&] { EXPECT_FALSE(port.OpenPort("/dev/zolk-no-such-tty")); });
    EXPECT_TRUE(HasMessage(out, "OpenPort", "Failed open port(/dev/zolk-no-such-tty)\n")) << out;
    EXPECT_TRUE(HasMessage(out, "OpenPort", "Reason : No such file or directory\n")) << out;
    EXPECT_FALSE(port.IsOpen());

    const std::string next = Captured([&] { EXPECT_FALSE(port.SetCommunicationTimeouts(10, 10, 10, 10, 10)); });
    EXPECT_TRUE(HasMessage(next, "SetCommunicationTimeouts", kNotOpen)) << next;
}

TEST(SerialPortOpen, EveryOperationOnAClosedPortReportsNotOpen)
{
    CSerialPort port;
    uint8_t buf[4] = {};
    uint32_t got = 0;
    const struct {
        const char* op;
        std::function<bool()> call;
    } cases[] = {
        {"ConfigurePortA", [&] { return port.ConfigurePortA(115200, 8, 0, 0, 0); }},
        {"SetCommunicationTimeouts", [&] { return port.SetCommunicationTimeouts(1, 1, 1, 1, 1); }},
        {"SendData", [&] { return port.SendData(buf, 4, &got); }},
        {"ReadDataTimeout", [&] { return port.ReadDataTimeout(buf, 4, &got, 1); }},
        {"ReadTreshData", [&] { return port.ReadTreshData(4); }},
        {"ReadFull", [&] { return port.ReadFull(buf, 4, &got, 10); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.op);
        bool result = true;
        const std::string out = Captured([&] { result = c.call(); });
        EXPECT_FALSE(result);
        EXPECT_TRUE(HasMessage(out, c.op, kNotOpen)) << out;
    }
}

TEST(SerialPortOpen, OpenReportsSuccessAndKeepsOthersOut)
{
    PtyPair pty;
    {
        CSerialPort first;
        const std::string out = Captured([&] { EXPECT_TRUE(first.OpenPort(pty.SlavePath().c_str())); });
        EXPECT_TRUE(HasMessage(out, "OpenPort", "Complete open port(" + pty.SlavePath() + ")\n")) << out;
        EXPECT_TRUE(first.IsOpen());

        CSerialPort second;
        const std::string busy = Captured([&] { EXPECT_FALSE(second.OpenPort(pty.SlavePath().c_str())); });
        EXPECT_TRUE(HasMessage(busy, "OpenPort", "Failed open port(" + pty.SlavePath() + ")\n")) << busy;
        EXPECT_TRUE(HasMessage(busy, "OpenPort", "Reason : Device or resource busy\n")) << busy;
        EXPECT_FALSE(second.IsOpen());
    }
    // The first port's destructor released the device.
    CSerialPort again;
    EXPECT_TRUE(again.OpenPort(pty.SlavePath().c_str()));
}

TEST(SerialPortConfigure, LineSettingsReachTheDevice)
{
    const struct {
        uint32_t baud;
        uint8_t parityCheck, parity, stopBits;
        speed_t speed;
        tcflag_t cflags;  // expected among CSIZE | PARENB | PARODD | CSTOPB
        bool inputCheck;
    } cases[] = {
        {921600, 0, 0, 0, B921600, CS8, false},
        {460800, 0, 0, 0, B460800, CS8, false},
        {115200, 0, 0, 0, B115200, CS8, false},
        {57600, 0, 0, 0, B57600, CS8, false},
        {9600, 1, 0, 2, B9600, CS8 | CSTOPB, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.baud);
        PtyPair pty;
        CSerialPort port;
        ASSERT_TRUE(port.OpenPort(pty.SlavePath().c_str()));
        ASSERT_TRUE(port.ConfigurePortA(c.baud, 8, c.parityCheck, c.parity, c.stopBits));

        // A pty pair shares one set of line settings, seen from the master
        // (the pty driver forces 8 bits without parity, so parity is not
        // among the cases).
        termios tio {};
        ASSERT_EQ(tcgetattr(pty.MasterFd(), &tio), 0);
        EXPECT_EQ(cfgetospeed(&tio), c.speed);
        EXPECT_EQ(tio.c_cflag & (CSIZE | PARENB | PARODD | CSTOPB), c.cflags);
        EXPECT_EQ((tio.c_iflag & INPCK) != 0, c.inputCheck);
        EXPECT_TRUE(tio.c_cflag & CREAD);
        EXPECT_TRUE(tio.c_cflag & CLOCAL);
        EXPECT_FALSE(tio.c_cflag & CRTSCTS);
        EXPECT_FALSE(tio.c_iflag & (IXON | IXOFF | ICRNL | INLCR | IGNCR));
        EXPECT_FALSE(tio.c_oflag & OPOST);
        EXPECT_FALSE(tio.c_lflag & (ECHO | ICANON | ISIG));
        EXPECT_EQ(tio.c_cc[VMIN], 0);
        EXPECT_EQ(tio.c_cc[VTIME], 0);
    }
}

TEST(SerialPortConfigure, RefusedSettingsCloseThePort)
{
    const struct {
        uint32_t baud;
        uint8_t byteSize, parity, stopBits;
    } cases[] = {
        {12345, 8, 0, 0},
        {115200, 9, 0, 0},
        {115200, 8, 7, 0},
        {115200, 8, 0, 5},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.baud << " " << int(c.byteSize) << " " << int(c.parity) << " "
                                        << int(c.stopBits));
        PtyPair pty;
        CSerialPort port;
        ASSERT_TRUE(port.OpenPort(pty.SlavePath().c_str()));
        const std::string out =
            Captured([&] { EXPECT_FALSE(port.ConfigurePortA(c.baud, c.byteSize, 0, c.parity, c.stopBits)); });
        EXPECT_TRUE(HasMessage(out, "ConfigurePortA", "GetLastError : ")) << out;
        EXPECT_TRUE(HasMessage(out, "ConfigurePortA", "Failed SetCommState\n")) << out;
        EXPECT_FALSE(port.IsOpen());

        uint32_t sent = 0;
        const std::string next = Captured([&] { EXPECT_FALSE(port.SendData("x", 1, &sent)); });
        EXPECT_TRUE(HasMessage(next, "SendData", kNotOpen)) << next;
        EXPECT_TRUE(pty.Read(1, 50).empty());
    }
}

// A device that opens but is no serial line is refused at the open, with the
// reason, before anything could be sent to it.
TEST(SerialPortOpen, NonTerminalIsRefused)
{
    const std::string file = testing::TempDir() + "zolk_not_a_tty.txt";
    FILE* f = std::fopen(file.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fputs("not a line\n", f);
    std::fclose(f);
    for (const std::string& name : {std::string("/dev/null"), file}) {
        SCOPED_TRACE(name);
        CSerialPort port;
        const std::string out = Captured([&] { EXPECT_FALSE(port.OpenPort(name.c_str())); });
        EXPECT_TRUE(HasMessage(out, "OpenPort", "Failed open port(" + name + ")\n")) << out;
        EXPECT_TRUE(HasMessage(out, "OpenPort", "Reason : not a serial line (")) << out;
        EXPECT_FALSE(port.IsOpen());
    }
    std::remove(file.c_str());
}

TEST(SerialPortNames, DeviceNames)
{
    const struct {
        uint32_t port;
        const char* name;
    } ports[] = {{1, "/dev/ttyS0"}, {4, "/dev/ttyS3"}, {12, "/dev/ttyS11"}, {0, ""}};
    for (const auto& c : ports) {
        EXPECT_EQ(CSerialPort::DeviceNameForPort(c.port), c.name) << c.port;
    }
    const struct {
        const char* text;
        const char* name;
    } texts[] = {{"/dev/ttyUSB0", "/dev/ttyUSB0"}, {"/dev/pts/3", "/dev/pts/3"}, {"./ttyFAKE", "./ttyFAKE"},
                 {"COM3", ""}, {"3", ""}, {"", ""}};
    for (const auto& c : texts) {
        EXPECT_EQ(CSerialPort::DeviceNameForText(c.text), c.name) << c.text;
    }
}

}  // namespace

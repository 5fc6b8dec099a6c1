// The port lister against fake machines: a sys and dev tree in a temporary
// directory laid out as the kernel and udev lay them out (tty class links
// into the device tree, "device", "driver" and "subsystem" links, USB
// attributes on the USB device above the interface), and what the list, the
// prompt's list, --port auto and the link resolution make of it.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "common/output_capture.h"
#include "common/temp_dir.h"
#include "support/console.h"
#include "transport/port_list.h"

namespace {

namespace fs = std::filesystem;

struct UsbStrings {
    const char* vendorId;
    const char* productId;
    const char* maker;  // nullptr: the device has no such string
    const char* product;
    const char* serial;
};

class FakeMachine {
public:
    FakeMachine()
    {
        if (!m_root.Made()) {
            ADD_FAILURE() << "no temporary directory";
            return;
        }
        fs::create_directories(m_root / "sys/class/tty");
        fs::create_directories(m_root / "dev");
        // The root hub has ids of its own: the lister must stop below it.
        Attribute("pci0000:00/0000:00:14.0/usb1", "idVendor", "1d6b");
        Attribute("pci0000:00/0000:00:14.0/usb1", "idProduct", "0002");
        // The console and virtual terminals have no device behind them.
        Tty("tty0", "virtual/tty", false);
        Tty("console", "virtual/tty", false);
    }
    std::string Root() const { return m_root.String(); }

    // An adapter on USB port `port` of the hub: ftdi-style (ttyUSB, a
    // usb-serial port below the interface) or cdc-acm (ttyACM, the tty
    // right below the interface).
    void AddUsbAdapter(const std::string& tty, const std::string& port, const UsbStrings& s)
    {
        const std::string usb = "pci0000:00/0000:00:14.0/usb1/" + port;
        Attribute(usb, "idVendor", s.vendorId);
        Attribute(usb, "idProduct", s.productId);
        OptionalAttribute(usb, "manufacturer", s.maker);
        OptionalAttribute(usb, "product", s.product);
        OptionalAttribute(usb, "serial", s.serial);
        const std::string interface = usb + "/" + port + ":1.0";
        if (tty.rfind("ttyACM", 0) == 0) {
            Bus(interface, "usb", "cdc_acm");
            Tty(tty, interface, true);
        } else {
            Bus(interface, "usb", "ftdi_sio");
            Bus(interface + "/" + tty, "usb-serial", "ftdi_sio");
            Tty(tty, interface + "/" + tty, true);
        }
    }

    // A UART of the platform bus, with the serial-base ctrl and port
    // devices newer kernels put between it and its tty.
    void AddPlatformUart(const std::string& tty, int line, const char* type)
    {
        Bus("platform/serial8250", "platform", "serial8250");
        Bus("platform/serial8250/serial8250:0", "serial-base", "ctrl");
        const std::string port = "platform/serial8250/serial8250:0/serial8250:0." + std::to_string(line);
        Bus(port, "serial-base", "port");
        Tty(tty, port, true);
        Attribute(port + "/tty/" + tty, "type", type);
    }

    // A UART found by PnP, its tty right below it (kernels before the
    // serial-base devices).
    void AddPnpUart(const std::string& tty, const std::string& id)
    {
        Bus("pnp0/" + id, "pnp", "serial");
        Tty(tty, "pnp0/" + id, true);
        Attribute("pnp0/" + id + "/tty/" + tty, "type", "4");
    }

    // A /dev/serial/by-id link as udev makes it: relative, to ../../<target>.
    void AddById(const std::string& name, const std::string& target)
    {
        fs::create_directories(m_root / "dev/serial/by-id");
        fs::create_symlink("../../" + target, m_root / "dev/serial/by-id" / name);
    }

private:
    fs::path Devices(const std::string& rel) const { return m_root / "sys/devices" / rel; }

    void Attribute(const std::string& dir, const char* name, const std::string& value)
    {
        fs::create_directories(Devices(dir));
        std::ofstream(Devices(dir) / name) << value << "\n";
    }
    void OptionalAttribute(const std::string& dir, const char* name, const char* value)
    {
        if (value != nullptr) {
            Attribute(dir, name, value);
        }
    }
    // A relative link, as sysfs has them.
    void Link(const fs::path& at, const fs::path& target)
    {
        fs::create_directories(at.parent_path());
        fs::create_directories(target);
        fs::create_symlink(fs::relative(target, at.parent_path()), at);
    }
    void Bus(const std::string& dir, const std::string& bus, const std::string& driver)
    {
        const fs::path busDir = m_root / "sys/bus" / bus;
        if (!fs::exists(Devices(dir) / "subsystem")) {
            Link(Devices(dir) / "subsystem", busDir);
            Link(Devices(dir) / "driver", busDir / "drivers" / driver);
        }
    }
    void Tty(const std::string& name, const std::string& parent, bool withDevice)
    {
        const fs::path dir = Devices(parent) / (withDevice ? "tty/" + name : name);
        fs::create_directories(dir);
        if (withDevice) {
            Link(dir / "device", Devices(parent));
        }
        Link(m_root / "sys/class/tty" / name, dir);
    }

    TempDir m_root{"zolk_ports"};
};

const UsbStrings kFtdi = {"0403", "6001", "FTDI", "FT232R USB UART", "A1B2C3"};
const UsbStrings kPico = {"2e8a", "000a", "Raspberry Pi", "Pico", "E6605838"};
// A cheap adapter without a maker or serial string.
const UsbStrings kCh340 = {"1a86", "7523", nullptr, "USB Serial", nullptr};

class PortListTest : public testing::Test {
protected:
    void SetUp() override { ConsoleForceTerminal(0); }
    void TearDown() override { ConsoleForceTerminal(-1); }
};

TEST_F(PortListTest, ListsEachKindOfPort)
{
    FakeMachine m;
    m.AddUsbAdapter("ttyUSB0", "1-2", kFtdi);
    m.AddUsbAdapter("ttyACM0", "1-3", kPico);
    m.AddUsbAdapter("ttyUSB1", "1-4", kCh340);
    m.AddPlatformUart("ttyS0", 0, "4");
    m.AddPlatformUart("ttyS1", 1, "0");  // a slot without a UART
    m.AddPnpUart("ttyS10", "00:05");
    m.AddPnpUart("ttyS2", "00:06");
    m.AddById("usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0", "ttyUSB0");
    m.AddById("usb-Raspberry_Pi_Pico_E6605838-if00", "ttyACM0");
    m.AddById("usb-gone_0000-if00-port0", "ttyUSB7");  // a stale link leads nowhere

    const struct {
        const char* line;
        const char* driver;
        bool isUsb;
    } expected[] = {
        {"/dev/ttyACM0  usb 2e8a:000a \"Raspberry Pi\" \"Pico\" serial E6605838  "
         "(/dev/serial/by-id/usb-Raspberry_Pi_Pico_E6605838-if00)",
         "cdc_acm", true},
        {"/dev/ttyS0  platform serial8250", "serial8250", false},
        {"/dev/ttyS2  pnp serial", "serial", false},
        {"/dev/ttyS10  pnp serial", "serial", false},
        {"/dev/ttyUSB0  usb 0403:6001 \"FTDI\" \"FT232R USB UART\" serial A1B2C3  "
         "(/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0)",
         "ftdi_sio", true},
        {"/dev/ttyUSB1  usb 1a86:7523 \"USB Serial\"", "ftdi_sio", true},
    };
    const std::vector<SerialPortInfo> ports = ListSerialPorts(m.Root());
    ASSERT_EQ(ports.size(), std::size(expected));
    for (size_t i = 0; i < ports.size(); ++i) {
        EXPECT_EQ(PortLine(ports[i]), expected[i].line);
        EXPECT_EQ(ports[i].driver, expected[i].driver) << ports[i].device;
        EXPECT_EQ(ports[i].isUsb, expected[i].isUsb) << ports[i].device;
    }

    OutputCapture cap;
    EXPECT_TRUE(PrintPortList(ports));
    PrintPortsBeforePrompt(ports);
    cap.Restore();
    std::string list;
    for (const auto& e : expected) {
        list += std::string(e.line) + "\n";
    }
    EXPECT_EQ(WithoutLines(cap.Out()), list +
                             "[PrintPortsBeforePrompt:N] Serial ports:\n"
                             "  /dev/ttyACM0  Pico\n"
                             "  /dev/ttyS0  platform serial8250\n"
                             "  /dev/ttyS2  pnp serial\n"
                             "  /dev/ttyS10  pnp serial\n"
                             "  /dev/ttyUSB0  FT232R USB UART\n"
                             "  /dev/ttyUSB1  USB Serial\n");
}

// The strings come from the USB device: control characters in them are not
// passed to the terminal.
TEST_F(PortListTest, DeviceStringsCannotReachTheTerminalAsControls)
{
    FakeMachine m;
    m.AddUsbAdapter("ttyUSB0", "1-2", {"0403", "6001", "Evil\x1b]0;owned\x07", "A\x1b[2JB", "1\r2"});
    const std::vector<SerialPortInfo> ports = ListSerialPorts(m.Root());
    ASSERT_EQ(ports.size(), 1u);
    EXPECT_EQ(PortLine(ports[0]), "/dev/ttyUSB0  usb 0403:6001 \"Evil?]0;owned?\" \"A?[2JB\" serial 1?2");
}

TEST_F(PortListTest, NoPorts)
{
    for (const bool emptyTree : {true, false}) {
        FakeMachine m;
        if (!emptyTree) {
            m.AddPlatformUart("ttyS0", 0, "0");
        }
        const std::vector<SerialPortInfo> ports = ListSerialPorts(emptyTree ? m.Root() + "/missing" : m.Root());
        EXPECT_TRUE(ports.empty());
        OutputCapture cap;
        EXPECT_FALSE(PrintPortList(ports));
        PrintPortsBeforePrompt(ports);
        cap.Restore();
        EXPECT_EQ(WithoutLines(cap.Out()),
                  "[PrintPortList:N] No serial port found\n[PrintPortsBeforePrompt:N] No serial port found\n");
    }
}

// --port auto takes the one USB port; a UART beside it does not count.
TEST_F(PortListTest, AutoTakesTheOneUsbPort)
{
    const std::string uart = "/dev/ttyS0  platform serial8250\n";
    const std::string ftdi = "/dev/ttyUSB2  usb 0403:6001 \"FTDI\" \"FT232R USB UART\" serial A1B2C3\n";
    const std::string pico = "/dev/ttyUSB10  usb 2e8a:000a \"Raspberry Pi\" \"Pico\" serial E6605838\n";
    const struct {
        int usbPorts;
        bool chosen;
        const char* device;
        std::string out;
    } cases[] = {
        {0, false, "",
         "[ChooseAutoPort:N] Port auto: no USB serial port found - give the port with --port [port]\n" + uart},
        {1, true, "/dev/ttyUSB2", "[ChooseAutoPort:N] Port auto: /dev/ttyUSB2 (FT232R USB UART)\n"},
        {2, false, "",
         "[ChooseAutoPort:N] Port auto: 2 USB serial ports found - choose one with --port [port]\n" + uart + ftdi +
             pico},
    };
    for (const auto& c : cases) {
        FakeMachine m;
        m.AddPlatformUart("ttyS0", 0, "4");
        if (c.usbPorts >= 1) {
            m.AddUsbAdapter("ttyUSB2", "1-2", kFtdi);
        }
        if (c.usbPorts >= 2) {
            m.AddUsbAdapter("ttyUSB10", "1-3", kPico);
        }
        std::string device = "untouched";
        OutputCapture cap;
        const bool chosen = ChooseAutoPort(ListSerialPorts(m.Root()), &device);
        cap.Restore();
        EXPECT_EQ(chosen, c.chosen) << c.usbPorts;
        EXPECT_EQ(device, c.chosen ? c.device : "untouched") << c.usbPorts;
        EXPECT_EQ(WithoutLines(cap.Out()), c.out) << c.usbPorts;
    }
}

// A port name that is a link opens what it leads to, and says so; anything
// else is left to the open (and its message).
TEST_F(PortListTest, LinksAreResolved)
{
    FakeMachine m;
    const fs::path dir = m.Root();
    std::ofstream(dir / "tty0") << "";
    fs::create_symlink(dir / "tty0", dir / "direct");
    fs::create_symlink("direct", dir / "chained");
    fs::create_symlink(dir / "nothing", dir / "dangling");
    const std::string device = (dir / "tty0").string();
    const struct {
        std::string name;
        std::string opened;
        bool said;
    } cases[] = {
        {(dir / "direct").string(), device, true},
        {(dir / "chained").string(), device, true},
        {device, device, false},
        {(dir / "dangling").string(), (dir / "dangling").string(), false},
        {"/dev/zolk_missing_tty", "/dev/zolk_missing_tty", false},
    };
    for (const auto& c : cases) {
        OutputCapture cap;
        const std::string opened = ResolvePortLink(c.name);
        cap.Restore();
        EXPECT_EQ(opened, c.opened) << c.name;
        EXPECT_EQ(WithoutLines(cap.Out()),
                  c.said ? "[ResolvePortLink:N] Port " + c.name + " links to " + c.opened + "\n" : "")
            << c.name;
    }
}

}  // namespace

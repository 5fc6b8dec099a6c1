// The serial ports of the machine: what --list-ports prints, what the port
// prompt shows, which port --port auto takes, and the device behind a port
// name that is a symbolic link.
//
// ListSerialPorts is defined per platform (port_list_posix.cpp reads sysfs,
// port_list_win32.cpp asks SetupAPI); the rest is in port_list.cpp.
#pragma once

#include <string>
#include <vector>

struct SerialPortInfo {
    std::string device;       // what --port takes: /dev/ttyUSB0, COM3
    std::string link;         // the stable name of the device: /dev/serial/by-id/usb-...
    std::string description;  // a port without USB ids: "pnp serial"; on Windows the friendly name
    std::string driver;       // the kernel driver (Linux) or the device's service (Windows)
    bool isUsb = false;
    std::string vendorId;     // four hexadecimal digits, USB only
    std::string productId;
    std::string maker;        // the USB device's own strings, when it has them
    std::string product;
    std::string serial;
};

// The serial ports present, sorted by device name (ttyS2 before ttyS10).
// root is "" for the machine itself; on Linux a directory holding a sys/ and
// dev/ tree laid out like the kernel's is read instead (the tests' fake
// machines). Windows ignores root. Ports whose UART is missing (a ttyS slot
// the kernel reserves without hardware) are left out.
std::vector<SerialPortInfo> ListSerialPorts(const std::string& root = "");
// What ListSerialPorts sorts and cleans: the ports as the platform reports
// them (port_list_posix.cpp, port_list_win32.cpp).
std::vector<SerialPortInfo> ListPlatformSerialPorts(const std::string& root);

// One line of --list-ports:
//   /dev/ttyUSB0  usb 0403:6001 "FTDI" "FT232R USB UART" serial A1B2C3  (/dev/serial/by-id/usb-...)
//   /dev/ttyS4  platform serial8250
//   COM3  USB Serial Port (COM3)  usb 0403:6001
std::string PortLine(const SerialPortInfo& port);
// The device and what it is, in a few words (the product name for a USB
// adapter): the lines of the list shown before the port prompt.
std::string PortShortLine(const SerialPortInfo& port);

// --list-ports: one line per port on standard output; true when there was
// at least one, else a message says none was found.
bool PrintPortList(const std::vector<SerialPortInfo>& ports);
// The short list shown before the port prompt, or a line saying none was
// found.
void PrintPortsBeforePrompt(const std::vector<SerialPortInfo>& ports);

// --port auto: the one USB serial port among ports, named for the port's
// open, with a line saying which it is. With none or several it refuses and
// shows the list (false; *device untouched).
bool ChooseAutoPort(const std::vector<SerialPortInfo>& ports, std::string* device);

// The device to open for a port name: a symbolic link (a by-id name, a link
// made by qex_sim --link) is replaced by the device it leads to, with a line
// naming both; any other name, or a link that leads nowhere, is returned as
// it is.
std::string ResolvePortLink(const std::string& name);

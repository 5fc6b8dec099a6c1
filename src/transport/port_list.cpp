// The port list on every platform: order, clean-up of the device's own
// strings, the lines printed, the choice of --port auto and link resolution.
#include "transport/port_list.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <string_view>
#include <system_error>

#include "support/logger.h"
#include "transport/serial_port.h"

namespace {

namespace fs = std::filesystem;

// Strings of a USB device come from the device itself: a control character
// in them would reach the terminal as an escape sequence.
void CleanText(std::string* text)
{
    for (char& c : *text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            c = '?';
        }
    }
}

void CleanPort(SerialPortInfo* port)
{
    for (std::string* text : {&port->device, &port->link, &port->description, &port->driver, &port->vendorId,
                              &port->productId, &port->maker, &port->product, &port->serial}) {
        CleanText(text);
    }
}

bool IsDigit(char c)
{
    return std::isdigit(static_cast<unsigned char>(c)) != 0;
}

// The number written at *pos, without its leading zeros; *pos moves past it.
std::string_view NumberAt(std::string_view text, size_t* pos)
{
    size_t end = *pos;
    while (end < text.size() && IsDigit(text[end])) {
        ++end;
    }
    size_t first = *pos;
    while (first < end && text[first] == '0') {
        ++first;
    }
    *pos = end;
    return text.substr(first, end - first);
}

// Device names in the order a person counts them: ttyS2 before ttyS10,
// COM3 before COM10.
bool NaturalLess(std::string_view a, std::string_view b)
{
    size_t i = 0;
    size_t j = 0;
    while (i < a.size() && j < b.size()) {
        if (IsDigit(a[i]) && IsDigit(b[j])) {
            const std::string_view na = NumberAt(a, &i);
            const std::string_view nb = NumberAt(b, &j);
            if (na.size() != nb.size()) {
                return na.size() < nb.size();
            }
            if (na != nb) {
                return na < nb;
            }
        } else if (a[i] != b[j]) {
            return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]);
        } else {
            ++i;
            ++j;
        }
    }
    return a.size() - i < b.size() - j;
}

std::string UsbIds(const SerialPortInfo& port)
{
    return "usb " + port.vendorId + ":" + port.productId;
}

std::vector<const SerialPortInfo*> UsbPorts(const std::vector<SerialPortInfo>& ports)
{
    std::vector<const SerialPortInfo*> usb;
    for (const SerialPortInfo& port : ports) {
        if (port.isUsb) {
            usb.push_back(&port);
        }
    }
    return usb;
}

// What the device is, in a few words; empty when nothing is known.
std::string ShortName(const SerialPortInfo& port)
{
    if (!port.product.empty()) {
        return port.product;
    }
    if (!port.description.empty()) {
        return port.description;
    }
    return port.isUsb ? UsbIds(port) : std::string();
}

}  // namespace

std::vector<SerialPortInfo> ListSerialPorts(const std::string& root)
{
    std::vector<SerialPortInfo> ports = ListPlatformSerialPorts(root);
    for (SerialPortInfo& port : ports) {
        CleanPort(&port);
    }
    std::sort(ports.begin(), ports.end(),
              [](const SerialPortInfo& a, const SerialPortInfo& b) { return NaturalLess(a.device, b.device); });
    return ports;
}

std::string PortLine(const SerialPortInfo& port)
{
    std::string line = port.device;
    if (!port.description.empty()) {
        line += "  " + port.description;
    }
    if (port.isUsb) {
        line += "  " + UsbIds(port);
        if (!port.maker.empty()) {
            line += " \"" + port.maker + "\"";
        }
        if (!port.product.empty()) {
            line += " \"" + port.product + "\"";
        }
        if (!port.serial.empty()) {
            line += " serial " + port.serial;
        }
    }
    if (!port.link.empty()) {
        line += "  (" + port.link + ")";
    }
    return line;
}

std::string PortShortLine(const SerialPortInfo& port)
{
    const std::string name = ShortName(port);
    return name.empty() ? port.device : port.device + "  " + name;
}

bool PrintPortList(const std::vector<SerialPortInfo>& ports)
{
    if (ports.empty()) {
        LOG_MSG(LOG_ERROR, "[PrintPortList:%d] ", "No serial port found\n");
        return false;
    }
    for (const SerialPortInfo& port : ports) {
        LOG_MSG(LOG_BARE, "[PrintPortList:%d] ", "%s\n", PortLine(port).c_str());
    }
    return true;
}

void PrintPortsBeforePrompt(const std::vector<SerialPortInfo>& ports)
{
    if (ports.empty()) {
        LOG_MSG(LOG_INFO, "[PrintPortsBeforePrompt:%d] ", "No serial port found\n");
        return;
    }
    LOG_MSG(LOG_INFO, "[PrintPortsBeforePrompt:%d] ", "Serial ports:\n");
    for (const SerialPortInfo& port : ports) {
        LOG_MSG(LOG_BARE, "[PrintPortsBeforePrompt:%d] ", "  %s\n", PortShortLine(port).c_str());
    }
}

bool ChooseAutoPort(const std::vector<SerialPortInfo>& ports, std::string* device)
{
    const std::vector<const SerialPortInfo*> usb = UsbPorts(ports);
    if (usb.size() == 1) {
        const SerialPortInfo& port = *usb.front();
        const std::string name = ShortName(port);
        // On Windows the device is "COM3", opened as \\.\COM3.
        const std::string open = CSerialPort::DeviceNameForText(port.device.c_str());
        *device = open.empty() ? port.device : open;
        if (name.empty()) {
            LOG_MSG(LOG_DETAIL, "[ChooseAutoPort:%d] ", "Port auto: %s\n", port.device.c_str());
        } else {
            LOG_MSG(LOG_DETAIL, "[ChooseAutoPort:%d] ", "Port auto: %s (%s)\n", port.device.c_str(), name.c_str());
        }
        return true;
    }
    if (usb.empty()) {
        LOG_MSG(LOG_ERROR, "[ChooseAutoPort:%d] ",
                "Port auto: no USB serial port found - give the port with --port [port]\n");
    } else {
        LOG_MSG(LOG_ERROR, "[ChooseAutoPort:%d] ",
                "Port auto: %lu USB serial ports found - choose one with --port [port]\n",
                static_cast<unsigned long>(usb.size()));
    }
    for (const SerialPortInfo& port : ports) {
        LOG_MSG(LOG_BARE, "[ChooseAutoPort:%d] ", "%s\n", PortLine(port).c_str());
    }
    return false;
}

std::string ResolvePortLink(const std::string& name)
{
    std::error_code ec;
    if (!fs::is_symlink(fs::path(name), ec)) {
        return name;
    }
    const fs::path target = fs::canonical(fs::path(name), ec);
    if (ec) {
        return name;  // the open names the missing device
    }
    const std::string device = target.string();
    LOG_MSG(LOG_DETAIL, "[ResolvePortLink:%d] ", "Port %s links to %s\n", name.c_str(), device.c_str());
    return device;
}

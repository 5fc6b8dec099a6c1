// The serial ports of a Linux machine, read from sysfs: every tty class entry
// with a device behind it, with the USB device's ids and strings for an
// adapter and the /dev/serial/by-id name udev gave it.
#include "transport/port_list.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <system_error>
#include <utility>
#include <vector>

namespace {

namespace fs = std::filesystem;

// The first line of a sysfs attribute, without its line end; empty when the
// attribute is missing or unreadable.
std::string ReadAttribute(const fs::path& file)
{
    std::ifstream in(file);
    std::string line;
    if (!in || !std::getline(in, line)) {
        return std::string();
    }
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == ' ')) {
        line.pop_back();
    }
    return line;
}

// The last part of what a link (a device's "driver", "subsystem") points to.
std::string LinkName(const fs::path& link)
{
    std::error_code ec;
    const fs::path target = fs::read_symlink(link, ec);
    return ec ? std::string() : target.filename().string();
}

bool IsBelow(const fs::path& path, const fs::path& top)
{
    const std::string p = path.string();
    const std::string t = top.string();
    return p.size() > t.size() && p.compare(0, t.size(), t) == 0 && p[t.size()] == '/';
}

// Kernels since 6.5 put a serial-base "port" and "ctrl" device between a
// UART's tty and the hardware; the driver worth naming is the hardware's.
fs::path HardwareDevice(fs::path device, const fs::path& devices)
{
    while (LinkName(device / "subsystem") == "serial-base" && IsBelow(device.parent_path(), devices)) {
        device = device.parent_path();
    }
    return device;
}

// The USB device a tty belongs to: the nearest directory above it with a
// vendor id (the interface and the usb-serial port below it have none, the
// hub above it has its own). Empty for a port that is not on USB.
fs::path UsbDevice(fs::path device, const fs::path& devices)
{
    std::error_code ec;
    for (; IsBelow(device, devices); device = device.parent_path()) {
        if (fs::exists(device / "idVendor", ec)) {
            return device;
        }
    }
    return fs::path();
}

// The /dev/serial/by-id names, by the device path (under base) each leads to.
std::vector<std::pair<fs::path, std::string>> ByIdLinks(const fs::path& base)
{
    std::vector<std::pair<fs::path, std::string>> links;
    const fs::path dir = base / "dev/serial/by-id";
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code linkError;
        const fs::path target = fs::read_symlink(it->path(), linkError);
        if (linkError) {
            continue;
        }
        const fs::path device = target.is_absolute() ? base / target.relative_path() : dir / target;
        links.emplace_back(device.lexically_normal(), "/dev/serial/by-id/" + it->path().filename().string());
    }
    std::sort(links.begin(), links.end());
    return links;
}

}  // namespace

std::vector<SerialPortInfo> ListPlatformSerialPorts(const std::string& root)
{
    const fs::path base = root.empty() ? fs::path("/") : fs::path(root);
    std::vector<SerialPortInfo> ports;
    std::error_code ec;
    const fs::path devices = fs::canonical(base / "sys/devices", ec);
    if (ec) {
        return ports;
    }
    const std::vector<std::pair<fs::path, std::string>> byId = ByIdLinks(base);
    const fs::path classDir = base / "sys/class/tty";
    for (fs::directory_iterator it(classDir, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        // Virtual terminals, pseudo-terminals and the console have no device.
        std::error_code deviceError;
        const fs::path device = fs::canonical(it->path() / "device", deviceError);
        if (deviceError) {
            continue;
        }
        // The kernel keeps ttyS slots for UARTs that are not there; their
        // type is 0 (no UART) and opening them fails.
        if (ReadAttribute(it->path() / "type") == "0") {
            continue;
        }
        SerialPortInfo port;
        port.device = "/dev/" + name;
        const fs::path hardware = HardwareDevice(device, devices);
        port.driver = LinkName(hardware / "driver");
        const fs::path usb = UsbDevice(device, devices);
        if (!usb.empty()) {
            port.isUsb = true;
            port.vendorId = ReadAttribute(usb / "idVendor");
            port.productId = ReadAttribute(usb / "idProduct");
            port.maker = ReadAttribute(usb / "manufacturer");
            port.product = ReadAttribute(usb / "product");
            port.serial = ReadAttribute(usb / "serial");
        } else {
            const std::string bus = LinkName(hardware / "subsystem");
            port.description = bus.empty() ? port.driver : (port.driver.empty() ? bus : bus + " " + port.driver);
        }
        const fs::path node = (base / "dev" / name).lexically_normal();
        for (const auto& [target, link] : byId) {
            if (target == node) {
                port.link = link;
                break;
            }
        }
        ports.push_back(port);
    }
    return ports;
}

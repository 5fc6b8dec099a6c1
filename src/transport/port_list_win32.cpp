// The serial ports of a Windows machine, from SetupAPI: every present device
// with a COM port interface, its COM name from the device's registry key,
// its friendly name, and for a USB adapter the ids of its hardware id and
// the product string the device reports.
#include "transport/port_list.h"

#include <windows.h>

#include <devpropdef.h>
#include <setupapi.h>

#include <cctype>
#include <cstring>
#include <vector>

namespace {

// GUID_DEVINTERFACE_COMPORT and DEVPKEY_Device_BusReportedDeviceDesc,
// written out: the headers only define them in one unit that includes
// initguid.h first.
const GUID kComPortInterface = {0x86E0D1E0, 0x8089, 0x11D0, {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}};
const DEVPROPKEY kBusReportedDeviceDesc = {
    {0x540b947e, 0x8b40, 0x45bc, {0xa8, 0xa2, 0x6a, 0x0b, 0x89, 0x4c, 0xbd, 0xa2}}, 4};

std::string Utf8(const wchar_t* text)
{
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 1) {
        return std::string();
    }
    std::string out(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), size, nullptr, nullptr);
    out.resize(static_cast<size_t>(size) - 1);
    return out;
}

// A text property of the device (the first string of a list property);
// empty when the device has none.
std::string RegistryProperty(HDEVINFO set, SP_DEVINFO_DATA* info, DWORD property)
{
    wchar_t buffer[1024] = {};
    DWORD type = 0;
    if (!SetupDiGetDeviceRegistryPropertyW(set, info, property, &type, reinterpret_cast<BYTE*>(buffer),
                                           sizeof(buffer) - sizeof(wchar_t), nullptr)) {
        return std::string();
    }
    if (type != REG_SZ && type != REG_MULTI_SZ) {
        return std::string();
    }
    return Utf8(buffer);
}

std::string BusReportedName(HDEVINFO set, SP_DEVINFO_DATA* info)
{
    wchar_t buffer[512] = {};
    DEVPROPTYPE type = 0;
    if (!SetupDiGetDevicePropertyW(set, info, &kBusReportedDeviceDesc, &type, reinterpret_cast<BYTE*>(buffer),
                                   sizeof(buffer) - sizeof(wchar_t), nullptr, 0) ||
        type != DEVPROP_TYPE_STRING) {
        return std::string();
    }
    return Utf8(buffer);
}

// The COM name the port's driver took, from the device's own registry key.
std::string PortName(HDEVINFO set, SP_DEVINFO_DATA* info)
{
    HKEY key = SetupDiOpenDevRegKey(set, info, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    if (key == INVALID_HANDLE_VALUE) {
        return std::string();
    }
    wchar_t name[256] = {};
    DWORD size = sizeof(name) - sizeof(wchar_t);
    DWORD type = 0;
    const LONG result = RegQueryValueExW(key, L"PortName", nullptr, &type, reinterpret_cast<BYTE*>(name), &size);
    RegCloseKey(key);
    if (result != ERROR_SUCCESS || type != REG_SZ) {
        return std::string();
    }
    return Utf8(name);
}

// The four hexadecimal digits after key ("VID_") in a hardware id such as
// USB\VID_0403&PID_6001&REV_0600; empty when they are not there.
std::string IdAfter(const std::string& hardwareId, const char* key)
{
    const size_t at = hardwareId.find(key);
    if (at == std::string::npos || at + std::strlen(key) + 4 > hardwareId.size()) {
        return std::string();
    }
    std::string id = hardwareId.substr(at + std::strlen(key), 4);
    for (char& c : id) {
        if (!std::isxdigit(static_cast<unsigned char>(c))) {
            return std::string();
        }
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return id;
}

// The serial number is the last part of a USB instance id
// (USB\VID_0403&PID_6001\A1B2C3) unless Windows made that part up itself,
// which it marks with '&'.
std::string SerialFromInstanceId(HDEVINFO set, SP_DEVINFO_DATA* info)
{
    wchar_t buffer[512] = {};
    if (!SetupDiGetDeviceInstanceIdW(set, info, buffer, sizeof(buffer) / sizeof(buffer[0]) - 1, nullptr)) {
        return std::string();
    }
    const std::string id = Utf8(buffer);
    if (id.rfind("USB\\", 0) != 0) {
        return std::string();
    }
    const size_t last = id.rfind('\\');
    const std::string tail = last == std::string::npos ? std::string() : id.substr(last + 1);
    return tail.find('&') == std::string::npos ? tail : std::string();
}

}  // namespace

std::vector<SerialPortInfo> ListPlatformSerialPorts(const std::string& /*root*/)
{
    std::vector<SerialPortInfo> ports;
    HDEVINFO set = SetupDiGetClassDevsW(&kComPortInterface, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) {
        return ports;
    }
    for (DWORD index = 0;; ++index) {
        SP_DEVINFO_DATA info {};
        info.cbSize = sizeof(info);
        if (!SetupDiEnumDeviceInfo(set, index, &info)) {
            break;
        }
        SerialPortInfo port;
        port.device = PortName(set, &info);
        if (port.device.empty()) {
            continue;  // a port without a COM name cannot be opened by name
        }
        port.description = RegistryProperty(set, &info, SPDRP_FRIENDLYNAME);
        port.driver = RegistryProperty(set, &info, SPDRP_SERVICE);
        const std::string hardwareId = RegistryProperty(set, &info, SPDRP_HARDWAREID);
        port.vendorId = IdAfter(hardwareId, "VID_");
        port.productId = IdAfter(hardwareId, "PID_");
        port.isUsb = !port.vendorId.empty() && !port.productId.empty();
        if (port.isUsb) {
            port.product = BusReportedName(set, &info);
            port.serial = SerialFromInstanceId(set, &info);
        }
        ports.push_back(port);
    }
    SetupDiDestroyDeviceInfoList(set);
    return ports;
}

// clang-format off
#include <windows.h>
#include <setupapi.h>
#include <devpkey.h>
#include <initguid.h>
#include <usbiodef.h>
// clang-format on

#include <string>

#include "driver/serial_port/port_enumeration.hpp"

namespace kestd::driver::serial_port {

namespace {

// Reads a property with growing buffers; gives up on any failure other than a short buffer.
template <typename Read>
bool read_wide(std::wstring& out, Read read) {
    DWORD required = 0;
    out.clear();
    for (int attempt = 0; attempt < 4; ++attempt) {
        if (read(out, required)) return true;
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || required == 0) return false;
        out.resize(required);
    }
    return false;
}

std::string narrow(const std::wstring& wide) {
    if (wide.empty()) return {};
    std::string out(wide.size() * 2 + 1, '\0');
    const int n = WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(wide.size()),
                                      out.data(), static_cast<int>(out.size()), nullptr, nullptr);
    out.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return out.substr(0, out.find('\0'));
}

}  // namespace

std::vector<usb_serial_port> list_usb_serial_ports() {
    std::vector<usb_serial_port> ports;
    HDEVINFO set = SetupDiGetClassDevsW(&GUID_DEVINTERFACE_USB_DEVICE, nullptr, nullptr,
                                        DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) return ports;
    SP_DEVINFO_DATA info{};
    info.cbSize = sizeof info;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &info); ++i) {
        std::wstring cls, id, port;
        DEVPROPTYPE type = 0;
        const bool ok =
            read_wide(cls,
                      [&](std::wstring& b, DWORD& need) {
                          return SetupDiGetDevicePropertyW(
                              set, &info, &DEVPKEY_Device_Class, &type,
                              reinterpret_cast<PBYTE>(b.data()),
                              static_cast<DWORD>(b.size() * sizeof(wchar_t)), &need, 0);
                      }) &&
            cls.c_str() == std::wstring(L"Ports") &&
            read_wide(id,
                      [&](std::wstring& b, DWORD& need) {
                          return SetupDiGetDeviceInstanceIdW(set, &info, b.data(),
                                                             static_cast<DWORD>(b.size()), &need);
                      }) &&
            read_wide(port, [&](std::wstring& b, DWORD& need) {
                return SetupDiGetCustomDevicePropertyW(
                    set, &info, L"PortName", 0, nullptr, reinterpret_cast<PBYTE>(b.data()),
                    static_cast<DWORD>(b.size() * sizeof(wchar_t)), &need);
            });
        if (ok) ports.push_back({narrow(id.c_str()), narrow(port.c_str())});
    }
    SetupDiDestroyDeviceInfoList(set);
    return ports;
}

}  // namespace kestd::driver::serial_port

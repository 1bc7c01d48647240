#include <libudev.h>

#include <algorithm>
#include <cctype>
#include <memory>
#include <mutex>

#include "driver/serial_port/port_enumeration.hpp"

namespace kestd::driver::serial_port {

namespace {

struct udev_deleter {
    void operator()(udev* u) const { udev_unref(u); }
    void operator()(udev_enumerate* e) const { udev_enumerate_unref(e); }
    void operator()(udev_device* d) const { udev_device_unref(d); }
};
template <typename T>
using udev_ptr = std::unique_ptr<T, udev_deleter>;

std::string upper(const char* text) {
    std::string s = text ? text : "";
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return s;
}

}  // namespace

std::vector<usb_serial_port> list_usb_serial_ports() {
    // Several device sessions may look at once. An enumeration is short and rare, and one
    // at a time keeps a sysfs-redirecting preload (umockdev's, in the simulator) from racing
    // with itself.
    static std::mutex one_at_a_time;
    std::lock_guard lock(one_at_a_time);
    std::vector<usb_serial_port> ports;
    udev_ptr<udev> context(udev_new());
    if (!context) return ports;
    udev_ptr<udev_enumerate> enumeration(udev_enumerate_new(context.get()));
    if (!enumeration || udev_enumerate_add_match_subsystem(enumeration.get(), "tty") < 0 ||
        udev_enumerate_scan_devices(enumeration.get()) < 0) {
        return ports;
    }
    udev_list_entry* entry = nullptr;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(enumeration.get())) {
        udev_ptr<udev_device> tty(
            udev_device_new_from_syspath(context.get(), udev_list_entry_get_name(entry)));
        if (!tty) continue;
        const char* node = udev_device_get_devnode(tty.get());
        // Owned by `tty`; not to be unreferenced.
        udev_device* usb =
            udev_device_get_parent_with_subsystem_devtype(tty.get(), "usb", "usb_device");
        if (!node || !usb) continue;
        const char* serial = udev_device_get_sysattr_value(usb, "serial");
        ports.push_back(
            {"USB\\VID_" + upper(udev_device_get_sysattr_value(usb, "idVendor")) + "&PID_" +
                 upper(udev_device_get_sysattr_value(usb, "idProduct")) + "\\" +
                 (serial ? serial : ""),
             node});
    }
    return ports;
}

}  // namespace kestd::driver::serial_port

#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

// umockdev's test bed, opaque here so users of this header need no GLib.
struct _UMockdevTestbed;

namespace kest::sim {

// USB serial ports of the device family, simulated with umockdev: each is a USB device with
// an interface and a tty whose node is backed by a pty. Programs see them only when they
// run with umockdev's preload library and this test bed's UMOCKDEV_DIR (see child_environment).
class serial_testbed {
public:
    struct port {
        std::string node;  // e.g. /dev/ttyACM0, as the program under test opens it
        int master = -1;   // the device's side of the pty; owned by the test bed
    };

    serial_testbed();
    ~serial_testbed();
    serial_testbed(const serial_testbed&) = delete;
    serial_testbed& operator=(const serial_testbed&) = delete;

    // Adds a port; `serial` is the USB serial-number attribute, written as given.
    port add_port(const std::string& vendor_id, const std::string& product_id,
                  const std::string& serial);

    // The device disappears: its sysfs entries go, and the pty's device side is closed, so
    // the program's reads end.
    void unplug(const std::string& node);

    // The test bed's root directory (the UMOCKDEV_DIR programs need).
    std::string root() const;

private:
    struct added {
        std::string usb_path, interface_path, tty_path;
        int master;
    };
    _UMockdevTestbed* bed_;
    std::map<std::string, added> ports_;
    int next_index_ = 0;
};

// The environment a program needs to see the test bed: this process's environment with
// umockdev's preload library added to LD_PRELOAD (and AddressSanitizer told not to insist
// on coming first). `environ` already carries UMOCKDEV_DIR once a test bed exists.
std::vector<std::string> child_environment();

}  // namespace kest::sim

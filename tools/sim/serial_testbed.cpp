#include "serial_testbed.hpp"

#include <fcntl.h>
#include <umockdev.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string_view>
#include <vector>

extern char** environ;

namespace kest::sim {

namespace {

// umockdev answers every ioctl on a simulated node with ENOTTY unless a handler takes it;
// the serial port's settings and non-blocking mode need the real pty to see them.
gboolean pass_ioctl_through(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer) {
    gint err = 0;
    GError* error = nullptr;
    gint result = umockdev_ioctl_client_execute(client, &err, &error);
    if (error) {
        g_error_free(error);
        result = -1;
        err = EIO;
    }
    umockdev_ioctl_client_complete(client, result, err);
    return TRUE;
}

void check(gboolean ok, GError* error, const std::string& what) {
    if (ok) return;
    std::string message = what + ": " + (error ? error->message : "failed");
    if (error) g_error_free(error);
    throw std::runtime_error(message);
}

}  // namespace

serial_testbed::serial_testbed() : bed_(umockdev_testbed_new()) {}

serial_testbed::~serial_testbed() {
    for (auto& [node, p] : ports_) {
        if (p.master >= 0) ::close(p.master);
    }
    g_object_unref(bed_);
}

serial_testbed::port serial_testbed::add_port(const std::string& vendor_id,
                                              const std::string& product_id,
                                              const std::string& serial) {
    const int index = next_index_++;
    const std::string usb = "/devices/kest-sim-usb" + std::to_string(index);
    const std::string interface = usb + "/kest-sim-usb" + std::to_string(index) + ":1.0";
    const std::string name = "ttyACM" + std::to_string(index);
    const std::string tty = interface + "/tty/" + name;
    const std::string node = "/dev/" + name;
    // An "N:" line without contents makes umockdev back the node with a pty.
    const std::string description =
        "P: " + usb + "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nA: idVendor=" + vendor_id +
        "\nA: idProduct=" + product_id + "\nA: serial=" + serial + "\n\n" + "P: " + interface +
        "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\nA: bInterfaceClass=02\n\n" + "P: " + tty +
        "\nN: " + name + "\nE: SUBSYSTEM=tty\nE: DEVNAME=" + node +
        "\nA: dev=166:" + std::to_string(index) + "\n";
    GError* error = nullptr;
    check(umockdev_testbed_add_from_string(bed_, description.c_str(), &error), error,
          "add " + node);

    UMockdevIoctlBase* handler = umockdev_ioctl_base_new();
    g_signal_connect(handler, "handle-ioctl", G_CALLBACK(pass_ioctl_through), nullptr);
    const gboolean attached = umockdev_testbed_attach_ioctl(bed_, node.c_str(), handler, &error);
    g_object_unref(handler);
    check(attached, error, "attach ioctl handler to " + node);

    const int master = umockdev_testbed_get_dev_fd(bed_, node.c_str());
    if (master < 0) throw std::runtime_error("no pty for " + node);
    // A child must not inherit it, or closing it here would not hang up the port.
    ::fcntl(master, F_SETFD, FD_CLOEXEC);
    ports_[node] = {"/sys" + usb, "/sys" + interface, "/sys" + tty, master};
    return {node, master};
}

void serial_testbed::unplug(const std::string& node) {
    const auto it = ports_.find(node);
    if (it == ports_.end()) return;
    umockdev_testbed_remove_device(bed_, it->second.tty_path.c_str());
    umockdev_testbed_remove_device(bed_, it->second.interface_path.c_str());
    umockdev_testbed_remove_device(bed_, it->second.usb_path.c_str());
    if (it->second.master >= 0) ::close(it->second.master);
    ports_.erase(it);
}

std::string serial_testbed::root() const { return umockdev_testbed_get_root_dir(bed_); }

std::vector<std::string> child_environment() {
    constexpr std::string_view preload = "libumockdev-preload.so.0";
    std::vector<std::string> env;
    std::string ld_preload(preload);
    std::string asan_options = "verify_asan_link_order=0";
    for (char** e = environ; *e; ++e) {
        const std::string_view entry(*e);
        if (entry.starts_with("LD_PRELOAD=")) {
            const auto value = entry.substr(11);
            if (value.find(preload) != std::string_view::npos) {
                ld_preload = value;
            } else if (!value.empty()) {
                ld_preload += ":" + std::string(value);
            }
        } else if (entry.starts_with("ASAN_OPTIONS=")) {
            asan_options = std::string(entry.substr(13)) + ":" + asan_options;
        } else {
            env.emplace_back(entry);
        }
    }
    env.push_back("LD_PRELOAD=" + ld_preload);
    env.push_back("ASAN_OPTIONS=" + asan_options);
    return env;
}

}  // namespace kest::sim

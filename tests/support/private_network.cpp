#include "support/private_network.hpp"

#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace kestd::test {

namespace {
bool entered = false;
}

std::string enter_private_network() {
    if (::unshare(CLONE_NEWNET | CLONE_NEWNS) != 0) {
        return std::string("unshare: ") + std::strerror(errno);
    }
    // A mount namespace of our own: sysfs that shows this network's interfaces (the host's
    // stays mounted otherwise), and a private place for named peer networks.
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount("sysfs", "/sys", "sysfs", 0, nullptr) != 0) {
        return std::string("mount sysfs: ") + std::strerror(errno);
    }
    ::mkdir("/run/netns", 0755);
    if (::mount("tmpfs", "/run/netns", "tmpfs", 0, "mode=755") != 0) {
        return std::string("mount /run/netns: ") + std::strerror(errno);
    }
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return std::string("socket: ") + std::strerror(errno);
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    int rc = ::ioctl(fd, SIOCGIFFLAGS, &request);
    if (rc == 0) {
        request.ifr_flags |= IFF_UP;
        rc = ::ioctl(fd, SIOCSIFFLAGS, &request);
    }
    const int err = errno;
    ::close(fd);
    if (rc != 0) return std::string("bring up lo: ") + std::strerror(err);
    entered = true;
    return {};
}

bool in_private_network() { return entered; }

}  // namespace kestd::test

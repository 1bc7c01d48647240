#include "cab_veth.hpp"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <vector>

extern char** environ;

namespace kest::sim::cab {

namespace {

constexpr std::size_t max_interface_name = 15;
const std::string device_suffix = "-dev";

int open_own_namespace() { return ::open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC); }

// Runs ip(8) with `args` and says whether it succeeded. It may live in an sbin directory
// that is not on the PATH of a test run.
bool ip(std::vector<std::string> args, bool quiet = false) {
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    if (quiet) posix_spawn_file_actions_addopen(&files, 2, "/dev/null", O_WRONLY, 0);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none, caught;
    sigemptyset(&none);
    sigemptyset(&caught);
    for (int s : {SIGINT, SIGTERM, SIGCHLD, SIGPIPE}) sigaddset(&caught, s);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &caught);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    args.insert(args.begin(), "ip");
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    int rc = ENOENT;
    for (const char* path : {"ip", "/usr/sbin/ip", "/sbin/ip"}) {
        rc = posix_spawnp(&pid, path, &files, &attr, argv.data(), environ);
        if (rc != ENOENT) break;
    }
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&files);
    if (rc != 0) throw std::runtime_error(std::string("cannot run ip: ") + std::strerror(rc));
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return false;
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void run_ip(std::vector<std::string> args) {
    std::string command = "ip";
    for (const auto& a : args) command += " " + a;
    if (!ip(std::move(args))) throw std::runtime_error("'" + command + "' failed");
}

}  // namespace

bool valid_veth_name(const std::string& name) {
    if (name.empty() || name.size() + device_suffix.size() > max_interface_name) return false;
    if (!std::isalnum(static_cast<unsigned char>(name[0]))) return false;
    for (const unsigned char c : name) {
        if (!std::isalnum(c) && c != '-' && c != '_' && c != '.') return false;
    }
    return true;
}

veth::veth(const std::string& name) : host_end_(name), device_end_(name + device_suffix) {
    own_ns_ = open_own_namespace();
    if (own_ns_ < 0) throw std::runtime_error("cannot open the own network namespace");
    // A fresh namespace for the device end, held by a descriptor and otherwise unnamed.
    if (::unshare(CLONE_NEWNET) != 0) {
        const int error = errno;
        ::close(own_ns_);
        throw std::runtime_error(std::string("cannot make a network namespace: ") +
                                 std::strerror(error));
    }
    device_ns_ = open_own_namespace();
    if (::setns(own_ns_, CLONE_NEWNET) != 0 || device_ns_ < 0) {
        throw std::runtime_error("cannot return to the own network namespace");  // stranded
    }
    try {
        // ip takes a namespace by path: our descriptor, seen through /proc.
        const std::string device_ns_path =
            "/proc/" + std::to_string(::getpid()) + "/fd/" + std::to_string(device_ns_);
        run_ip({"link", "add", "name", host_end_, "type", "veth", "peer", "name", device_end_,
                "netns", device_ns_path});
        created_ = true;
        run_ip({"link", "set", "dev", host_end_, "up"});
        enter();
        try {
            run_ip({"link", "set", "dev", device_end_, "up"});
        } catch (...) {
            leave();
            throw;
        }
        leave();
    } catch (...) {
        if (created_) ip({"link", "del", "dev", host_end_}, true);
        ::close(device_ns_);
        ::close(own_ns_);
        throw;
    }
}

veth::~veth() {
    try {
        if (created_) ip({"link", "del", "dev", host_end_}, true);  // both ends go
    } catch (const std::exception&) {
        // Without ip the pair goes with the namespace, once the descriptors are closed.
    }
    ::close(device_ns_);
    ::close(own_ns_);
}

void veth::enter() const {
    if (::setns(device_ns_, CLONE_NEWNET) != 0)
        throw std::runtime_error(std::string("cannot enter the namespace of ") + device_end_ +
                                 ": " + std::strerror(errno));
}

void veth::leave() const {
    if (::setns(own_ns_, CLONE_NEWNET) != 0)
        throw std::runtime_error(std::string("cannot leave the namespace of ") + device_end_ +
                                 ": " + std::strerror(errno));
}

}  // namespace kest::sim::cab

// kest-sim: simulated devices of the family, for developing and testing without hardware.
//
//   kest-sim serial [--vendor VVVV] [--product PPPP] --device DEVICE... [-- PROGRAM ARGS...]
//
// DEVICE is [VENDOR/]SERIAL[:echo|stream|silent[:RATE]], RATE in bytes per second with an
// optional K or M suffix. PROGRAM runs with the simulated ports visible; kest-sim ends with
// its exit code. Lines on standard input steer the devices: "unplug SERIAL".
#include <signal.h>
#include <spawn.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <poll.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "device_player.hpp"
#include "serial_testbed.hpp"

namespace {

using namespace kest::sim;

struct device_setup {
    std::string vendor;
    std::string serial;
    behaviour what = behaviour::echo;
    double rate = 0;
};

double parse_rate(const std::string& text) {
    std::size_t used = 0;
    double value = std::stod(text, &used);
    const std::string suffix = text.substr(used);
    if (suffix == "K" || suffix == "k") value *= 1e3;
    else if (suffix == "M" || suffix == "m") value *= 1e6;
    else if (!suffix.empty()) throw std::invalid_argument("bad rate '" + text + "'");
    return value;
}

device_setup parse_device(std::string text, const std::string& vendor) {
    device_setup setup;
    setup.vendor = vendor;
    if (const auto slash = text.find('/'); slash != std::string::npos) {
        setup.vendor = text.substr(0, slash);
        text.erase(0, slash + 1);
    }
    std::vector<std::string> parts;
    std::stringstream in(text);
    for (std::string part; std::getline(in, part, ':');) parts.push_back(part);
    if (parts.empty() || parts.size() > 3) throw std::invalid_argument("bad device '" + text + "'");
    setup.serial = parts[0];
    if (parts.size() > 1) setup.what = parse_behaviour(parts[1]);
    if (parts.size() > 2) setup.rate = parse_rate(parts[2]);
    return setup;
}

int usage(const char* problem) {
    if (problem) std::cerr << "kest-sim: " << problem << "\n";
    std::cerr << "usage: kest-sim serial [--vendor VVVV] [--product PPPP] --device DEVICE..."
                 " [-- PROGRAM ARGS...]\n"
                 "  DEVICE: [VENDOR/]SERIAL[:echo|stream|silent[:RATE]]   (RATE bytes/s, K or M"
                 " suffix)\n"
                 "  standard input: 'unplug SERIAL' removes that device\n";
    return 2;
}

pid_t spawn(std::vector<std::string> command, const sigset_t& blocked) {
    std::vector<std::string> env = child_environment();
    std::vector<char*> argv, envp;
    for (auto& a : command) argv.push_back(a.data());
    argv.push_back(nullptr);
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &blocked);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, argv[0], nullptr, &attr, argv.data(), envp.data());
    posix_spawnattr_destroy(&attr);
    if (rc != 0) {
        std::cerr << "kest-sim: cannot start " << command[0] << ": " << std::strerror(rc) << "\n";
        return -1;
    }
    return pid;
}

int run_serial(int argc, char** argv) {
    std::string vendor = KESTD_USB_VENDOR_ID;
    std::string product = "0001";
    std::vector<std::string> device_texts, command;
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--") {
            command.assign(argv + i + 1, argv + argc);
            break;
        }
        if (i + 1 >= argc) return usage(("missing value for " + arg).c_str());
        if (arg == "--vendor") vendor = argv[++i];
        else if (arg == "--product") product = argv[++i];
        else if (arg == "--device") device_texts.push_back(argv[++i]);
        else return usage(("unknown option " + arg).c_str());
    }
    if (device_texts.empty()) return usage("no --device given");

    std::vector<device_setup> setups;
    try {
        for (const auto& t : device_texts) setups.push_back(parse_device(t, vendor));
    } catch (const std::exception& e) {
        return usage(e.what());
    }

    // Signals arrive through a descriptor, so the loop below handles them like input.
    sigset_t handled;
    sigemptyset(&handled);
    for (int s : {SIGINT, SIGTERM, SIGCHLD}) sigaddset(&handled, s);
    pthread_sigmask(SIG_BLOCK, &handled, nullptr);
    const int signals = signalfd(-1, &handled, SFD_CLOEXEC);

    serial_testbed bed;
    std::map<std::string, std::string> node_of;  // serial to node
    std::map<std::string, std::unique_ptr<device_player>> players;
    for (const auto& setup : setups) {
        const auto port = bed.add_port(setup.vendor, product, setup.serial);
        players[port.node] = std::make_unique<device_player>(port.master, setup.what, setup.rate);
        node_of[setup.serial] = port.node;
        std::cerr << "kest-sim: " << port.node << " serial " << setup.serial << " vendor "
                  << setup.vendor << " product " << product << "\n";
    }

    pid_t child = -1;
    if (!command.empty()) {
        child = spawn(command, handled);
        if (child < 0) return 127;
    } else {
        std::cerr << "kest-sim: UMOCKDEV_DIR=" << bed.root()
                  << "; run programs with umockdev's preload library to see the ports;"
                     " Ctrl-C ends\n";
    }

    bool stdin_open = true;
    std::string pending;
    int exit_code = 0;
    for (;;) {
        pollfd fds[2] = {{signals, POLLIN, 0}, {stdin_open ? 0 : -1, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) continue;
        if (fds[1].revents) {
            char chunk[256];
            const ssize_t n = ::read(0, chunk, sizeof chunk);
            if (n <= 0) {
                stdin_open = false;  // end of input: the devices play on
            } else {
                pending.append(chunk, static_cast<std::size_t>(n));
            }
            for (std::size_t end; (end = pending.find('\n')) != std::string::npos;) {
                const std::string line = pending.substr(0, end);
                pending.erase(0, end + 1);
                std::istringstream words(line);
                std::string verb, serial;
                words >> verb >> serial;
                if (verb == "unplug" && node_of.count(serial)) {
                    const std::string node = node_of[serial];
                    players.erase(node);  // stop playing before the line goes
                    bed.unplug(node);
                    node_of.erase(serial);
                    std::cerr << "kest-sim: unplugged " << serial << "\n";
                } else if (!line.empty()) {
                    std::cerr << "kest-sim: unknown command '" << line << "'\n";
                }
            }
        }
        if (fds[0].revents) {
            signalfd_siginfo info{};
            if (::read(signals, &info, sizeof info) != sizeof info) continue;
            if (info.ssi_signo == SIGCHLD && child > 0) {
                int status = 0;
                if (::waitpid(child, &status, WNOHANG) == child) {
                    exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                    break;
                }
            } else if (info.ssi_signo != SIGCHLD) {
                if (child > 0) {
                    ::kill(child, static_cast<int>(info.ssi_signo));
                } else {
                    break;
                }
            }
        }
    }
    players.clear();
    return exit_code;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return usage(nullptr);
    const std::string mode = argv[1];
    if (mode == "--help" || mode == "-h") {
        usage(nullptr);
        return 0;
    }
    if (mode == "serial") return run_serial(argc, argv);
    return usage(("unknown mode " + mode).c_str());
}

// kest-sim: simulated devices of the family, for developing and testing without hardware.
//
//   kest-sim serial [--vendor VVVV] [--product PPPP] --device DEVICE... [-- PROGRAM ARGS...]
//   kest-sim tcp [--interface ADDR]... [--address ADDR] [--layout device|full] [--delay MS]
//                [--refuse] [--close-after BYTES] [--malformed] [--flood COUNT]
//                --device DEVICE... [-- PROGRAM ARGS...]
//   kest-sim cab (--interface IF | --veth NAME) [--log-frames] [FAULT...]
//                --device DEVICE... [-- PROGRAM ARGS...]
//
// A serial DEVICE is [VENDOR/]SERIAL[:echo|stream|silent[:RATE]], RATE in bytes per second
// with an optional K or M suffix. A tcp DEVICE is SERIAL[:echo|stream|silent[:RATE]] (a data
// port of its own) or SERIAL=PORT (only announced). PROGRAM runs alongside; kest-sim ends with
// its exit code. Lines on standard input steer the devices: "unplug SERIAL", and in tcp mode
// also "close SERIAL", "quiet SERIAL" and "answer SERIAL". The cab mode, its DEVICE and its
// FAULT options are described in cab_mode.cpp.
#include <arpa/inet.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "cab_mode.hpp"
#include "device_player.hpp"
#include "serial_testbed.hpp"
#include "tcp_device.hpp"
#include "tcp_responder.hpp"

extern char** environ;

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
    if (suffix == "K" || suffix == "k")
        value *= 1e3;
    else if (suffix == "M" || suffix == "m")
        value *= 1e6;
    else if (!suffix.empty())
        throw std::invalid_argument("bad rate '" + text + "'");
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
                 "  standard input: 'unplug SERIAL' removes that device\n"
                 "usage: kest-sim tcp [--interface ADDR]... [--address ADDR] [--layout device|full]"
                 " [--delay MS]\n"
                 "                    [--refuse] [--close-after BYTES] [--malformed]"
                 " --device DEVICE... [-- PROGRAM ARGS...]\n"
                 "  DEVICE: SERIAL[:echo|stream|silent[:RATE]]   serves a data port\n"
                 "          SERIAL=PORT                          only announces PORT\n"
                 "          SERIAL may hold \\xHH for any byte and \\\\ for a backslash\n"
                 "  --flood COUNT: also announces COUNT devices F00000, F00001, ... (port 9)\n"
                 "  standard input: 'close SERIAL' ends its connections, 'unplug SERIAL' removes"
                 " it,\n"
                 "                  'quiet SERIAL' and 'answer SERIAL' stop and resume its"
                 " answers\n";
    print_cab_usage(std::cerr);
    return 2;
}

pid_t spawn(std::vector<std::string> command, const sigset_t& blocked,
            std::vector<std::string> env) {
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

std::vector<std::string> own_environment() {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) env.emplace_back(*e);
    return env;
}

struct signal_source {
    sigset_t handled;
    int fd;
};

// Signals arrive through a descriptor, so the loop handles them like input. Call before any
// thread starts, so every thread leaves them to the descriptor.
signal_source catch_signals() {
    signal_source source{};
    sigemptyset(&source.handled);
    for (int s : {SIGINT, SIGTERM, SIGCHLD}) sigaddset(&source.handled, s);
    pthread_sigmask(SIG_BLOCK, &source.handled, nullptr);
    source.fd = signalfd(-1, &source.handled, SFD_CLOEXEC);
    return source;
}

// A descriptor the loop waits on besides signals and standard input.
struct watch {
    int fd;
    std::function<void()> ready;
};

// Serves until SIGINT or SIGTERM (forwarded to the program, if there is one) or the program's
// end, and returns the exit code. `command` takes a line of standard input and says whether
// it knew it; `watches` is asked afresh each round.
int serve(const signal_source& signals, pid_t child,
          const std::function<bool(const std::string&)>& command,
          const std::function<std::vector<watch>()>& watches = {}) {
    constexpr std::size_t max_line = 4096;
    bool stdin_open = true;
    std::string pending;
    for (;;) {
        const std::vector<watch> extra = watches ? watches() : std::vector<watch>{};
        std::vector<pollfd> fds = {{signals.fd, POLLIN, 0}, {stdin_open ? 0 : -1, POLLIN, 0}};
        for (const auto& w : extra) fds.push_back({w.fd, POLLIN, 0});
        if (::poll(fds.data(), fds.size(), -1) < 0) continue;
        for (std::size_t i = 0; i < extra.size(); ++i) {
            if (fds[i + 2].revents) extra[i].ready();
        }
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
                if (!command(line) && !line.empty()) {
                    std::cerr << "kest-sim: unknown command '" << line << "'\n";
                }
            }
            if (pending.size() > max_line) pending.clear();
        }
        if (fds[0].revents) {
            signalfd_siginfo info{};
            if (::read(signals.fd, &info, sizeof info) != sizeof info) continue;
            if (info.ssi_signo == SIGCHLD && child > 0) {
                int status = 0;
                if (::waitpid(child, &status, WNOHANG) == child) {
                    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                }
            } else if (info.ssi_signo != SIGCHLD) {
                if (child <= 0) return 0;
                ::kill(child, static_cast<int>(info.ssi_signo));
            }
        }
    }
}

// The verb and serial of a command line.
std::pair<std::string, std::string> split_command(const std::string& line) {
    std::istringstream words(line);
    std::string verb, serial;
    words >> verb >> serial;
    return {verb, serial};
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
        if (arg == "--vendor")
            vendor = argv[++i];
        else if (arg == "--product")
            product = argv[++i];
        else if (arg == "--device")
            device_texts.push_back(argv[++i]);
        else
            return usage(("unknown option " + arg).c_str());
    }
    if (device_texts.empty()) return usage("no --device given");

    std::vector<device_setup> setups;
    try {
        for (const auto& t : device_texts) setups.push_back(parse_device(t, vendor));
    } catch (const std::exception& e) {
        return usage(e.what());
    }

    const signal_source signals = catch_signals();
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
        child = spawn(command, signals.handled, child_environment());
        if (child < 0) return 127;
    } else {
        std::cerr << "kest-sim: UMOCKDEV_DIR=" << bed.root()
                  << "; run programs with umockdev's preload library to see the ports;"
                     " Ctrl-C ends\n";
    }

    const int exit_code = serve(signals, child, [&](const std::string& line) {
        const auto [verb, serial] = split_command(line);
        if (verb != "unplug" || !node_of.count(serial)) return false;
        const std::string node = node_of[serial];
        players.erase(node);  // stop playing before the line goes
        bed.unplug(node);
        node_of.erase(serial);
        std::cerr << "kest-sim: unplugged " << serial << "\n";
        return true;
    });
    players.clear();
    return exit_code;
}

struct tcp_setup {
    std::string serial;
    std::string mode = "echo";  // or stream, silent, announce
    tcp_connection::plan plan;
    std::uint16_t port = 0;  // announced only, served elsewhere
};

template <typename Number>
Number parse_number(const std::string& text, Number low, Number high, const char* what) {
    Number value{};
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value < low || value > high)
        throw std::invalid_argument(std::string("bad ") + what + " '" + text + "'");
    return value;
}

// A serial as given on the command line, where \xHH stands for any byte and \\ for a
// backslash, so a simulated device can announce what no real one would.
bool hex_digit(char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; }

std::string decode_escapes(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            out += text[i];
        } else if (i + 1 < text.size() && text[i + 1] == '\\') {
            out += '\\';
            ++i;
        } else if (i + 3 < text.size() && text[i + 1] == 'x' && hex_digit(text[i + 2]) &&
                   hex_digit(text[i + 3])) {
            out += static_cast<char>(std::stoi(text.substr(i + 2, 2), nullptr, 16));
            i += 3;
        } else {
            throw std::invalid_argument("bad escape in '" + text + "'");
        }
    }
    return out;
}

// The same serial written back for a log line, every byte outside visible ASCII as \xHH.
std::string encode_escapes(const std::string& serial) {
    static constexpr char hex[] = "0123456789abcdef";
    std::string out;
    for (const unsigned char c : serial) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c > 0x20 && c < 0x7f) {
            out += static_cast<char>(c);
        } else {
            out += "\\x";
            out += hex[c >> 4];
            out += hex[c & 0xf];
        }
    }
    return out;
}

tcp_setup parse_tcp_device(const std::string& text) {
    tcp_setup setup;
    if (const auto equals = text.find('='); equals != std::string::npos) {
        setup.serial = decode_escapes(text.substr(0, equals));
        setup.mode = "announce";
        setup.port = parse_number<std::uint16_t>(text.substr(equals + 1), 1, 65535, "port");
    } else {
        std::vector<std::string> parts;
        std::stringstream in(text);
        for (std::string part; std::getline(in, part, ':');) parts.push_back(part);
        if (parts.empty() || parts.size() > 3)
            throw std::invalid_argument("bad device '" + text + "'");
        setup.serial = decode_escapes(parts[0]);
        if (parts.size() > 1) setup.plan.what = parse_behaviour(setup.mode = parts[1]);
        if (parts.size() > 2) setup.plan.rate = parse_rate(parts[2]);
    }
    // The host label kest-SERIAL of the full layout must fit in 63 bytes.
    if (setup.serial.empty() || setup.serial.size() > 58)
        throw std::invalid_argument("serial '" + encode_escapes(setup.serial) +
                                    "' is not 1 to 58 characters");
    return setup;
}

in_addr parse_address(const std::string& text) {
    in_addr address{};
    if (::inet_pton(AF_INET, text.c_str(), &address) != 1)
        throw std::invalid_argument("bad IPv4 address '" + text + "'");
    return address;
}

int run_tcp(int argc, char** argv) {
    tcp_responder::settings answers;
    bool refuse = false, malformed = false;
    std::uint64_t close_after = 0;
    unsigned flood = 0;
    std::vector<tcp_setup> setups;
    std::vector<std::string> command;
    try {
        for (int i = 2; i < argc; ++i) {
            const std::string arg = argv[i];
            if (arg == "--") {
                command.assign(argv + i + 1, argv + argc);
                break;
            }
            if (arg == "--refuse") {
                refuse = true;
                continue;
            }
            if (arg == "--malformed") {
                malformed = true;
                continue;
            }
            if (i + 1 >= argc) return usage(("missing value for " + arg).c_str());
            const std::string value = argv[++i];
            if (arg == "--interface")
                answers.interfaces.push_back(parse_address(value));
            else if (arg == "--address")
                answers.address = parse_address(value);
            else if (arg == "--layout")
                answers.layout = parse_layout(value);
            else if (arg == "--delay")
                answers.delay =
                    std::chrono::milliseconds(parse_number(value, 0, 3'600'000, "delay"));
            else if (arg == "--close-after") {
                const double bytes = parse_rate(value);
                if (!(bytes >= 1 && bytes < 1e18)) throw std::invalid_argument("bad byte count");
                close_after = static_cast<std::uint64_t>(bytes);
            } else if (arg == "--flood")
                flood = parse_number<unsigned>(value, 1, 100000, "flood size");
            else if (arg == "--device")
                setups.push_back(parse_tcp_device(value));
            else
                return usage(("unknown option " + arg).c_str());
        }
    } catch (const std::exception& e) {
        return usage(e.what());
    }
    if (setups.empty()) return usage("no --device given");
    if (malformed && answers.layout == answer_layout::full)
        return usage("--malformed goes with the device layout only");
    if (malformed) answers.layout = answer_layout::malformed;
    std::set<std::string> present;
    for (const auto& s : setups) {
        if (!present.insert(s.serial).second)
            return usage(("serial " + encode_escapes(s.serial) + " given twice").c_str());
    }
    // A host that announces devices by the thousand: valid serials F00000 upward, each
    // announcing the discard port.
    const std::size_t announced = setups.size();
    for (unsigned i = 0; i < flood; ++i) {
        char serial[16];
        std::snprintf(serial, sizeof serial, "F%05u", i);
        if (present.insert(serial).second) setups.push_back({serial, "announce", {}, 9});
    }

    const signal_source signals = catch_signals();
    std::optional<tcp_responder> responder;
    std::map<std::string, std::unique_ptr<tcp_device>> devices;
    try {
        responder.emplace(answers);
        for (std::size_t i = 0; i < setups.size(); ++i) {
            auto& setup = setups[i];
            if (setup.mode != "announce" && refuse) {
                setup.port = tcp_device::unused_port();
            } else if (setup.mode != "announce") {
                setup.plan.close_after = close_after;
                auto device = std::make_unique<tcp_device>(setup.serial, setup.plan);
                setup.port = device->port();
                devices[setup.serial] = std::move(device);
            }
            responder->announce(setup.serial, setup.port);
            if (i < announced) {
                std::cerr << "kest-sim: tcp device " << encode_escapes(setup.serial)
                          << " at 0.0.0.0:" << setup.port << " (" << setup.mode << ")\n";
            }
        }
        if (flood > 0) {
            std::cerr << "kest-sim: flood of " << setups.size() - announced << " devices\n";
        }
    } catch (const std::exception& e) {
        std::cerr << "kest-sim: " << e.what() << "\n";
        return 1;
    }
    std::cerr << "kest-sim: ready\n";

    pid_t child = -1;
    if (!command.empty()) {
        child = spawn(command, signals.handled, own_environment());
        if (child < 0) return 127;
    }

    const auto on_command = [&](const std::string& line) {
        const auto [verb, serial] = split_command(line);
        if (!present.count(serial)) return false;
        const auto device = devices.find(serial);
        if (verb == "close") {
            if (device != devices.end()) device->second->close_connections();
            std::cerr << "kest-sim: closed the connections of " << serial << "\n";
        } else if (verb == "unplug") {
            responder->withdraw(serial);
            if (device != devices.end()) devices.erase(device);
            present.erase(serial);
            std::cerr << "kest-sim: unplugged " << serial << "\n";
        } else if (verb == "quiet" || verb == "answer") {
            responder->set_answering(serial, verb == "answer");
            std::cerr << "kest-sim: " << serial << (verb == "answer" ? " answers" : " is quiet")
                      << "\n";
        } else {
            return false;
        }
        return true;
    };
    const auto watches = [&] {
        std::vector<watch> w = {{responder->socket(), [&] { responder->receive(); }},
                                {responder->timer(), [&] { responder->on_timer(); }}};
        for (auto& [serial, device] : devices) {
            tcp_device& d = *device;
            if (d.listener() >= 0) w.push_back({d.listener(), [&d] { d.accept_connections(); }});
            w.push_back({d.ended(), [&d] { d.reap(); }});
        }
        return w;
    };
    const int exit_code = serve(signals, child, on_command, watches);
    devices.clear();
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
    if (mode == "tcp") return run_tcp(argc, argv);
    if (mode == "cab") return run_cab(argc, argv);
    return usage(("unknown mode " + mode).c_str());
}

// kest-sim cab: simulated CAB devices on an Ethernet interface.
//
//   kest-sim cab (--interface IF | --veth NAME) [--log-frames] [--wrong-sequence] [--short]
//                [--padded] [--foreign] [--lose-middle] [--fault-every N]
//                --device DEVICE... [-- PROGRAM ARGS...]
//
// DEVICE is SERIAL[:echo|stream|silent[:RATE]][,ATTRIBUTE]..., RATE in bytes per second with
// an optional K or M suffix, the attributes
//
//   form=a|b|ab      the queries answered: A with reply form A, B with form B (default ab)
//   mac=MAC          the device's address (default 02:ca:b0:00:00:01 for the first device,
//                    02:ca:b0:00:00:02 for the second, ...)
//   message=BYTES    the size of a stream message (default 1024, at most 65535)
//   fragment=BYTES   the most payload in one frame (default 1486, so a frame is 1510 bytes)
//   fault-every=N    and the fault names below, as for the options, for this device only
//
// SERIAL is the serial number in base 36 (form A: its value must fit 64 bits; form B: 1 to 6
// characters, sent as written), where \xHH stands for any byte and \\ for a backslash, or
// #VALUE, form A's number in decimal (for form B its base-36 digits, if there are at most 6).
// Log lines and commands name a device by SERIAL as written.
//
// Every device listens on one raw socket on IF and takes the host's broadcast queries and the
// data frames sent to its own address. Its data goes to the host adapter that last sent to it.
// echo: every received data frame goes back as one message of its payload. stream: the first
// data frame starts an endless stream b[p] = p % 251 in messages of `message` bytes, flat out
// or paced at RATE without catching up after a stall; a frame with sequence number 0 that does
// not follow 65535 (a newly opened host driver's first) starts it again at p = 0 with the next
// message. silent: sends no data. Messages are numbered from 0 on every plug.
//
// Faults, for every device or (as attributes) for one:
//   --wrong-sequence  after the first fragment, a stray last fragment of 16 bytes 0xEE whose
//                     sequence number is the message's with bit 15 flipped
//   --short           before the message, a frame of 23 bytes (then 22, ... 14, and again 23)
//   --foreign         before the message, a one-frame message of 16 bytes 0xEE from the
//                     device's address with its fourth byte inverted
//   --fault-every N   those three come with message 0, N, 2N, ... (default 4)
//   --padded          every frame, replies too, padded with zeros to 60 bytes
//   --lose-middle     the middle fragment (number n/2 of n >= 3) of every message is not sent
//
// --veth NAME makes a veth pair: NAME stays here (PROGRAM runs beside it), NAME-dev goes up in
// a network namespace of its own, where the devices run. Both go when kest-sim ends.
//
// Standard output: "cab device SERIAL at MAC on IF (MODE, form F)" per device, then "ready";
// "answered query A|B from MAC as SERIAL"; "SERIAL streams to MAC" when a stream (re)starts;
// with --log-frames "cab frame SERIAL seq N len L" per data frame received, followed by
// " frame C" when the frame is not L + 24 bytes long and " flags 0xFF" when they are not 0x03.
// Every line starts with "kest-sim: ". Standard input: "unplug SERIAL" (the device ignores
// everything and forgets its state), "plug SERIAL", "quiet SERIAL" and "answer SERIAL" (stop
// and resume answering queries).
#include "cab_mode.hpp"

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstring>
#include <functional>
#include <iostream>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "cab_device.hpp"
#include "cab_frames.hpp"
#include "cab_link.hpp"
#include "cab_veth.hpp"

extern char** environ;

namespace kest::sim {

namespace {

using namespace cab;

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::stringstream in(text);
    for (std::string part; std::getline(in, part, separator);) parts.push_back(part);
    if (!text.empty() && text.back() == separator) parts.emplace_back();
    return parts;
}

template <typename Number>
Number parse_number(const std::string& text, Number low, Number high, const char* what) {
    Number value{};
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value < low || value > high)
        throw std::invalid_argument(std::string("bad ") + what + " '" + text + "'");
    return value;
}

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
    if (!std::isfinite(value) || value < 0) throw std::invalid_argument("bad rate '" + text + "'");
    return value;
}

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

// A serial text as log lines show it: bytes outside visible ASCII as \xHH, and a leading #
// too, so it cannot pass for a #VALUE.
std::string encode_escapes(const std::string& serial) {
    static constexpr char hex[] = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < serial.size(); ++i) {
        const auto c = static_cast<unsigned char>(serial[i]);
        if (c == '\\') {
            out += "\\\\";
        } else if (c > 0x20 && c < 0x7f && !(i == 0 && c == '#')) {
            out += static_cast<char>(c);
        } else {
            out += "\\x";
            out += hex[c >> 4];
            out += hex[c & 0xf];
        }
    }
    return out;
}

// The name of the device SERIAL stands for, however it was written.
std::string canonical_name(const std::string& serial) {
    if (!serial.empty() && serial[0] == '#') {
        return "#" + std::to_string(parse_number<std::uint64_t>(serial.substr(1), 0, UINT64_MAX,
                                                                "serial number"));
    }
    return encode_escapes(decode_escapes(serial));
}

std::string lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

bool set_fault(faults& f, const std::string& name) {
    if (name == "wrong-sequence")
        f.wrong_sequence = true;
    else if (name == "short")
        f.short_frames = true;
    else if (name == "padded")
        f.padded = true;
    else if (name == "foreign")
        f.foreign = true;
    else if (name == "lose-middle")
        f.lose_middle = true;
    else
        return false;
    return true;
}

const char* mode_name(behaviour what) {
    switch (what) {
        case behaviour::echo:
            return "echo";
        case behaviour::stream:
            return "stream";
        case behaviour::silent:
            return "silent";
    }
    return "?";
}

device_settings parse_device(const std::string& text, std::size_t index, const faults& common) {
    const auto attributes = split(text, ',');
    const auto head = attributes.empty() ? std::vector<std::string>{} : split(attributes[0], ':');
    if (head.empty() || head.size() > 3 || head[0].empty())
        throw std::invalid_argument("bad device '" + text + "'");
    device_settings d;
    d.faults = common;
    const std::string& serial = head[0];
    const bool numeric = serial[0] == '#';
    d.name = canonical_name(serial);
    if (numeric) {
        d.value = std::stoull(d.name.substr(1));
        d.text = base36(d.value);
    } else {
        d.text = decode_escapes(serial);
    }
    if (head.size() > 1) d.what = parse_behaviour(head[1]);
    if (head.size() > 2) d.rate = parse_rate(head[2]);
    d.mac = {0x02,
             0xCA,
             0xB0,
             0x00,
             static_cast<std::uint8_t>((index + 1) >> 8),
             static_cast<std::uint8_t>(index + 1)};
    for (std::size_t i = 1; i < attributes.size(); ++i) {
        const std::string& attribute = attributes[i];
        const auto equals = attribute.find('=');
        const std::string key = lower(attribute.substr(0, equals));
        const std::string value = equals == std::string::npos ? "" : attribute.substr(equals + 1);
        if (equals == std::string::npos && set_fault(d.faults, key)) continue;
        if (key == "form" && (value == "a" || value == "b" || value == "ab" || value == "ba")) {
            d.form_a = value.find('a') != std::string::npos;
            d.form_b = value.find('b') != std::string::npos;
        } else if (key == "mac") {
            const auto mac = parse_mac(value);
            // A frame's source must be a unicast address.
            if (!mac || ((*mac)[0] & 0x01)) throw std::invalid_argument("bad MAC '" + value + "'");
            d.mac = *mac;
        } else if (key == "message") {
            d.message = parse_number<std::size_t>(value, 1, 65535, "message size");
        } else if (key == "fragment") {
            d.fragment = parse_number<std::size_t>(value, 1, 65535, "fragment size");
        } else if (key == "fault-every") {
            d.faults.every = parse_number<unsigned>(value, 1, 1000000, "fault interval");
        } else {
            throw std::invalid_argument("bad attribute '" + attribute + "' of '" + text + "'");
        }
    }
    if (d.form_a && !numeric) {
        const auto value = parse_base36(d.text);
        if (!value)
            throw std::invalid_argument("serial '" + d.name +
                                        "' is not base-36 text whose value fits 64 bits");
        d.value = *value;
    }
    if (d.form_b && (d.text.empty() || d.text.size() > 6))
        throw std::invalid_argument("serial '" + d.name + "' is not 1 to 6 characters for form b" +
                                    (numeric ? " (" + d.text + "); give it form=a" : ""));
    return d;
}

int usage(const char* problem) {
    if (problem) std::cerr << "kest-sim: " << problem << "\n";
    print_cab_usage(std::cerr);
    return 2;
}

pid_t spawn(std::vector<std::string> command, const sigset_t& blocked) {
    std::vector<char*> argv;
    for (auto& a : command) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &blocked);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, argv[0], nullptr, &attr, argv.data(), environ);
    posix_spawnattr_destroy(&attr);
    if (rc != 0) {
        std::cerr << "kest-sim: cannot start " << command[0] << ": " << std::strerror(rc) << "\n";
        return -1;
    }
    return pid;
}

struct signal_source {
    sigset_t handled;
    int fd;
};

// Signals arrive through a descriptor, so the loop handles them like input.
signal_source catch_signals() {
    signal_source source{};
    sigemptyset(&source.handled);
    for (int s : {SIGINT, SIGTERM, SIGCHLD}) sigaddset(&source.handled, s);
    pthread_sigmask(SIG_BLOCK, &source.handled, nullptr);
    source.fd = signalfd(-1, &source.handled, SFD_CLOEXEC);
    return source;
}

// Serves until SIGINT or SIGTERM (forwarded to the program, if there is one) or the program's
// end, and returns the exit code. `command` takes a line of standard input and says whether
// it knew it.
int serve(const signal_source& signals, pid_t child, link& devices,
          const std::function<bool(const std::string&)>& command) {
    constexpr std::size_t max_line = 4096;
    bool stdin_open = true;
    std::string pending;
    for (;;) {
        pollfd fds[3] = {{signals.fd, POLLIN, 0},
                         {stdin_open ? 0 : -1, POLLIN, 0},
                         {devices.fd(), devices.events(), 0}};
        const auto timeout = devices.timeout();
        timespec wait{};
        if (timeout) {
            wait.tv_sec = static_cast<time_t>(timeout->count() / 1'000'000'000);
            wait.tv_nsec = static_cast<long>(timeout->count() % 1'000'000'000);
        }
        if (::ppoll(fds, 3, timeout ? &wait : nullptr, nullptr) < 0) continue;
        devices.on_ready(fds[2].revents);
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

}  // namespace

void print_cab_usage(std::ostream& out) {
    out << "usage: kest-sim cab (--interface IF | --veth NAME) [--log-frames] [--wrong-sequence]"
           " [--short]\n"
           "                    [--padded] [--foreign] [--lose-middle] [--fault-every N]\n"
           "                    --device DEVICE... [-- PROGRAM ARGS...]\n"
           "  DEVICE: SERIAL[:echo|stream|silent[:RATE]][,ATTRIBUTE]...\n"
           "          SERIAL: base-36 text (\\xHH for any byte, \\\\ for a backslash) or #VALUE\n"
           "          ATTRIBUTE: form=a|b|ab mac=MAC message=BYTES fragment=BYTES fault-every=N\n"
           "                     wrong-sequence short padded foreign lose-middle\n"
           "  --veth NAME: devices on NAME-dev in a namespace of their own, NAME beside PROGRAM\n"
           "  standard input: 'unplug SERIAL', 'plug SERIAL', 'quiet SERIAL', 'answer SERIAL'\n";
}

int run_cab(int argc, char** argv) {
    std::string interface, veth_name;
    bool log_frames = false;
    faults common;
    std::vector<std::string> device_texts, command;
    std::vector<device_settings> setups;
    try {
        for (int i = 2; i < argc; ++i) {
            const std::string arg = argv[i];
            if (arg == "--") {
                command.assign(argv + i + 1, argv + argc);
                break;
            }
            if (arg == "--log-frames") {
                log_frames = true;
                continue;
            }
            if (arg.starts_with("--") && set_fault(common, arg.substr(2))) continue;
            if (i + 1 >= argc) return usage(("missing value for " + arg).c_str());
            const std::string value = argv[++i];
            if (arg == "--interface")
                interface = value;
            else if (arg == "--veth")
                veth_name = value;
            else if (arg == "--fault-every")
                common.every = parse_number<unsigned>(value, 1, 1000000, "fault interval");
            else if (arg == "--device")
                device_texts.push_back(value);
            else
                return usage(("unknown option " + arg).c_str());
        }
        // Later options count for every device, wherever they stand.
        for (std::size_t i = 0; i < device_texts.size(); ++i)
            setups.push_back(parse_device(device_texts[i], i, common));
    } catch (const std::exception& e) {
        return usage(e.what());
    }
    if (setups.empty()) return usage("no --device given");
    if (interface.empty() == veth_name.empty()) return usage("give either --interface or --veth");
    if (!veth_name.empty() && !valid_veth_name(veth_name))
        return usage("--veth wants up to 11 letters, digits, '-', '_' or '.'");
    std::set<std::string> names;
    std::set<mac_address> macs;
    for (const auto& s : setups) {
        if (!names.insert(s.name).second)
            return usage(("serial " + s.name + " given twice").c_str());
        if (!macs.insert(s.mac).second)
            return usage(("MAC " + mac_text(s.mac) + " given twice").c_str());
    }

    const signal_source signals = catch_signals();
    std::unique_ptr<veth> pair;  // outlives the socket opened inside its namespace
    std::unique_ptr<link> devices;
    try {
        if (!veth_name.empty()) {
            pair = std::make_unique<veth>(veth_name);
            interface = pair->device_end();
            say("veth " + pair->host_end() + " with " + interface + " in a namespace of its own");
            pair->enter();
            try {
                devices = std::make_unique<link>(interface, log_frames);
            } catch (...) {
                pair->leave();
                throw;
            }
            pair->leave();
        } else {
            devices = std::make_unique<link>(interface, log_frames);
        }
        for (auto& s : setups) {
            if (s.fragment + header_size > devices->max_frame())
                throw std::invalid_argument("fragment size " + std::to_string(s.fragment) + " of " +
                                            s.name + " does not fit the MTU of " + interface);
            say("cab device " + s.name + " at " + mac_text(s.mac) + " on " + interface + " (" +
                mode_name(s.what) + ", form " + (s.form_a ? "a" : "") + (s.form_b ? "b" : "") +
                ")");
            devices->add(std::move(s));
        }
    } catch (const std::exception& e) {
        std::cerr << "kest-sim: " << e.what() << "\n";
        return 1;
    }
    say("ready");

    pid_t child = -1;
    if (!command.empty()) {
        child = spawn(command, signals.handled);
        if (child < 0) return 127;
    }

    const auto on_command = [&](const std::string& line) {
        std::istringstream words(line);
        std::string verb, serial;
        words >> verb >> serial;
        device* d = nullptr;
        try {
            d = serial.empty() ? nullptr : devices->find(canonical_name(serial));
        } catch (const std::invalid_argument&) {
        }
        if (!d) return false;
        const std::string& name = d->settings().name;
        if (verb == "unplug") {
            d->unplug();
            say("unplugged " + name);
        } else if (verb == "plug") {
            d->plug();
            say("plugged " + name);
        } else if (verb == "quiet" || verb == "answer") {
            d->set_answering(verb == "answer");
            say(name + (verb == "answer" ? " answers" : " is quiet"));
        } else {
            return false;
        }
        return true;
    };
    return serve(signals, child, *devices, on_command);
}

}  // namespace kest::sim

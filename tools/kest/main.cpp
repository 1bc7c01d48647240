// kest: a command-line client for a running kestd.
#include <algorithm>
#include <boost/asio/io_context.hpp>
#include <boost/program_options.hpp>
#include <chrono>
#include <climits>
#include <iostream>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "client/bridge.hpp"
#include "client/device_client.hpp"
#include "client/tokens.hpp"

namespace po = boost::program_options;

namespace {

constexpr int exit_no_server = 1;
constexpr int exit_usage = 2;
constexpr int exit_no_such_device = 3;
constexpr int exit_not_opened = 4;

struct command {
    const char* name;
    std::size_t arguments;
    const char* synopsis;
    const char* summary;
};

constexpr command commands[] = {
    {"version", 0, "version", "print the API version the server speaks"},
    {"find", 0, "find", "list the devices the server can reach now"},
    {"open", 1, "open SERIAL", "connect standard input and output to the device's byte stream"},
    {"close", 3, "close SERIAL ADDR PORT",
     "detach the data connection whose client end is ADDR:PORT"},
    {"lock", 3, "lock SERIAL NAME MS", "take the device's lock NAME for MS milliseconds"},
    {"unlock", 2, "unlock SERIAL NAME", "release the device's lock NAME"},
    {"store", 3, "store SERIAL KEY VALUE", "keep VALUE under KEY while the device is open"},
    {"load", 2, "load SERIAL KEY", "print the value kept under KEY (empty when none)"},
};

const command* command_named(const std::string& name) {
    for (const auto& c : commands) {
        if (name == c.name) return &c;
    }
    return nullptr;
}

void usage(std::ostream& out, const po::options_description& desc) {
    out << "Usage: kest [options] COMMAND [ARGUMENTS]\n\nCommands:\n";
    for (const auto& c : commands) {
        std::string synopsis = c.synopsis;
        synopsis.resize(std::max<std::size_t>(synopsis.size() + 2, 26), ' ');
        out << "  " << synopsis << c.summary << '\n';
    }
    out << "\nopen copies until the server closes the connection; at the end of standard input\n"
           "it half-closes the connection and goes on printing what arrives. The other device\n"
           "commands print the server's reply (1 or 0 for close, lock and unlock).\n\n"
        << desc
        << "\nExit codes: 0 the server answered, 1 no answer from kestd or the connection\n"
           "failed, 2 usage error, 3 no such device, 4 the device could not be opened.\n";
}

// Why the words do not make a request, or nothing when they do.
std::optional<std::string> invalid(const std::vector<std::string>& words, bool raw) {
    if (words.empty()) return "no command given";
    const command* c = command_named(words[0]);
    if (!c) return "unknown command: " + words[0];
    if (words.size() != c->arguments + 1) {
        return std::string("usage: kest ") + c->synopsis;
    }
    if (raw && words[0] != "find") return "--raw applies to find only";
    for (std::size_t i = 1; i < words.size(); ++i) {
        // Requests are split at blanks, so a blank would shift every later argument.
        if (words[i].empty() || words[i].find(' ') != std::string::npos) {
            return "arguments must be non-empty and without blanks: '" + words[i] + "'";
        }
    }
    if (words[0] == "lock" && !kest::parse_decimal(words[3], INT_MAX)) {
        return "MS must be a number of milliseconds: " + words[3];
    }
    if (words[0] == "close" && !kest::parse_port(words[3])) {
        return "PORT must be a port number: " + words[3];
    }
    return std::nullopt;
}

std::chrono::milliseconds milliseconds_option(const char* name, const std::string& text) {
    // A day is more than anyone waits for a reply, and keeps deadlines far from overflow.
    const auto value = kest::parse_decimal(text, 24 * 60 * 60 * 1000);
    if (!value) {
        throw std::invalid_argument(std::string("--") + name +
                                    " wants milliseconds (0 to 86400000), not '" + text + "'");
    }
    return std::chrono::milliseconds(*value);
}

int print_devices(kest::device_client& client, bool raw) {
    if (raw) {
        const std::string reply = client.find_raw();
        if (!reply.empty()) std::cout << reply << '\n';
        return 0;
    }
    const auto devices = client.find();
    if (devices.empty()) {
        std::cerr << "no devices found\n";
        return 0;
    }
    std::cout << kest::device_table(devices);
    return 0;
}

int open_and_bridge(kest::device_client& client, const kest::device_entry& device) {
    boost::asio::io_context io;
    // Standard input and output, by their descriptors.
    const auto result =
        kest::bridge(0, 1, client.open(io, device), {.stop_on_termination_signals = true});
    switch (result.end) {
        case kest::bridge_end::connection_closed:
        case kest::bridge_end::output_closed:
            return 0;
        case kest::bridge_end::signal:
            return 128 + result.signal_number;
        case kest::bridge_end::failed:
            break;
    }
    std::cerr << "kest: data connection to " << device.serial << " failed: " << result.error
              << '\n';
    return exit_no_server;
}

int run(const std::vector<std::string>& words, bool raw, kest::client_timeouts timeouts) {
    kest::device_client client(timeouts);
    if (words[0] == "version") {
        std::cout << client.version() << '\n';
        return 0;
    }
    if (words[0] == "find") return print_devices(client, raw);
    const auto device = client.locate(words[1]);
    if (words[0] == "open") return open_and_bridge(client, device);
    std::cout << client.call(device, words[0], {words.begin() + 2, words.end()}) << '\n';
    return 0;
}

int exit_code(kest::failure kind) {
    switch (kind) {
        case kest::failure::no_such_device:
            return exit_no_such_device;
        case kest::failure::not_opened:
            return exit_not_opened;
        case kest::failure::no_answer:
        case kest::failure::bad_reply:
            break;
    }
    return exit_no_server;
}

}  // namespace

int main(int argc, char* argv[]) {
    po::options_description desc("Options");
    // Read as text: the stock unsigned parser takes "-5" and wraps it around.
    std::string timeout_text = "2000";
    std::string open_timeout_text = "10000";
    // clang-format off
    desc.add_options()
        ("help", "show this help")
        ("timeout", po::value<std::string>(&timeout_text)->default_value(timeout_text),
            "milliseconds to wait for each reply but open's")
        ("open-timeout", po::value<std::string>(&open_timeout_text)->default_value(open_timeout_text),
            "milliseconds to wait for a device to open")
        ("raw", "find: print the device list as the server sent it");
    // clang-format on
    po::options_description hidden;
    std::vector<std::string> words;
    hidden.add_options()("words", po::value<std::vector<std::string>>(&words));
    po::options_description all;
    all.add(desc).add(hidden);
    po::positional_options_description positional;
    positional.add("words", -1);

    bool raw = false;
    kest::client_timeouts timeouts;
    try {
        po::variables_map vm;
        po::store(po::command_line_parser(argc, argv).options(all).positional(positional).run(),
                  vm);
        po::notify(vm);
        if (vm.count("help")) {
            usage(std::cout, desc);
            return 0;
        }
        raw = vm.count("raw") > 0;
        timeouts.request = milliseconds_option("timeout", timeout_text);
        timeouts.open = milliseconds_option("open-timeout", open_timeout_text);
    } catch (const std::exception& e) {
        std::cerr << "kest: " << e.what() << "\n\n";
        usage(std::cerr, desc);
        return exit_usage;
    }
    if (const auto why = invalid(words, raw)) {
        std::cerr << "kest: " << *why << "\n\n";
        usage(std::cerr, desc);
        return exit_usage;
    }

    try {
        return run(words, raw, timeouts);
    } catch (const kest::client_error& e) {
        std::cerr << "kest: " << e.what() << '\n';
        return exit_code(e.kind());
    } catch (const std::exception& e) {
        std::cerr << "kest: " << e.what() << '\n';
        return exit_no_server;
    }
}

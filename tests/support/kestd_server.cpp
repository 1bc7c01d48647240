#include "support/kestd_server.hpp"

#include <signal.h>

#include <algorithm>
#include <sstream>
#include <thread>

#include "client/request_client.hpp"

namespace kestd::test {

std::string kestd_binary() { return KESTD_BINARY; }
std::string kest_sim_binary() { return KEST_SIM_BINARY; }

std::optional<std::string> ask_landing(std::string_view payload,
                                       std::chrono::milliseconds timeout) {
    kest::request_client client(timeout);
    return client.request(kest::landing_endpoint(), payload);
}

kestd_server::kestd_server(std::vector<std::string> options, std::vector<std::string> wrapper)
    : process_(command(std::move(options), std::move(wrapper))) {}

std::vector<std::string> kestd_server::command(std::vector<std::string> options,
                                               std::vector<std::string> wrapper) {
    options.insert(options.begin(), kestd_binary());
    options.insert(options.begin(), wrapper.begin(), wrapper.end());
    return options;
}

bool kestd_server::ready(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (process_.wait(std::chrono::milliseconds(0))) return false;
        if (ask_landing("2 version", std::chrono::milliseconds(50)) == "2") return true;
    }
    return false;
}

simulated_server::simulated_server(std::vector<std::string> devices,
                                   std::vector<std::string> options)
    : process_(command(std::move(devices), std::move(options))) {}

std::vector<std::string> simulated_server::command(std::vector<std::string> devices,
                                                   std::vector<std::string> options) {
    std::vector<std::string> argv = {KEST_SIM_BINARY, "serial"};
    for (auto& d : devices) {
        argv.push_back("--device");
        argv.push_back(std::move(d));
    }
    argv.push_back("--");
    argv.push_back(kestd_binary());
    argv.push_back("--no-cab");
    argv.push_back("--no-dxx");
    for (auto& o : options) argv.push_back(std::move(o));
    return argv;
}

bool simulated_server::ready(std::size_t expected, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (process_.wait(std::chrono::milliseconds(0))) return false;
        const auto list = ask_landing("2 find", std::chrono::milliseconds(300));
        if (list &&
            (expected == 0
                 ? list->empty()
                 : static_cast<std::size_t>(std::count(list->begin(), list->end(), '\n')) + 1 ==
                       expected)) {
            return true;
        }
    }
    return false;
}

std::optional<int> simulated_server::stop() {
    process_.signal(SIGINT);
    return process_.wait();
}

std::optional<kest::device_entry> wait_listed(kest::device_client& client,
                                              const std::string& serial,
                                              std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        try {
            if (auto entry = kest::find_device(client.find(), serial)) return entry;
        } catch (const std::exception&) {
            // No answer yet, or the server is still starting: ask again.
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return std::nullopt;
}

std::vector<std::string> lines_with(const std::string& log, std::string_view text) {
    std::vector<std::string> found;
    std::istringstream in(log);
    for (std::string line; std::getline(in, line);) {
        if (line.find(text) != std::string::npos) found.push_back(line);
    }
    return found;
}

}  // namespace kestd::test

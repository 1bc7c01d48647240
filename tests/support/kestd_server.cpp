#include "support/kestd_server.hpp"

#include <sstream>
#include <thread>

#include "client/request_client.hpp"

namespace kestd::test {

std::string kestd_binary() { return KESTD_BINARY; }

std::optional<std::string> ask_landing(std::string_view payload,
                                       std::chrono::milliseconds timeout) {
    kest::request_client client(timeout);
    return client.request(kest::landing_endpoint(), payload);
}

kestd_server::kestd_server(std::vector<std::string> options)
    : process_(command(std::move(options))) {}

std::vector<std::string> kestd_server::command(std::vector<std::string> options) {
    options.insert(options.begin(), kestd_binary());
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

std::vector<std::string> lines_with(const std::string& log, std::string_view text) {
    std::vector<std::string> found;
    std::istringstream in(log);
    for (std::string line; std::getline(in, line);) {
        if (line.find(text) != std::string::npos) found.push_back(line);
    }
    return found;
}

}  // namespace kestd::test

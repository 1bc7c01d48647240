#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "client/device_client.hpp"
#include "client/device_list.hpp"
#include "support/child_process.hpp"

namespace kestd::test {

// The kestd binary under test, and the device simulator.
std::string kestd_binary();
std::string kest_sim_binary();

// Sends one datagram to the landing and returns the reply, if one came in time.
std::optional<std::string> ask_landing(std::string_view payload,
                                       std::chrono::milliseconds timeout = std::chrono::seconds(2));

// A kestd process started with the given options. ready() waits until its landing answers.
class kestd_server {
public:
    // `wrapper` runs kestd (a program and its arguments, kestd's command line appended).
    explicit kestd_server(std::vector<std::string> options = {},
                          std::vector<std::string> wrapper = {});

    bool ready(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    child_process& process() { return process_; }
    std::string log() const { return process_.stderr_text(); }

private:
    static std::vector<std::string> command(std::vector<std::string> options,
                                            std::vector<std::string> wrapper);
    child_process process_;
};

// kestd run by kest-sim with simulated serial devices (DEVICE as kest-sim takes it), the
// other local transports off. ready() waits until the landing lists `expected` devices.
class simulated_server {
public:
    simulated_server(std::vector<std::string> devices, std::vector<std::string> options = {});

    bool ready(std::size_t expected, std::chrono::milliseconds timeout = std::chrono::seconds(10));
    child_process& process() { return process_; }
    std::string log() const { return process_.stderr_text(); }
    // Stops kestd with SIGINT and returns its exit code.
    std::optional<int> stop();

private:
    static std::vector<std::string> command(std::vector<std::string> devices,
                                            std::vector<std::string> options);
    child_process process_;
};

// Asks the landing until `serial` is listed (each find is one discovery window).
std::optional<kest::device_entry> wait_listed(
    kest::device_client& client, const std::string& serial,
    std::chrono::milliseconds timeout = std::chrono::seconds(10));

// Log lines (standard error) that contain `text`.
std::vector<std::string> lines_with(const std::string& log, std::string_view text);

}  // namespace kestd::test

#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "support/child_process.hpp"

namespace kestd::test {

// The kestd binary under test.
std::string kestd_binary();

// Sends one datagram to the landing and returns the reply, if one came in time.
std::optional<std::string> ask_landing(std::string_view payload,
                                       std::chrono::milliseconds timeout = std::chrono::seconds(2));

// A kestd process started with the given options. ready() waits until its landing answers.
class kestd_server {
public:
    explicit kestd_server(std::vector<std::string> options = {});

    bool ready(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    child_process& process() { return process_; }
    std::string log() const { return process_.stderr_text(); }

private:
    static std::vector<std::string> command(std::vector<std::string> options);
    child_process process_;
};

// Log lines (standard error) that contain `text`.
std::vector<std::string> lines_with(const std::string& log, std::string_view text);

}  // namespace kestd::test

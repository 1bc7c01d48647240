#pragma once

#include <boost/log/trivial.hpp>
#include <boost/shared_ptr.hpp>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace kestd::test {

// Collects every log record of this process as "[severity] [channel] message" lines.
class log_capture {
public:
    // Debug is the server's default level; trace dumps relayed bytes.
    explicit log_capture(boost::log::trivial::severity_level least = boost::log::trivial::debug);
    ~log_capture();
    log_capture(const log_capture&) = delete;
    log_capture& operator=(const log_capture&) = delete;

    // Waits until `count` lines contain `text`.
    bool wait_for(std::string_view text, std::size_t count = 1,
                  std::chrono::milliseconds timeout = std::chrono::seconds(10));
    std::size_t count(std::string_view text) const;
    std::vector<std::string> lines() const;

    struct state {
        mutable std::mutex mutex;
        std::condition_variable changed;
        std::vector<std::string> lines;
    };

private:
    std::shared_ptr<state> state_;
    boost::shared_ptr<void> sink_;
};

}  // namespace kestd::test

// What every open driver promises, written once and run against each driver by the test
// program that can make it (see the INSTANTIATE_TEST_SUITE_P calls beside this file).
#pragma once

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <boost/system/error_code.hpp>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "driver/driver_base.hpp"

namespace kestd::test {

using byte_string = std::vector<std::uint8_t>;

// A device and the driver open on it; the suite plays the device through the rest.
class driver_under_test {
public:
    virtual ~driver_under_test() = default;
    // Called once per test.
    virtual std::shared_ptr<driver::driver_base> open(boost::asio::io_context& io) = 0;
    // The device sends `bytes` to the host, in order; runs on a thread of its own while the
    // driver's loop runs, so it may block until the host reads.
    virtual void send(const byte_string& bytes) = 0;
    // The first `n` bytes the host wrote, or what came of them within `limit`; on a thread
    // of its own, like send.
    virtual byte_string receive(std::size_t n, std::chrono::milliseconds limit) = 0;
    // The device is unplugged, disconnects or drops off its link.
    virtual void go_away() = 0;
};

// A device whose side is one descriptor: a socket, a pty.
class descriptor_device : public driver_under_test {
public:
    void send(const byte_string& bytes) override;
    byte_string receive(std::size_t n, std::chrono::milliseconds limit) override;

protected:
    virtual int device_fd() = 0;
};

struct driver_kind {
    std::string name;  // ends the test's name
    std::function<std::unique_ptr<driver_under_test>()> make;
    // Why this kind cannot run in this process (an empty text when it can); none: it can.
    std::function<std::string()> unavailable;
    // How a pending read ends when the device goes away; any error when not given.
    std::optional<boost::system::error_code> gone_ends_read_with;
};

inline void PrintTo(const driver_kind& kind, std::ostream* os) { *os << kind.name; }
inline std::string kind_name(const ::testing::TestParamInfo<driver_kind>& info) {
    return info.param.name;
}

class OpenDriver : public ::testing::TestWithParam<driver_kind> {
protected:
    // One operation's completions; the buffer lives as long as the operation may.
    struct completion {
        int calls = 0;
        boost::system::error_code ec;
        std::size_t bytes = 0;
        byte_string buffer;
    };

    void SetUp() override;
    void TearDown() override;

    std::shared_ptr<completion> read(std::size_t size);
    std::shared_ptr<completion> write(byte_string bytes);
    // Runs the loop until `done` or the limit; returns `done()`.
    bool run_until(const std::function<bool()>& done,
                   std::chrono::milliseconds limit = std::chrono::seconds(10));
    // Gives late or repeated completions the chance to show.
    void settle();

    boost::asio::io_context io;
    std::unique_ptr<driver_under_test> device;
    std::shared_ptr<driver::driver_base> driver;
};

}  // namespace kestd::test

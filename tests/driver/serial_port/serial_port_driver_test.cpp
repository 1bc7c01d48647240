// The Serial Port transport against simulated USB serial ports (umockdev ptys).
#include "driver/serial_port/serial_port_driver.hpp"

#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/system/system_error.hpp>
#include <cerrno>
#include <thread>

#include "driver/contract/driver_contract.hpp"
#include "driver/serial_port/find_devices.hpp"
#include "driver/serial_port/weak_serial_port_driver.hpp"
#include "serial_testbed.hpp"
#include "support/log_capture.hpp"

namespace {
// Changes of line settings that may still succeed; a negative count lets all through.
std::atomic<int> line_changes_allowed{-1};
}  // namespace

// The pty behind a simulated port takes every setting, so a failing one is played here:
// this definition stands in for the C library's in the whole test program.
extern "C" int tcsetattr(int fd, int actions, const termios* settings) {
    using real_tcsetattr = int (*)(int, int, const termios*);
    static const auto real = reinterpret_cast<real_tcsetattr>(::dlsym(RTLD_NEXT, "tcsetattr"));
    const int allowed = line_changes_allowed;
    if (allowed == 0) {
        errno = EIO;
        return -1;
    }
    if (allowed > 0) line_changes_allowed = allowed - 1;
    return real(fd, actions, settings);
}

namespace kestd::driver::serial_port {
namespace {

using namespace std::chrono_literals;
using test::log_capture;
using test::OpenDriver;
namespace asio = boost::asio;

constexpr const char* family = KESTD_USB_VENDOR_ID;

// Reads exactly n bytes from the device's side, or what came within the timeout.
std::string read_device_side(int fd, std::size_t n, std::chrono::milliseconds timeout = 5s) {
    std::string s(n, '\0');
    std::size_t got = 0;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (got < n && std::chrono::steady_clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0) continue;
        const ssize_t r = ::read(fd, s.data() + got, n - got);
        if (r > 0) got += static_cast<std::size_t>(r);
    }
    s.resize(got);
    return s;
}

void write_device_side(int fd, std::string_view bytes) {
    ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
}

TEST(SerialPortFind, FindsExactlyTheFamilysPorts) {
    log_capture log;
    kest::sim::serial_testbed bed;
    const auto first = bed.add_port(family, "0001", "AB12CD");
    bed.add_port("1234", "0001", "AB12CE");  // another maker
    bed.add_port(family, "0001", "AB12C");   // five characters: not one of ours
    bed.add_port(family, "0001", "000001");  // fails the serial rule
    bed.add_port(family, "0002", "AB12CD");  // the same serial again
    const auto longer = bed.add_port(family, "0001", "A00000-extra");
    bed.add_port(family, "0001", "");  // no serial at all

    found_device_map found;
    find_devices(found);
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(dynamic_cast<weak_serial_port_driver&>(*found.at("AB12CD")).port(), first.node);
    EXPECT_EQ(dynamic_cast<weak_serial_port_driver&>(*found.at("A00000")).port(), longer.node);
    EXPECT_EQ(found.at("AB12CD")->name(), "serial_port");
    EXPECT_EQ(log.count("[warning] [serial_port] invalid serial: 000001"), 1u);
}

class SerialPortDriver : public ::testing::Test {
protected:
    SerialPortDriver() : port(bed.add_port(family, "0001", "AB12CD")) {}

    std::shared_ptr<driver_base> open() {
        found_device_map found;
        find_devices(found);
        EXPECT_EQ(found.count("AB12CD"), 1u);
        return found.at("AB12CD")->open(io);
    }
    // Runs the loop until `done` or the timeout.
    bool run_until(const bool& done, std::chrono::milliseconds timeout = 5s) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!done && std::chrono::steady_clock::now() < deadline) {
            io.restart();
            io.run_for(10ms);
        }
        return done;
    }

    log_capture log;
    kest::sim::serial_testbed bed;
    kest::sim::serial_testbed::port port;
    asio::io_context io;
};

TEST_F(SerialPortDriver, MovesBytesBothWaysIntact) {
    auto driver = open();
    EXPECT_EQ(log.count("[debug] [driver] driver constructed"), 1u);

    // Every byte value, so nothing on the line may translate or swallow any of them.
    std::string all;
    for (int round = 0; round < 4; ++round) {
        for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
    }
    write_device_side(port.master, all);
    std::string received;
    std::vector<char> buffer(65536);
    bool done = false;
    std::function<void(const boost::system::error_code&, std::size_t)> on_read =
        [&](const boost::system::error_code& ec, std::size_t n) {
            ASSERT_FALSE(ec) << ec.message();
            ASSERT_GT(n, 0u) << "never a successful empty read";
            received.append(buffer.data(), n);
            if (received.size() >= all.size()) {
                done = true;
                return;
            }
            driver->async_read(asio::buffer(buffer), io_handler(on_read));
        };
    driver->async_read(asio::buffer(buffer), io_handler(on_read));
    ASSERT_TRUE(run_until(done));
    EXPECT_EQ(received, all);

    const std::string reply = "written by the server";
    bool written = false;
    driver->async_write(asio::buffer(reply),
                        [&](const boost::system::error_code& ec, std::size_t n) {
                            EXPECT_FALSE(ec);
                            EXPECT_EQ(n, reply.size());
                            written = true;
                        });
    ASSERT_TRUE(run_until(written));
    EXPECT_EQ(read_device_side(port.master, reply.size()), reply);

    EXPECT_TRUE(driver->close());
    EXPECT_TRUE(driver->close()) << "closing twice is harmless";
    driver.reset();
    io.restart();
    io.poll();
    EXPECT_EQ(log.count("[debug] [driver] driver destroyed"), 1u);
}

TEST_F(SerialPortDriver, LargeWritesCompleteOnceWithTheirWholeLength) {
    auto driver = open();
    // Two writes in flight at once, as two clients of one device make them; their bytes
    // come from disjoint ranges so each can be picked out of what the device receives.
    std::string first(200000, '\0'), second(100000, '\0');
    for (std::size_t i = 0; i < first.size(); ++i) first[i] = static_cast<char>(i % 127);
    for (std::size_t i = 0; i < second.size(); ++i) second[i] = static_cast<char>(128 + i % 127);
    std::string at_device;
    std::thread reader([&] { at_device = read_device_side(port.master, 300000, 20s); });
    int completions = 0;
    std::size_t total = 0;
    for (const std::string* bytes : {&first, &second}) {
        driver->async_write(asio::buffer(*bytes),
                            [&](const boost::system::error_code& ec, std::size_t n) {
                                EXPECT_FALSE(ec) << ec.message();
                                ++completions;
                                total += n;
                            });
    }
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (completions < 2 && std::chrono::steady_clock::now() < deadline) {
        io.restart();
        io.run_for(10ms);
    }
    reader.join();
    EXPECT_EQ(completions, 2);
    EXPECT_EQ(total, 300000u);
    std::string got_first, got_second;
    for (char c : at_device) (static_cast<unsigned char>(c) < 128 ? got_first : got_second) += c;
    EXPECT_TRUE(got_first == first) << got_first.size() << " bytes of the first write";
    EXPECT_TRUE(got_second == second) << got_second.size() << " bytes of the second write";
}

// The device's side of the driver contract: the pty behind a simulated port.
class serial_device : public test::descriptor_device {
public:
    serial_device() : port_(bed_.add_port(family, "0001", "AB12CD")) {}
    std::shared_ptr<driver_base> open(asio::io_context& io) override {
        found_device_map found;
        find_devices(found);
        return found.at("AB12CD")->open(io);
    }
    void go_away() override { bed_.unplug(port_.node); }

private:
    int device_fd() override { return port_.master; }
    kest::sim::serial_testbed bed_;
    kest::sim::serial_testbed::port port_;
};

INSTANTIATE_TEST_SUITE_P(
    SerialPort, OpenDriver,
    ::testing::Values(test::driver_kind{
        "SerialPort", [] { return std::make_unique<serial_device>(); }, {}, {}}),
    test::kind_name);

TEST_F(SerialPortDriver, APortIsOpenedByOneDriverAtATime) {
    auto driver = open();
    try {
        open();
        FAIL() << "a second open of the same port succeeded";
    } catch (const boost::system::system_error& e) {
        EXPECT_NE(std::string(e.what()).find("open"), std::string::npos) << e.what();
    }
    driver->close();
    EXPECT_NO_THROW(open()) << "free again once closed";
}

TEST_F(SerialPortDriver, AnOpenThatFailsHalfwayLeavesThePortToOthers) {
    // Asio's own open changes the line settings once; the driver's settings follow after the
    // port was made exclusive.
    for (const int changes_allowed : {0, 1, 3}) {
        line_changes_allowed = changes_allowed;
        EXPECT_THROW(open(), boost::system::system_error) << changes_allowed;
        line_changes_allowed = -1;
        const int fd = ::open(port.node.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        ASSERT_GE(fd, 0);
        int exclusive = -1;
        EXPECT_EQ(::ioctl(fd, TIOCGEXCL, &exclusive), 0);
        EXPECT_EQ(exclusive, 0) << "still exclusive after failing at change " << changes_allowed;
        ::close(fd);
    }
    EXPECT_NO_THROW(open());
}

TEST_F(SerialPortDriver, OpeningAMissingPortThrowsNamingOpen) {
    weak_serial_port_driver missing("/dev/ttyACM99");
    try {
        missing.open(io);
        FAIL() << "opened a port that does not exist";
    } catch (const boost::system::system_error& e) {
        EXPECT_NE(std::string(e.what()).find("open"), std::string::npos) << e.what();
    }
}

}  // namespace
}  // namespace kestd::driver::serial_port

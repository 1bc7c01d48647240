#include "driver/contract/driver_contract.hpp"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <boost/asio/buffer.hpp>
#include <boost/asio/error.hpp>
#include <cerrno>
#include <future>
#include <sstream>
#include <thread>

namespace kestd::test {

namespace asio = boost::asio;
using namespace std::chrono_literals;
using clock = std::chrono::steady_clock;

namespace {

// Bytes `start` to `start + n` of a stream in which every run of 256 holds each byte value
// once, and runs differ, so lost, repeated or reordered pieces show.
byte_string pattern(std::size_t n, std::size_t start = 0) {
    byte_string bytes(n);
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t j = start + i;
        bytes[i] = static_cast<std::uint8_t>((j & 0xFF) ^ (((j >> 8) * 37) & 0xFF));
    }
    return bytes;
}

// Where two byte strings part, for a failure message that does not print megabytes.
std::string difference(const byte_string& got, const byte_string& expected) {
    std::size_t at = 0;
    while (at < got.size() && at < expected.size() && got[at] == expected[at]) ++at;
    std::ostringstream s;
    s << got.size() << " of " << expected.size() << " bytes, first difference at " << at;
    return s.str();
}

bool ready(const std::future<void>& f) { return f.wait_for(0s) == std::future_status::ready; }
bool ready(const std::future<byte_string>& f) {
    return f.wait_for(0s) == std::future_status::ready;
}

// A megabyte through a simulated serial port under a sanitizer takes its time.
constexpr auto transfer_limit = 30s;

}  // namespace

void descriptor_device::send(const byte_string& bytes) {
    std::size_t sent = 0;
    const auto deadline = clock::now() + transfer_limit;
    while (sent < bytes.size() && clock::now() < deadline) {
        pollfd p{device_fd(), POLLOUT, 0};
        if (::poll(&p, 1, 50) <= 0) continue;
        const ssize_t n = ::write(p.fd, bytes.data() + sent, bytes.size() - sent);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
        } else if (errno != EAGAIN && errno != EINTR) {
            break;
        }
    }
    EXPECT_EQ(sent, bytes.size()) << "the device could not send everything";
}

byte_string descriptor_device::receive(std::size_t n, std::chrono::milliseconds limit) {
    byte_string got(n);
    std::size_t have = 0;
    const auto deadline = clock::now() + limit;
    while (have < n && clock::now() < deadline) {
        pollfd p{device_fd(), POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0) continue;
        const ssize_t r = ::read(p.fd, got.data() + have, n - have);
        if (r > 0) {
            have += static_cast<std::size_t>(r);
        } else if (r == 0 || (errno != EAGAIN && errno != EINTR)) {
            break;
        }
    }
    got.resize(have);
    return got;
}

void OpenDriver::SetUp() {
    if (const auto& unavailable = GetParam().unavailable) {
        if (const std::string why = unavailable(); !why.empty()) GTEST_SKIP() << why;
    }
    device = GetParam().make();
    driver = device->open(io);
    ASSERT_TRUE(driver);
}

void OpenDriver::TearDown() {
    if (driver) driver->close();
    // What close ended runs now, while the test's device is still there.
    io.restart();
    io.poll();
    driver.reset();
    device.reset();
}

std::shared_ptr<OpenDriver::completion> OpenDriver::read(std::size_t size) {
    auto c = std::make_shared<completion>();
    c->buffer.resize(size);
    driver->async_read(asio::buffer(c->buffer),
                       [c](const boost::system::error_code& ec, std::size_t n) {
                           ++c->calls;
                           c->ec = ec;
                           c->bytes = n;
                       });
    return c;
}

std::shared_ptr<OpenDriver::completion> OpenDriver::write(byte_string bytes) {
    auto c = std::make_shared<completion>();
    c->buffer = std::move(bytes);
    driver->async_write(asio::buffer(c->buffer),
                        [c](const boost::system::error_code& ec, std::size_t n) {
                            ++c->calls;
                            c->ec = ec;
                            c->bytes = n;
                        });
    return c;
}

bool OpenDriver::run_until(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    const auto deadline = clock::now() + limit;
    while (!done() && clock::now() < deadline) {
        io.restart();
        io.run_for(10ms);
        // Out of work: what is awaited happens on another thread.
        if (!done() && io.stopped()) std::this_thread::sleep_for(1ms);
    }
    return done();
}

void OpenDriver::settle() {
    io.restart();
    io.run_for(100ms);
}

TEST_P(OpenDriver, WritesCompleteOnceWithTheirWholeLength) {
    // One byte; more than one CAB frame holds; more than any pipe or socket buffer holds.
    const std::size_t sizes[] = {1, 1500, 1 << 20};
    std::size_t total = 0;
    for (const std::size_t size : sizes) total += size;
    auto at_device = std::async(std::launch::async,
                                [&, total] { return device->receive(total, transfer_limit); });
    // One at a time: the order of writes in flight together is not promised.
    std::vector<std::shared_ptr<completion>> writes;
    std::size_t at = 0;
    for (const std::size_t size : sizes) {
        auto w = write(pattern(size, at));
        at += size;
        writes.push_back(w);
        ASSERT_TRUE(run_until([&] { return w->calls > 0; }, transfer_limit))
            << "a " << size << "-byte write never completed";
        EXPECT_FALSE(w->ec) << size << " bytes: " << w->ec.message();
        EXPECT_EQ(w->bytes, size);
    }
    ASSERT_TRUE(run_until([&] { return ready(at_device); }, transfer_limit));
    settle();
    for (const auto& w : writes) EXPECT_EQ(w->calls, 1) << w->buffer.size() << "-byte write";
    const byte_string expected = pattern(total);
    const byte_string got = at_device.get();
    EXPECT_TRUE(got == expected) << difference(got, expected);
}

TEST_P(OpenDriver, ReadsDeliverWhatTheDeviceSentIntactAndInOrder) {
    const byte_string sent = pattern(20000);
    auto sending = std::async(std::launch::async, [&] { device->send(sent); });
    // Smaller than what the device sends at once, so reads must stop at the buffer's end.
    constexpr std::size_t buffer_size = 1000;
    std::vector<std::shared_ptr<completion>> reads;
    byte_string got;
    while (got.size() < sent.size()) {
        auto r = read(buffer_size);
        reads.push_back(r);
        ASSERT_TRUE(run_until([&] { return r->calls > 0; })) << "after " << got.size() << " bytes";
        ASSERT_FALSE(r->ec) << "after " << got.size() << " bytes: " << r->ec.message();
        ASSERT_GE(r->bytes, 1u) << "never a successful empty read";
        ASSERT_LE(r->bytes, buffer_size);
        got.insert(got.end(), r->buffer.begin(), r->buffer.begin() + static_cast<long>(r->bytes));
    }
    ASSERT_TRUE(run_until([&] { return ready(sending); }));
    settle();
    for (const auto& r : reads) EXPECT_EQ(r->calls, 1);
    EXPECT_TRUE(got == sent) << difference(got, sent);
}

TEST_P(OpenDriver, CloseAbortsAPendingRead) {
    auto r = read(100);
    io.run_for(20ms);
    ASSERT_EQ(r->calls, 0) << "an idle device sent something";
    EXPECT_TRUE(driver->close());
    ASSERT_TRUE(run_until([&] { return r->calls > 0; })) << "close left the read pending";
    settle();
    EXPECT_EQ(r->calls, 1);
    EXPECT_EQ(r->ec, asio::error::operation_aborted) << r->ec.message();
}

TEST_P(OpenDriver, ASecondCloseIsHarmless) {
    auto r = read(100);
    io.run_for(20ms);
    EXPECT_TRUE(driver->close());
    // Descriptors the first close gave back go to whoever opens next: a second close must
    // not close them again.
    std::vector<int> others;
    for (int i = 0; i < 8; ++i) others.push_back(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    EXPECT_TRUE(driver->close());
    for (const int fd : others) {
        EXPECT_NE(::fcntl(fd, F_GETFD), -1) << "descriptor " << fd << " closed behind its owner";
        ::close(fd);
    }
    ASSERT_TRUE(run_until([&] { return r->calls > 0; }));
    settle();
    EXPECT_EQ(r->calls, 1);
}

TEST_P(OpenDriver, ADeviceGoingAwayEndsAPendingReadOnce) {
    auto r = read(100);
    io.run_for(20ms);
    ASSERT_EQ(r->calls, 0) << "an idle device sent something";
    device->go_away();
    ASSERT_TRUE(run_until([&] { return r->calls > 0; }))
        << "clients would wait forever on a device that is gone";
    settle();
    EXPECT_EQ(r->calls, 1) << "an end is reported once, not reissued";
    EXPECT_TRUE(r->ec) << "an end or an error, not " << r->bytes << " bytes";
    if (const auto& expected = GetParam().gone_ends_read_with) {
        EXPECT_EQ(r->ec, *expected) << r->ec.message();
    }
}

TEST_P(OpenDriver, AnEmptyReadIsRefused) {
    auto r = read(0);
    EXPECT_EQ(r->calls, 0) << "the handler ran inside async_read";
    ASSERT_TRUE(run_until([&] { return r->calls > 0; }));
    settle();
    EXPECT_EQ(r->calls, 1);
    // A successful empty read would be issued again at once, forever.
    EXPECT_EQ(r->ec, asio::error::invalid_argument)
        << r->ec.message() << ", " << r->bytes << " bytes";
}

}  // namespace kestd::test

#include "driver/tcp/tcp_driver.hpp"

#include <gtest/gtest.h>

#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <boost/system/system_error.hpp>
#include <numeric>
#include <optional>

#include "driver/tcp/weak_tcp_driver.hpp"

namespace kestd::driver::tcp {
namespace {

namespace asio = boost::asio;
using asio::ip::make_address_v4;
using asio::ip::tcp;

const auto loopback = make_address_v4("127.0.0.1");

struct listening_device {
    asio::io_context io;
    tcp::acceptor acceptor{io, tcp::endpoint(loopback, 0)};
    tcp::endpoint endpoint() const { return acceptor.local_endpoint(); }
};

// The open's failure, as the system error it throws.
std::optional<boost::system::system_error> open_failure(const asio::ip::address_v4& local,
                                                        const tcp::endpoint& device,
                                                        std::chrono::milliseconds limit =
                                                            tcp_driver::connect_time_limit) {
    asio::io_context io;
    try {
        tcp_driver driver(io, local, device, limit);
    } catch (const boost::system::system_error& e) {
        return e;
    }
    return std::nullopt;
}

TEST(TcpDriver, ConnectsFromTheInterfaceItWasFoundOn) {
    listening_device device;
    asio::io_context io;
    const weak_tcp_driver found(make_address_v4("127.0.0.2"), device.endpoint());
    EXPECT_EQ(found.name(), "tcp");
    const auto driver = const_cast<weak_tcp_driver&>(found).open(io);
    const tcp::socket peer = device.acceptor.accept();
    EXPECT_EQ(peer.remote_endpoint().address().to_string(), "127.0.0.2");
}

TEST(TcpDriver, OpenFailuresNameTheStep) {
    tcp::endpoint closed;
    {
        listening_device device;
        closed = device.endpoint();
    }
    auto failure = open_failure(loopback, closed);
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->code(), asio::error::connection_refused);
    EXPECT_NE(std::string(failure->what()).find("connect"), std::string::npos);

    // The interface address went away since discovery.
    listening_device device;
    failure = open_failure(make_address_v4("192.0.2.7"), device.endpoint());
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->code(), boost::system::errc::address_not_available);
    EXPECT_NE(std::string(failure->what()).find("bind"), std::string::npos);
}

TEST(TcpDriver, ConnectGivesUpAfterItsTimeLimit) {
    // A listener whose queue is full drops further connection requests unanswered, as an
    // unreachable host does.
    asio::io_context io;
    tcp::acceptor acceptor(io, tcp::endpoint(loopback, 0));
    acceptor.listen(0);
    tcp::socket queued(io);
    queued.connect(acceptor.local_endpoint());
    const auto started = std::chrono::steady_clock::now();
    const auto failure =
        open_failure(loopback, acceptor.local_endpoint(), std::chrono::milliseconds(200));
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->code(), asio::error::timed_out);
    EXPECT_NE(std::string(failure->what()).find("connect"), std::string::npos);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(3));
}

TEST(TcpDriver, ReadsWritesAndSeesThePeerClose) {
    listening_device device;
    asio::io_context io;
    auto driver = std::make_shared<tcp_driver>(io, loopback, device.endpoint());
    tcp::socket peer = device.acceptor.accept();

    // A large write completes once, whole.
    std::vector<std::uint8_t> out(200000);
    std::iota(out.begin(), out.end(), 0);
    int writes = 0;
    std::size_t written = 0;
    driver->async_write(asio::buffer(out), [&](const boost::system::error_code& ec, std::size_t n) {
        EXPECT_FALSE(ec);
        ++writes;
        written = n;
    });
    std::vector<std::uint8_t> in(out.size());
    std::thread reader([&] { asio::read(peer, asio::buffer(in)); });
    io.run();
    reader.join();
    EXPECT_EQ(writes, 1);
    EXPECT_EQ(written, out.size());
    EXPECT_EQ(in, out);

    asio::write(peer, asio::buffer("abc", 3));
    std::vector<std::uint8_t> buffer(16);
    std::size_t got = 0;
    driver->async_read(asio::buffer(buffer), [&](const boost::system::error_code& ec, std::size_t n) {
        EXPECT_FALSE(ec);
        got = n;
    });
    io.restart();
    io.run();
    EXPECT_EQ(got, 3u);

    peer.close();
    boost::system::error_code end;
    driver->async_read(asio::buffer(buffer),
                       [&](const boost::system::error_code& ec, std::size_t) { end = ec; });
    io.restart();
    io.run();
    EXPECT_EQ(end, asio::error::eof);
}

TEST(TcpDriver, CloseEndsAPendingReadAndMayBeRepeated) {
    listening_device device;
    asio::io_context io;
    auto driver = std::make_shared<tcp_driver>(io, loopback, device.endpoint());
    tcp::socket peer = device.acceptor.accept();
    std::vector<std::uint8_t> buffer(16);
    boost::system::error_code read_ec, empty_ec;
    driver->async_read(asio::buffer(buffer),
                       [&](const boost::system::error_code& ec, std::size_t) { read_ec = ec; });
    driver->async_read(asio::mutable_buffer(),
                       [&](const boost::system::error_code& ec, std::size_t) { empty_ec = ec; });
    io.poll();
    EXPECT_EQ(empty_ec, asio::error::invalid_argument);
    EXPECT_TRUE(driver->close());
    EXPECT_TRUE(driver->close());
    io.run();
    EXPECT_EQ(read_ec, asio::error::operation_aborted);
}

}  // namespace
}  // namespace kestd::driver::tcp

// Discovery runs over the loopback interface of the test's own network namespace, answered
// by a responder in this process.
#include <netinet/in.h>

#include <gtest/gtest.h>

#include <boost/asio/ip/multicast.hpp>
#include <boost/asio/ip/udp.hpp>

#include "driver/tcp/discovery_message.hpp"
#include "driver/tcp/find_devices.hpp"
#include "driver/tcp/weak_tcp_driver.hpp"
#include "support/log_capture.hpp"
#include "support/private_network.hpp"

namespace kestd::driver::tcp {
namespace {

namespace asio = boost::asio;
using asio::ip::make_address_v4;
using asio::ip::udp;
using bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

// A device's 86-byte answer for `serial` at `address`:`port`.
bytes answer(const std::string& serial, const std::array<std::uint8_t, 4>& address,
             std::uint16_t port) {
    bytes out = {0, 0, 0x84, 0, 0, 0, 0, 1, 0, 0, 0, 2};
    out.insert(out.end(), service_name.begin(), service_name.end());
    const bytes ptr = {0, 12, 0, 1, 0, 0, 0, 120, 0, 9, 6};
    out.insert(out.end(), ptr.begin(), ptr.end());
    out.insert(out.end(), serial.begin(), serial.end());
    const bytes srv = {0xC0, 0x0C, 0xC0, 0x29, 0, 33, 0x80, 1, 0, 0, 0, 120, 0, 8, 0, 0, 0, 0,
                       static_cast<std::uint8_t>(port >> 8), static_cast<std::uint8_t>(port),
                       0xC0, 0x29};
    out.insert(out.end(), srv.begin(), srv.end());
    const bytes a = {0xC0, 0x29, 0, 1, 0x80, 1, 0, 0, 0, 120, 0, 4};
    out.insert(out.end(), a.begin(), a.end());
    out.insert(out.end(), address.begin(), address.end());
    return out;
}

// Hears the group on loopback and answers each query with the datagrams it was given.
class responder {
public:
    responder(asio::io_context& io, std::vector<bytes> answers)
        : socket(io, udp::v4()), answers(std::move(answers)) {
        socket.set_option(asio::socket_base::reuse_address(true));
        socket.set_option(asio::detail::socket_option::boolean<IPPROTO_IP, IP_MULTICAST_ALL>(false));
        socket.bind(mdns_endpoint());
        socket.set_option(asio::ip::multicast::join_group(mdns_endpoint().address().to_v4(),
                                                          make_address_v4("127.0.0.1")));
        socket.set_option(asio::ip::multicast::outbound_interface(make_address_v4("127.0.0.1")));
        socket.set_option(asio::ip::multicast::enable_loopback(false));
        receive();
    }

    std::vector<bytes> queries;

private:
    void receive() {
        socket.async_receive_from(asio::buffer(buffer), sender,
                                  [this](const boost::system::error_code& ec, std::size_t n) {
                                      if (ec) return;
                                      const bytes got(buffer.begin(), buffer.begin() + n);
                                      // Our own answers come back too; only queries count.
                                      if (n > 2 && (got[2] & 0x80) == 0) {
                                          queries.push_back(got);
                                          for (const auto& a : answers) {
                                              socket.send_to(asio::buffer(a), mdns_endpoint());
                                          }
                                      }
                                      receive();
                                  });
    }

    udp::socket socket;
    std::vector<bytes> answers;
    std::array<std::uint8_t, 2048> buffer{};
    udp::endpoint sender;
};

class Discovery : public ::testing::Test {
protected:
    void SetUp() override {
        if (!test::in_private_network()) GTEST_SKIP() << "needs a private network namespace";
    }

    // One run on `addresses`; returns after `done` or after the io ran out of work.
    void run(const std::vector<std::string>& addresses, std::chrono::milliseconds window) {
        const auto started = std::chrono::steady_clock::now();
        async_find_devices_on(addresses, io, window, found, [this, started] {
            ++done_calls;
            elapsed = std::chrono::steady_clock::now() - started;
            io.stop();
        });
        io.run_for(5s);
    }

    const weak_tcp_driver& device(const std::string& serial) {
        return dynamic_cast<const weak_tcp_driver&>(*found.at(serial));
    }

    test::log_capture log{boost::log::trivial::trace};
    asio::io_context io;
    found_device_map found;
    int done_calls = 0;
    std::chrono::steady_clock::duration elapsed{};
};

TEST_F(Discovery, FindsADeviceOnLoopbackAndEndsAfterTheWindow) {
    responder device_side(io, {answer("1A2B3C", {127, 0, 0, 9}, 7000)});
    run({"127.0.0.1"}, 100ms);
    EXPECT_EQ(done_calls, 1);
    EXPECT_GE(elapsed, 100ms);
    ASSERT_EQ(device_side.queries.size(), 1u);
    EXPECT_EQ(device_side.queries[0], bytes(discovery_query.begin(), discovery_query.end()));
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(device("1A2B3C").local_address().to_string(), "127.0.0.1");
    EXPECT_EQ(device("1A2B3C").endpoint(),
              asio::ip::tcp::endpoint(make_address_v4("127.0.0.9"), 7000));
    EXPECT_EQ(log.count("[trace] [tcp] sending multicast query from 127.0.0.1"), 1u);
    EXPECT_EQ(log.count("[trace] [tcp] received 86 bytes via TCP discovery on 127.0.0.1 from 127.0.0.1"), 1u);
    EXPECT_EQ(log.count("[trace] [tcp] discovered device 1A2B3C at 127.0.0.9:7000"), 1u);
}

TEST_F(Discovery, TheFirstAnswerForASerialStays) {
    responder device_side(io, {answer("1A2B3C", {127, 0, 0, 9}, 7000),
                               answer("1A2B3C", {127, 0, 0, 10}, 7001),
                               answer("4D5E6F", {127, 0, 0, 11}, 7002)});
    run({"127.0.0.1"}, 100ms);
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(device("1A2B3C").endpoint().port(), 7000);
    EXPECT_EQ(device("4D5E6F").endpoint().port(), 7002);
    EXPECT_EQ(log.count("discovered device 1A2B3C"), 2u);
}

TEST_F(Discovery, AFailingInterfaceLeavesTheOthersAsking) {
    responder device_side(io, {answer("1A2B3C", {127, 0, 0, 9}, 7000)});
    run({"no-address", "192.0.2.1", "127.0.0.1"}, 100ms);
    EXPECT_EQ(done_calls, 1);
    EXPECT_EQ(found.size(), 1u);
    EXPECT_EQ(log.count("[error] [tcp] unable to send multicast query from no-address: "), 1u);
    EXPECT_EQ(log.count("[error] [tcp] unable to send multicast query from 192.0.2.1: set_option"), 1u);
}

TEST_F(Discovery, CoexistsWithAnotherResponderOnThePort) {
    // Another mDNS responder holding the port on every address, as avahi does.
    udp::socket other(io, udp::v4());
    other.set_option(asio::socket_base::reuse_address(true));
    other.bind(udp::endpoint(asio::ip::address_v4::any(), 5353));
    responder device_side(io, {answer("1A2B3C", {127, 0, 0, 9}, 7000)});
    run({"127.0.0.1"}, 100ms);
    EXPECT_EQ(found.size(), 1u);
}

TEST_F(Discovery, AnswersAfterTheRunAreNotCollected) {
    run({"127.0.0.1"}, 20ms);
    EXPECT_EQ(done_calls, 1);
    // The run has closed its sockets; a late answer goes nowhere.
    responder late(io, {});
    udp::socket sender(io, udp::v4());
    sender.set_option(asio::ip::multicast::outbound_interface(make_address_v4("127.0.0.1")));
    const bytes a = answer("1A2B3C", {127, 0, 0, 9}, 7000);
    sender.send_to(asio::buffer(a), mdns_endpoint());
    io.restart();
    io.run_for(100ms);
    EXPECT_TRUE(found.empty());
    EXPECT_EQ(log.count("received 86"), 0u);
}

}  // namespace
}  // namespace kestd::driver::tcp

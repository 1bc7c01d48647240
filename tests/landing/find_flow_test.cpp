// The landing's find flow in-process, with a fake transport, in a private network.
#include <gtest/gtest.h>

#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <thread>

#include "client/device_client.hpp"
#include "client/request_client.hpp"
#include "landing/landing.hpp"
#include "support/fake_transport.hpp"
#include "support/log_capture.hpp"
#include "support/private_network.hpp"

namespace kestd::test {
namespace {

namespace asio = boost::asio;
using namespace std::chrono_literals;

// A landing served on a thread of its own for the length of a test.
class running_landing {
public:
    explicit running_landing(transport_set transports, landing::session_factory make = {})
        : landing_(std::move(transports), std::move(make)) {
        landing_.queue_read();
        thread_ = std::thread([this] { landing_.event_loop().run(); });
    }
    ~running_landing() {
        asio::post(landing_.event_loop(), [this] { landing_.stop(); });
        thread_.join();
    }

private:
    landing landing_;
    std::thread thread_;
};

bool ask_landing_version() {
    kest::request_client client(2s);
    return client.request(kest::landing_endpoint(), "2 version") == "2";
}

// Answers at the end of a window (the landing's own, unless given), counting its runs.
transport_set::async_find windowed(std::atomic<int>& runs, std::string serial,
                                   std::chrono::milliseconds own_window = {}) {
    return
        [&runs, serial, own_window](asio::io_context& io, std::chrono::milliseconds window,
                                    driver::found_device_map& found, std::function<void()>&& done) {
            ++runs;
            auto timer =
                std::make_shared<asio::steady_timer>(io, own_window.count() ? own_window : window);
            timer->async_wait([timer, &found, serial, done = std::move(done)](auto) {
                found.try_emplace(serial, nullptr);
                done();
            });
        };
}

TEST(FindFlow, ADeviceInUseStaysListedUntilItsLastClientLeaves) {
    KESTD_REQUIRE_PRIVATE_NETWORK();
    log_capture log;
    fake_transport transport("AB12CD");
    running_landing landing(transport.transports());
    kest::device_client client;

    const auto listed = client.find();
    ASSERT_EQ(listed.size(), 1u);
    asio::io_context io;
    auto data = client.open(io, listed[0]);
    ASSERT_TRUE(log.wait_for("added client, now 1"));

    transport.present = false;
    EXPECT_EQ(client.find(), listed) << "same session, same RPC endpoint";
    data.close();
    ASSERT_TRUE(log.wait_for("driver closed"));
    EXPECT_TRUE(client.find().empty());
    EXPECT_EQ(log.count("[info] [landing] removing device AB12CD, no longer found"), 1u);
}

TEST(FindFlow, RequestersWaitingOnOneRunGetTheSameListOnce) {
    KESTD_REQUIRE_PRIVATE_NETWORK();
    std::atomic<int> runs{0};
    transport_set transports;
    transports.tcp = windowed(runs, "AB12CD");
    running_landing landing(transports);

    asio::io_context io;
    std::vector<asio::ip::udp::socket> requesters;
    for (int i = 0; i < 3; ++i) {
        requesters.emplace_back(io,
                                asio::ip::udp::endpoint(asio::ip::make_address_v4("127.0.0.1"), 0));
        requesters.back().send_to(asio::buffer(std::string("2 find")), kest::landing_endpoint());
    }
    // A requester that asks twice during the run is answered twice.
    requesters[2].send_to(asio::buffer(std::string("2 find")), kest::landing_endpoint());
    std::vector<std::string> replies;
    for (auto& socket : requesters) {
        std::array<char, 2048> buffer;
        const auto n = socket.receive(asio::buffer(buffer));
        replies.emplace_back(buffer.data(), n);
    }
    std::array<char, 2048> buffer;
    const auto n = requesters[2].receive(asio::buffer(buffer));
    replies.emplace_back(buffer.data(), n);
    EXPECT_EQ(runs, 1);
    for (const auto& reply : replies) {
        EXPECT_TRUE(reply.starts_with("AB12CD 127.0.0.1 ")) << reply;
        EXPECT_EQ(reply, replies[0]);
    }
}

TEST(FindFlow, AFloodOfRequestersIsBounded) {
    KESTD_REQUIRE_PRIVATE_NETWORK();
    log_capture log;
    std::atomic<int> runs{0};
    transport_set transports;
    // A long window, so the whole flood arrives while the run is going.
    transports.tcp = windowed(runs, "AB12CD", 3s);
    running_landing landing(transports);

    asio::io_context io;
    asio::ip::udp::socket flood(io,
                                asio::ip::udp::endpoint(asio::ip::make_address_v4("127.0.0.1"), 0));
    flood.set_option(asio::socket_base::receive_buffer_size(8 << 20));
    const std::size_t sent = landing::max_waiting + 500;
    for (std::size_t i = 0; i < sent; ++i) {
        flood.send_to(asio::buffer(std::string("2 find")), kest::landing_endpoint());
        if (i % 20 == 0) std::this_thread::sleep_for(1ms);  // let the landing keep up
    }
    ASSERT_TRUE(log.wait_for("dropped ", 1, 20s));
    flood.non_blocking(true);
    std::size_t answered = 0;
    for (int idle = 0; idle < 20;) {
        std::array<char, 2048> buffer;
        boost::system::error_code ec;
        flood.receive(asio::buffer(buffer), 0, ec);
        if (ec) {
            ++idle;
            std::this_thread::sleep_for(10ms);
        } else {
            ++answered;
        }
    }
    EXPECT_EQ(runs, 1);
    EXPECT_EQ(answered, landing::max_waiting);
    EXPECT_EQ(log.count("too many waiting find requests"), 1u) << "said once per run";
    // The kernel may have dropped a few of the flood itself before the landing saw them.
    for (const auto& line : log.lines()) {
        const auto at = line.find("] dropped ");
        if (at == std::string::npos) continue;
        const int dropped = std::stoi(line.substr(at + 10));
        EXPECT_GT(dropped, 0) << line;
        EXPECT_LE(dropped, 500) << line;
    }
}

TEST(FindFlow, ALandingDestroyedMidWindowLeavesNothingBehind) {
    KESTD_REQUIRE_PRIVATE_NETWORK();
    // The run is still held by the window's handler when the loop is torn down: its results
    // must not land in a landing that is half gone (run under AddressSanitizer).
    std::atomic<int> runs{0};
    transport_set transports;
    transports.tcp = windowed(runs, "AB12CD", 30s);
    {
        landing front(transports);
        front.queue_read();
        std::thread serving([&] { front.event_loop().run(); });
        kest::request_client client(100ms);
        EXPECT_EQ(client.request(kest::landing_endpoint(), "2 find"), std::nullopt);
        EXPECT_EQ(runs, 1);
        // As when an exception ends the loop: its handlers are left for the destructor.
        front.event_loop().stop();
        serving.join();
    }
    running_landing again(transports);
    EXPECT_TRUE(ask_landing_version()) << "the port was released";
}

TEST(FindFlow, AFailedCompletionDoesNotHangLaterFinds) {
    KESTD_REQUIRE_PRIVATE_NETWORK();
    log_capture log;
    fake_transport transport("AB12CD");
    std::atomic<bool> fail{true};
    running_landing landing(transport.transports(), [&](const std::string& serial) {
        if (fail) throw 42;  // not even a std::exception
        return std::make_unique<device>(serial, transport.transports());
    });
    kest::request_client client(1s);
    EXPECT_EQ(client.request(kest::landing_endpoint(), "2 find"), std::nullopt);
    ASSERT_TRUE(log.wait_for("exception in find completion: unknown exception"));
    fail = false;
    const auto list = client.request(kest::landing_endpoint(), "2 find");
    ASSERT_TRUE(list) << "the next find started a run of its own";
    EXPECT_TRUE(list->starts_with("AB12CD 127.0.0.1 ")) << *list;
}

TEST(FindFlow, RemovingASessionStuckInItsOpenDoesNotHoldUpTheLanding) {
    KESTD_REQUIRE_PRIVATE_NETWORK();
    log_capture log;
    fake_transport transport("AB12CD");
    running_landing landing(transport.transports());
    kest::device_client client;
    const auto listed = client.find();
    ASSERT_EQ(listed.size(), 1u);

    // The session's open blocks, as a connect to an unreachable network device does.
    transport.hold_opens();
    kest::request_client opener(100ms);
    opener.request(asio::ip::udp::endpoint(listed[0].rpc), "2 open");
    for (int i = 0; i < 500 && transport.opens == 0; ++i) std::this_thread::sleep_for(10ms);
    ASSERT_EQ(transport.opens, 1);

    transport.present = false;
    kest::request_client asker(2s);
    EXPECT_EQ(asker.request(kest::landing_endpoint(), "2 find"), "") << "answered at once";
    EXPECT_TRUE(log.wait_for("removing device AB12CD, no longer found"));
    EXPECT_EQ(asker.request(kest::landing_endpoint(), "2 version"), "2");
    transport.release_opens();
    EXPECT_TRUE(log.wait_for("device destroyed"));
}

}  // namespace
}  // namespace kestd::test

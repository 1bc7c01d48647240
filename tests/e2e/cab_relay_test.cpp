// kestd with the CAB transport, end to end: simulated devices on veth links, found by
// "find", opened and relayed by the real binaries.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>

#include <algorithm>
#include <boost/asio/write.hpp>
#include <memory>
#include <thread>

#include "client/device_client.hpp"
#include "client/device_list.hpp"
#include "support/kestd_server.hpp"
#include "support/peer_network.hpp"
#include "support/private_network.hpp"
#include "support/stream_checks.hpp"

namespace kestd::test {
namespace {

namespace asio = boost::asio;
using asio::ip::tcp;
using namespace std::chrono_literals;

TEST(CabEndToEndStart, OnByDefaultAndQuietWithoutAdapters) {
    KESTD_REQUIRE_PRIVATE_NETWORK();
    kestd_server server({"--no-serial-port", "--no-dxx"});
    ASSERT_TRUE(server.ready());
    EXPECT_EQ(ask_landing("2 find"), "");
    server.process().signal(SIGINT);
    EXPECT_EQ(server.process().wait(), 0);
    const std::string log = server.log();
    EXPECT_EQ(lines_with(log, "CAB driver: 1").size(), 1u) << log;
    EXPECT_TRUE(lines_with(log, "[cab]").empty()) << "loopback is never opened:\n" << log;
}

// Simulated CAB devices on the far end of `interface`, started and ready.
std::unique_ptr<child_process> start_devices(const peer_network& where,
                                             const std::string& interface,
                                             const std::vector<std::string>& arguments) {
    std::vector<std::string> argv = {kest_sim_binary(), "cab", "--interface", interface};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    auto sim = std::make_unique<child_process>(where.command(argv));
    EXPECT_TRUE(sim->wait_for_stdout("kest-sim: ready"))
        << sim->stdout_text() << sim->stderr_text();
    return sim;
}

class CabEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        KESTD_REQUIRE_PRIVATE_NETWORK();
        net = std::make_unique<peer_network>("kc-dev");
        // A link dedicated to devices: neither end has an IP address.
        net->link("kc0", "", "kc0p", "");
    }

    static std::vector<std::string> server_options(std::vector<std::string> more = {}) {
        std::vector<std::string> options = {"--no-dxx", "--no-serial-port"};
        options.insert(options.end(), more.begin(), more.end());
        return options;
    }

    std::optional<kest::device_entry> wait_listed(const std::string& serial,
                                                  std::chrono::milliseconds timeout = 10s) {
        return test::wait_listed(client, serial, timeout);
    }

    std::unique_ptr<peer_network> net;
    kest::device_client client{kest::client_timeouts{10s, 10s}};
    asio::io_context io;
};

TEST_F(CabEndToEnd, BothReplyFormsAreListedOnceWithTheirSerials) {
    // Form A carries a number (listed in upper-case base 36), form B text (sent reversed).
    // B0000 answers both queries, 1A2B3C is on two adapters; XYZ is out of every valid range.
    auto first = start_devices(
        *net, "kc0p",
        {"--device", "4d5e6f:echo,form=a", "--device", "1A2B3C:echo,form=b,mac=02:ca:b0:00:00:0a",
         "--device", "B0000:echo,form=ab", "--device", "XYZ:echo,form=b"});
    peer_network other("kc-dev2");
    other.link("kc1", "", "kc1p", "");
    auto again = start_devices(other, "kc1p", {"--device", "1A2B3C:echo,mac=02:ca:b0:00:00:0a"});
    // An adapter with the maker's own prefix is the host side of a device: never asked.
    peer_network own("kc-own");
    own.link("kc2", "", "kc2p", "", KESTD_MAKER_OUI_MAC);
    auto unasked = start_devices(own, "kc2p", {"--device", "C0000:echo"});

    kestd_server server(server_options({"--log-level", "debug"}));
    ASSERT_TRUE(server.ready()) << server.log();
    ASSERT_TRUE(wait_listed("1A2B3C")) << server.log();
    ASSERT_TRUE(again->wait_for_stdout("answered query A"));
    const auto raw = ask_landing("2 find", 5s);
    ASSERT_TRUE(raw);
    const auto devices = kest::parse_device_list(*raw);
    std::vector<std::string> serials;
    for (const auto& d : devices) serials.push_back(d.serial);
    std::sort(serials.begin(), serials.end());
    EXPECT_EQ(serials, (std::vector<std::string>{"1A2B3C", "4D5E6F", "B0000"})) << *raw;
    EXPECT_TRUE(server.process().wait_for_stderr("[warning] [cab] invalid serial: XYZ"));
    EXPECT_FALSE(unasked->wait_for_stdout("answered query", 300ms)) << unasked->stdout_text();
}

TEST_F(CabEndToEnd, ClientBytesGoOutInNumberedFramesAndEchoesReachEveryClient) {
    auto sim = start_devices(*net, "kc0p", {"--log-frames", "--device", "1A2B3C:echo"});
    kestd_server server(server_options({"--log-level", "debug"}));
    ASSERT_TRUE(server.ready());
    const auto device = wait_listed("1A2B3C");
    ASSERT_TRUE(device) << server.log();
    tcp::socket a = client.open(io, *device);
    tcp::socket b = client.open(io, *device);
    ASSERT_TRUE(server.process().wait_for_stderr("added client, now 2"));

    const std::string sent = pattern(3000, 7);
    asio::write(a, asio::buffer(sent));
    EXPECT_EQ(receive(a, sent.size()), sent);
    EXPECT_EQ(receive(b, sent.size()), sent);
    ASSERT_TRUE(sim->wait_for_stdout("cab frame 1A2B3C seq 2 len 26"));
    const std::string frames = sim->stdout_text();
    EXPECT_EQ(lines_with(frames, "cab frame 1A2B3C seq 0 len 1487").size(), 1u) << frames;
    EXPECT_EQ(lines_with(frames, "cab frame 1A2B3C seq 1 len 1487").size(), 1u) << frames;
    EXPECT_EQ(lines_with(frames, "cab frame").size(), 3u) << "no other frame, and none odd";

    // The last client leaving closes the driver, its capture loop broken off.
    a.close();
    b.close();
    EXPECT_TRUE(server.process().wait_for_stderr("closing cab driver")) << server.log();
    EXPECT_TRUE(server.process().wait_for_stderr("CAB read thread exiting: -2")) << server.log();
    EXPECT_TRUE(server.process().wait_for_stderr("driver closed"));
    // The write thread either sees the stop or fails on the closed pipe; both end it.
    ASSERT_TRUE(server.process().wait_for_stderr("CAB write thread ex")) << server.log();
    const std::string log = server.log();
    EXPECT_EQ(lines_with(log, "CAB write thread exiting").size() +
                  lines_with(log, "CAB write thread exception: ").size(),
              1u)
        << log;
}

TEST_F(CabEndToEnd, APacedStreamOfFragmentedMessagesArrivesWithoutAGap) {
    // Messages of 5000 bytes in five fragments each, 100 MB in all.
    auto sim =
        start_devices(*net, "kc0p", {"--device", "1A2B3C:stream:25M,message=5000,fragment=1000"});
    kestd_server server(server_options());
    ASSERT_TRUE(server.ready());
    const auto device = wait_listed("1A2B3C");
    ASSERT_TRUE(device) << server.log();
    tcp::socket a = client.open(io, *device);
    tcp::socket b = client.open(io, *device);
    // A client that keeps up is one whose socket can take a scheduling hiccup of this busy
    // machine; what kestd cannot send at once it drops for that client alone.
    const int room = 16 << 20;
    ::setsockopt(a.native_handle(), SOL_SOCKET, SO_RCVBUFFORCE, &room, sizeof room);
    asio::write(a, asio::buffer(std::string("go")));  // the device streams once it hears
    constexpr std::size_t total = 100'000'000;
    constexpr std::size_t chunk = 1 << 20;
    // The second client reads a little and then stops: it must not hold up the first.
    std::string b_got;
    std::thread other([&] { b_got = receive(b, chunk); });
    std::size_t intact = 0;
    while (intact < total) {
        const std::string got = receive(a, std::min(chunk, total - intact));
        if (got != pattern(got.size(), intact)) break;
        intact += got.size();
    }
    other.join();
    EXPECT_EQ(intact, total) << "a gap after byte " << intact;
    EXPECT_TRUE(in_order(b_got)) << "the second client is served too";
    EXPECT_TRUE(lines_with(server.log(), "dropping").empty()) << server.log();
}

TEST_F(CabEndToEnd, BrokenFramesAroundEveryMessageLeaveTheStreamIntact) {
    // Before each message a short frame and a frame from another address, after its first
    // fragment a stray fragment of another message, every frame padded: the stream is whole.
    // A lost middle fragment leaves a hole in its message; the rest arrives, in order.
    auto sim = start_devices(
        *net, "kc0p",
        {"--device",
         "1A2B3C:stream:2M,message=3000,fragment=1000,short,foreign,wrong-sequence,padded,"
         "fault-every=1",
         "--device", "4D5E6F:stream:2M,message=3000,fragment=1000,lose-middle"});
    kestd_server server(server_options());
    ASSERT_TRUE(server.ready());
    const auto faulty = wait_listed("1A2B3C");
    const auto lossy = wait_listed("4D5E6F");
    ASSERT_TRUE(faulty && lossy) << server.log();
    tcp::socket a = client.open(io, *faulty);
    asio::write(a, asio::buffer(std::string("go")));
    EXPECT_EQ(receive(a, 300'000), pattern(300'000));
    EXPECT_TRUE(server.process().wait_for_stderr("dropping short packet (23 bytes)"));
    EXPECT_TRUE(server.process().wait_for_stderr("dropping CAB2, unexpected sequence number: "));

    tcp::socket b = client.open(io, *lossy);
    asio::write(b, asio::buffer(std::string("go")));
    // Only the first and last thousand bytes of each message come, back to back.
    const std::string got = receive(b, 20'000);
    for (std::size_t message = 0; message < 10; ++message) {
        ASSERT_EQ(got.substr(message * 2000, 1000), pattern(1000, message * 3000))
            << "message " << message;
        ASSERT_EQ(got.substr(message * 2000 + 1000, 1000), pattern(1000, message * 3000 + 2000))
            << "message " << message;
    }
}

TEST_F(CabEndToEnd, TheLinkGoingAwayDisconnectsTheClientsAndTheDeviceIsDropped) {
    auto sim = start_devices(*net, "kc0p", {"--device", "1A2B3C:stream:2M"});
    kestd_server server(server_options());
    ASSERT_TRUE(server.ready());
    const auto device = wait_listed("1A2B3C");
    ASSERT_TRUE(device) << server.log();
    tcp::socket a = client.open(io, *device);
    tcp::socket b = client.open(io, *device);
    asio::write(a, asio::buffer(std::string("go")));
    EXPECT_TRUE(in_order(receive(a, 100'000)));
    run_command("ip link del kc0");
    EXPECT_TRUE(ended_by_server(a));
    EXPECT_TRUE(ended_by_server(b));
    EXPECT_TRUE(server.process().wait_for_stderr("CAB read thread exiting: ")) << server.log();
    EXPECT_TRUE(server.process().wait_for_stderr("driver read error")) << server.log();
    const auto raw = ask_landing("2 find", 5s);
    ASSERT_TRUE(raw) << server.log();
    EXPECT_EQ(*raw, "") << "the device is gone with its link";
}

TEST_F(CabEndToEnd, WithoutTheCaptureCapabilityTheOtherTransportsStillWork) {
    // A network device beside the raw-frame one, on a link with addresses this time.
    peer_network ip_net("kc-ip");
    ip_net.link("kc3", "10.41.0.1/24", "kc3p", "10.41.0.2/24");
    auto cab = start_devices(ip_net, "kc3p", {"--device", "B0000:echo"});
    child_process tcp_device(ip_net.command({kest_sim_binary(), "tcp", "--device", "1A2B3C:echo"}));
    ASSERT_TRUE(tcp_device.wait_for_stderr("kest-sim: ready")) << tcp_device.stderr_text();

    kestd_server server({"--tcp", "--no-dxx", "--no-serial-port"},
                        {"setpriv", "--bounding-set", "-net_raw"});
    ASSERT_TRUE(server.ready()) << server.log();
    const auto device = wait_listed("1A2B3C");
    ASSERT_TRUE(device) << server.log();
    EXPECT_FALSE(kest::find_device(client.find(), "B0000"));
    const auto warnings = lines_with(server.log(), "unable to activate interface: ");
    ASSERT_FALSE(warnings.empty()) << server.log();
    EXPECT_NE(warnings.front().find("Operation not permitted"), std::string::npos)
        << warnings.front();
    EXPECT_FALSE(cab->wait_for_stdout("answered query", 100ms));

    tcp::socket c = client.open(io, *device);
    asio::write(c, asio::buffer(std::string("still here")));
    EXPECT_EQ(receive(c, 10), "still here");
}

}  // namespace
}  // namespace kestd::test

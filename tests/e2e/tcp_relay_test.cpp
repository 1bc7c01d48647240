// kestd with its TCP transport, end to end: simulated network devices in namespaces of their
// own, joined to the server's by veth pairs, found by multicast DNS and relayed.
#include <gtest/gtest.h>

#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <fstream>
#include <memory>
#include <thread>

#include "client/device_client.hpp"
#include "client/device_list.hpp"
#include "landing/landing.hpp"
#include "support/kestd_server.hpp"
#include "support/peer_network.hpp"
#include "support/private_network.hpp"
#include "support/stream_checks.hpp"

namespace kestd::test {
namespace {

namespace asio = boost::asio;
using asio::ip::tcp;
using namespace std::chrono_literals;

std::vector<std::string> sim_command(const std::vector<std::string>& arguments) {
    std::vector<std::string> argv = {kest_sim_binary(), "tcp"};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return argv;
}

// A simulated device, started and ready.
std::unique_ptr<child_process> start_sim(const peer_network* where,
                                         const std::vector<std::string>& arguments) {
    auto argv = sim_command(arguments);
    auto sim = std::make_unique<child_process>(where ? where->command(argv) : argv);
    EXPECT_TRUE(sim->wait_for_stderr("kest-sim: ready")) << sim->stderr_text();
    return sim;
}

class TcpEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        KESTD_REQUIRE_PRIVATE_NETWORK();
        net = std::make_unique<peer_network>("kt-dev");
        net->link("kt0", "10.31.0.1/24", "kt0p", "10.31.0.2/24");
    }

    static std::vector<std::string> server_options(std::vector<std::string> more = {}) {
        std::vector<std::string> options = {"--tcp", "--no-cab", "--no-dxx", "--no-serial-port"};
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

TEST_F(TcpEndToEnd, DevicesOnAVethAndOnLoopbackAreFoundAndRelayed) {
    auto remote = start_sim(net.get(), {"--device", "1A2B3C:echo"});
    auto local = start_sim(nullptr, {"--interface", "127.0.0.1", "--device", "4D5E6F:stream"});
    kestd_server server(server_options({"--log-level", "trace"}));
    ASSERT_TRUE(server.ready()) << server.log();
    const auto echo = wait_listed("1A2B3C");
    const auto stream = wait_listed("4D5E6F");
    ASSERT_TRUE(echo && stream) << server.log();
    EXPECT_TRUE(server.process().wait_for_stderr("sending multicast query from 10.31.0.1"));
    EXPECT_TRUE(server.process().wait_for_stderr(
        "received 86 bytes via TCP discovery on 10.31.0.1 from 10.31.0.2"));
    EXPECT_TRUE(server.process().wait_for_stderr("discovered device 1A2B3C at 10.31.0.2:"));
    EXPECT_TRUE(server.process().wait_for_stderr("discovered device 4D5E6F at 127.0.0.1:"));

    tcp::socket a = client.open(io, *echo);
    tcp::socket b = client.open(io, *echo);
    ASSERT_TRUE(server.process().wait_for_stderr("added client, now 2"));
    asio::write(a, asio::buffer(std::string("over the wire")));
    EXPECT_EQ(receive(a, 13), "over the wire");
    EXPECT_EQ(receive(b, 13), "over the wire");

    tcp::socket s = client.open(io, *stream);
    const std::string got = receive(s, 1 << 20);
    EXPECT_TRUE(in_order(got));
    EXPECT_EQ(got.substr(0, 3), std::string("\0\1\2", 3)) << "the device's stream starts at 0";

    // Closing: one client by RPC, the other by leaving; then the device connection goes.
    const auto a_end = a.local_endpoint();
    EXPECT_EQ(
        client.call(*echo, "close", {a_end.address().to_string(), std::to_string(a_end.port())}),
        "1");
    EXPECT_TRUE(ended_by_server(a));
    b.close();
    s.close();
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (lines_with(server.log(), "driver closed").size() < 2 &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_EQ(lines_with(server.log(), "driver closed").size(), 2u) << server.log();
}

TEST_F(TcpEndToEnd, EachDeviceIsReachedFromTheInterfaceItAnsweredOn) {
    // Two networks, each reachable only through its own interface: connecting from the
    // wrong interface address would not get through.
    peer_network other("kt-dev2");
    other.link("kt1", "10.32.0.1/24", "kt1p", "10.32.0.2/24");
    auto first = start_sim(net.get(), {"--device", "1A2B3C:echo"});
    auto second = start_sim(&other, {"--device", "4D5E6F:echo"});
    kestd_server server(server_options({"--log-level", "trace"}));
    ASSERT_TRUE(server.ready());
    const auto one = wait_listed("1A2B3C");
    const auto two = wait_listed("4D5E6F");
    ASSERT_TRUE(one && two) << server.log();
    EXPECT_TRUE(server.process().wait_for_stderr(
        "received 86 bytes via TCP discovery on 10.32.0.1 from 10.32.0.2"));
    EXPECT_TRUE(lines_with(server.log(), "on 10.31.0.1 from 10.32.0.2").empty());
    EXPECT_TRUE(lines_with(server.log(), "on 10.32.0.1 from 10.31.0.2").empty());
    for (const auto& device : {*one, *two}) {
        tcp::socket c = client.open(io, device);
        asio::write(c, asio::buffer(device.serial));
        EXPECT_EQ(receive(c, 6), device.serial);
    }
}

TEST_F(TcpEndToEnd, OfTwoDevicesWithOneSerialTheFirstAnswerStays) {
    peer_network other("kt-dev2");
    other.link("kt1", "10.32.0.1/24", "kt1p", "10.32.0.2/24");
    auto prompt = start_sim(net.get(), {"--device", "1A2B3C:echo"});
    auto late = start_sim(&other, {"--delay", "30", "--device", "1A2B3C:stream"});
    kestd_server server(server_options({"--log-level", "trace"}));
    ASSERT_TRUE(server.ready());
    const auto device = wait_listed("1A2B3C");
    ASSERT_TRUE(device);
    tcp::socket c = client.open(io, *device);
    asio::write(c, asio::buffer(std::string("echo?")));
    EXPECT_EQ(receive(c, 5), "echo?") << "the echo device answered first";
    EXPECT_EQ(kest::parse_device_list(client.find_raw()).size(), 1u);
}

TEST_F(TcpEndToEnd, OnlyOtherMakersEthernetAdaptersAreAsked) {
    peer_network own("kt-own");
    own.link("kt2", "10.33.0.1/24", "kt2p", "10.33.0.2/24", KESTD_MAKER_OUI_MAC);
    // A point-to-point tunnel is no Ethernet adapter.
    run_command(
        "ip tuntap add mode tun kt3 && ip addr add 10.34.0.1/24 dev kt3 && ip link set kt3 up");
    auto sim = start_sim(&own, {"--device", "1A2B3C:echo"});
    auto other = start_sim(net.get(), {"--device", "4D5E6F:echo"});
    kestd_server server(server_options({"--log-level", "trace"}));
    ASSERT_TRUE(server.ready());
    ASSERT_TRUE(wait_listed("4D5E6F")) << server.log();
    EXPECT_TRUE(lines_with(server.log(), "sending multicast query from 10.33.0.1").empty());
    EXPECT_TRUE(lines_with(server.log(), "sending multicast query from 10.34.0.1").empty());
    EXPECT_TRUE(server.process().wait_for_stderr("sending multicast query from 10.31.0.1"));
    EXPECT_FALSE(sim->wait_for_stderr("answered query", 300ms));
    EXPECT_FALSE(kest::find_device(client.find(), "1A2B3C"));
}

TEST_F(TcpEndToEnd, AnswersCountOnlyWithinTheirWindow) {
    // Answers are not matched to queries: any answer heard while a window is open counts.
    // So finds are spaced out here, letting every late answer go by unheard.
    auto in_time = start_sim(net.get(), {"--delay", "30", "--device", "4D5E6F:echo"});
    auto too_late = start_sim(
        nullptr, {"--interface", "127.0.0.1", "--delay", "250", "--device", "1A2B3C:echo"});
    kestd_server server(server_options());
    ASSERT_TRUE(server.ready());
    std::optional<kest::device_entry> entry;
    for (int i = 0; i < 3; ++i) {
        std::this_thread::sleep_for(400ms);
        const auto devices = client.find();
        EXPECT_FALSE(kest::find_device(devices, "1A2B3C")) << "250 ms is past the find's window";
        entry = kest::find_device(devices, "4D5E6F");
        EXPECT_TRUE(entry) << "30 ms is within the find's window";
    }
    ASSERT_TRUE(entry);
    // An open looks again in much shorter windows, and keeps looking until the answer to an
    // earlier one comes in.
    std::this_thread::sleep_for(400ms);
    tcp::socket c = client.open(io, *entry);
    EXPECT_TRUE(server.process().wait_for_stderr("device not found, retrying 1/")) << server.log();
    asio::write(c, asio::buffer(std::string("late")));
    EXPECT_EQ(receive(c, 4), "late");
}

TEST_F(TcpEndToEnd, StandardResponderLayoutsAreReadAndBrokenOnesRejected) {
    auto full = start_sim(net.get(), {"--layout", "full", "--device", "1A2B3C:echo"});
    auto broken =
        start_sim(nullptr, {"--interface", "127.0.0.1", "--malformed", "--device", "4D5E6F:echo"});
    kestd_server server(server_options());
    ASSERT_TRUE(server.ready());
    const auto device = wait_listed("1A2B3C");
    ASSERT_TRUE(device) << server.log();
    EXPECT_FALSE(kest::find_device(client.find(), "4D5E6F"));
    EXPECT_TRUE(server.process().wait_for_stderr(
        "malformed TCP discovery response record, missing record type"));
    EXPECT_TRUE(
        server.process().wait_for_stderr("unhandled mDNS record type in TCP discovery response"));
    tcp::socket c = client.open(io, *device);
    asio::write(c, asio::buffer(std::string("full")));
    EXPECT_EQ(receive(c, 4), "full");
}

TEST_F(TcpEndToEnd, ARefusedPortFailsTheOpen) {
    auto sim = start_sim(net.get(), {"--refuse", "--device", "1A2B3C:echo"});
    kestd_server server(server_options());
    ASSERT_TRUE(server.ready());
    const auto device = wait_listed("1A2B3C");
    ASSERT_TRUE(device);
    EXPECT_EQ(client.call(*device, "open", {}), "0");
    EXPECT_TRUE(
        server.process().wait_for_stderr("unable to open driver: connect: Connection refused"))
        << server.log();
}

TEST_F(TcpEndToEnd, TheDeviceClosingItsSideDisconnectsTheClients) {
    auto sim = start_sim(net.get(), {"--device", "1A2B3C:echo"});
    kestd_server server(server_options());
    ASSERT_TRUE(server.ready());
    const auto device = wait_listed("1A2B3C");
    ASSERT_TRUE(device);
    tcp::socket a = client.open(io, *device);
    tcp::socket b = client.open(io, *device);
    ASSERT_TRUE(server.process().wait_for_stderr("added client, now 2"));
    sim->write_stdin("close 1A2B3C\n");
    EXPECT_TRUE(ended_by_server(a));
    EXPECT_TRUE(ended_by_server(b));
    EXPECT_TRUE(server.process().wait_for_stderr("driver read error"));
    // The device is still there and opens again.
    tcp::socket again = client.open(io, *device);
    asio::write(again, asio::buffer(std::string("back")));
    EXPECT_EQ(receive(again, 4), "back");
}

TEST_F(TcpEndToEnd, LabelsThatWouldBreakTheDeviceListAreRejected) {
    // Anything on the link may answer, with any six bytes as its label.
    auto sim = start_sim(net.get(), {"--device", "1A2B3C:echo", "--device", "A0000 =7001",
                                     "--device", "A0000\\x0a=7002", "--device", "A0000\\x00=7003",
                                     "--device", "A0000\\xff=7004"});
    kestd_server server(server_options());
    ASSERT_TRUE(server.ready());
    ASSERT_TRUE(wait_listed("1A2B3C")) << server.log();
    const auto raw = ask_landing("2 find");
    ASSERT_TRUE(raw);
    const auto devices = kest::parse_device_list(*raw);  // throws on a broken line
    ASSERT_EQ(devices.size(), 1u) << *raw;
    EXPECT_EQ(devices[0].serial, "1A2B3C");
    for (const char* escaped : {"A0000 ", "A0000\\n", "A0000\\x00", "A0000\\xff"}) {
        EXPECT_TRUE(server.process().wait_for_stderr(
            std::string("[warning] [tcp] invalid serial: ") + escaped))
            << escaped;
    }
}

TEST_F(TcpEndToEnd, AFloodOfAnnouncedDevicesIsBoundedAndPassesOver) {
    auto device = start_sim(net.get(), {"--device", "1A2B3C:echo"});
    peer_network hostile("kt-flood");
    hostile.link("kt4", "10.35.0.1/24", "kt4p", "10.35.0.2/24");
    auto flood = start_sim(&hostile, {"--flood", "3000", "--device", "F99999=9"});
    kestd_server server(server_options());
    ASSERT_TRUE(server.ready());
    for (int i = 0; i < 20 && lines_with(server.log(), "more than 256 devices found").empty();
         ++i) {
        ask_landing("2 find", 5s);
    }
    ASSERT_FALSE(lines_with(server.log(), "more than 256 devices found").empty())
        << "the flood did not get through";
    for (int i = 0; i < 3; ++i) {
        const auto raw = ask_landing("2 find", 5s);
        ASSERT_TRUE(raw) << "every find is answered, in one datagram";
        EXPECT_LE(kest::parse_device_list(*raw).size(), landing::max_devices);
    }
    // Sessions are threads: they stay bounded too, once the dropped ones have ended.
    const auto threads = [&] {
        std::ifstream status("/proc/" + std::to_string(server.process().pid()) + "/status");
        for (std::string line; std::getline(status, line);) {
            if (line.starts_with("Threads:")) return std::stoul(line.substr(8));
        }
        return 0ul;
    };
    // Beside the sessions: the main thread, the reaper, and a sanitizer's own thread.
    constexpr std::size_t others = 3;
    for (int i = 0; i < 100 && threads() > landing::max_devices + others; ++i) {
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_LE(threads(), landing::max_devices + others);

    // Once the flood stops, the finds list the real device again and it opens.
    flood.reset();
    const auto entry = wait_listed("1A2B3C");
    ASSERT_TRUE(entry);
    EXPECT_LE(client.find().size(), 2u) << "the flood's sessions are gone";
    tcp::socket c = client.open(io, *entry);
    asio::write(c, asio::buffer(std::string("calm")));
    EXPECT_EQ(receive(c, 4), "calm");
}

}  // namespace
}  // namespace kestd::test

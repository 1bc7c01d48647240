// kestd end to end with simulated USB serial devices: find, open, relay, share, leave.
#include <gtest/gtest.h>

#include <atomic>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

#include "client/device_client.hpp"
#include "client/request_client.hpp"
#include "support/kestd_server.hpp"
#include "support/private_network.hpp"
#include "support/stream_checks.hpp"

namespace kestd::test {
namespace {

namespace asio = boost::asio;
using asio::ip::tcp;
using namespace std::chrono_literals;

std::string close_request(const tcp::socket& client) {
    const auto local = client.local_endpoint();
    return "2 close " + local.address().to_string() + " " + std::to_string(local.port());
}

class SerialEndToEnd : public ::testing::Test {
protected:
    void SetUp() override { KESTD_REQUIRE_PRIVATE_NETWORK(); }
    kest::device_client client;
    asio::io_context io;
};

TEST_F(SerialEndToEnd, FindListsTheDevicesAndKeepsTheirEndpoints) {
    simulated_server server({"1A2B3C", "123456:stream"});
    ASSERT_TRUE(server.ready(2)) << server.log();
    const auto first = client.find_raw();
    const auto second = client.find_raw();
    EXPECT_EQ(first, second) << "sessions, and so their RPC ports, stay";
    EXPECT_NE(first.find("1A2B3C 127.0.0.1 "), std::string::npos) << first;
    EXPECT_NE(first.find("123456 127.0.0.1 "), std::string::npos) << first;
    EXPECT_EQ(server.stop(), 0) << server.log();
    EXPECT_EQ(lines_with(server.log(), "device constructed").size(), 2u);
    EXPECT_EQ(lines_with(server.log(), "device destroyed").size(), 2u);
}

TEST_F(SerialEndToEnd, ClientsShareADeviceBothWays) {
    simulated_server server({"1A2B3C:echo"});
    ASSERT_TRUE(server.ready(1));
    const auto device = client.locate("1A2B3C");
    tcp::socket a = client.open(io, device);
    tcp::socket b = client.open(io, device);
    ASSERT_TRUE(server.process().wait_for_stderr("added client, now 2"));

    // The echo device answers each client's bytes to every client.
    const std::string from_a = pattern(100000);
    asio::write(a, asio::buffer(from_a));
    EXPECT_EQ(receive(a, from_a.size()), from_a);
    EXPECT_EQ(receive(b, from_a.size()), from_a);
    asio::write(b, asio::buffer(std::string("from b")));
    EXPECT_EQ(receive(a, 6), "from b");
    EXPECT_EQ(receive(b, 6), "from b");

    EXPECT_EQ(client.call(device, "store", {"k", "v"}), "1");
    EXPECT_EQ(client.call(device, "lock", {"door", "60000"}), "1");
    kest::request_client rpc(2s);
    const asio::ip::udp::endpoint endpoint = device.rpc;
    EXPECT_EQ(rpc.request(endpoint, close_request(a)), "1");
    EXPECT_EQ(rpc.request(endpoint, close_request(a)), "0");
    EXPECT_TRUE(ended_by_server(a));
    EXPECT_EQ(client.call(device, "load", {"k"}), "v") << "b still holds the device open";

    b.close();
    ASSERT_TRUE(server.process().wait_for_stderr("driver closed"));
    EXPECT_TRUE(server.process().wait_for_stderr("no clients remaining, pruning"));
    EXPECT_EQ(client.call(device, "load", {"k"}), "");
    EXPECT_EQ(client.call(device, "lock", {"door", "60000"}), "1");
    EXPECT_EQ(server.stop(), 0) << server.log();
}

TEST_F(SerialEndToEnd, AStreamReachesEveryClientInOrder) {
    simulated_server server({"123456:stream"}, {"--log-level", "info"});
    ASSERT_TRUE(server.ready(1));
    const auto device = client.locate("123456");
    tcp::socket a = client.open(io, device);
    tcp::socket b = client.open(io, device);
    std::string got_a, got_b;
    std::thread reader([&] { got_a = receive(a, 1 << 20); });
    got_b = receive(b, 1 << 20);
    reader.join();
    EXPECT_TRUE(in_order(got_a));
    EXPECT_TRUE(in_order(got_b));
    EXPECT_EQ(server.stop(), 0) << server.log();
    EXPECT_TRUE(lines_with(server.log(), "client dropped").empty()) << server.log();
}

TEST_F(SerialEndToEnd, UnplugMidStreamDisconnectsEveryClient) {
    simulated_server server({"123456:stream", "1A2B3C"});
    ASSERT_TRUE(server.ready(2));
    const auto device = client.locate("123456");
    tcp::socket a = client.open(io, device);
    tcp::socket b = client.open(io, device);
    receive(a, 10000);
    server.process().write_stdin("unplug 123456\n");
    EXPECT_TRUE(ended_by_server(a));
    EXPECT_TRUE(ended_by_server(b));
    EXPECT_TRUE(server.process().wait_for_stderr("driver read error: "));
    EXPECT_TRUE(server.process().wait_for_stderr("driver closed"));
    // The next find no longer sees it, and it has no clients: it goes.
    EXPECT_EQ(client.find().size(), 1u);
    EXPECT_TRUE(server.process().wait_for_stderr("removing device 123456, no longer found"));
    EXPECT_EQ(server.stop(), 0) << server.log();
}

TEST_F(SerialEndToEnd, ADeviceGoneBeforeOpenIsRefusedAfterElevenAttempts) {
    simulated_server server({"1A2B3C"});
    ASSERT_TRUE(server.ready(1));
    const auto device = client.locate("1A2B3C");
    server.process().write_stdin("unplug 1A2B3C\n");
    ASSERT_TRUE(server.process().wait_for_stderr("kest-sim: unplugged 1A2B3C"));
    kest::request_client rpc(10s);
    EXPECT_EQ(rpc.request(device.rpc, "2 open"), "0");
    ASSERT_TRUE(server.process().wait_for_stderr("unable to open driver"));
    const std::string log = server.log();
    for (int i = 1; i <= 10; ++i) {
        EXPECT_EQ(lines_with(log, "device not found, retrying " + std::to_string(i) + "/10").size(),
                  1u);
    }
    EXPECT_EQ(lines_with(log, "[error] [device] unable to open driver: device not found").size(),
              1u);
    EXPECT_EQ(server.stop(), 0) << server.log();
}

TEST_F(SerialEndToEnd, AnOpenNobodyUsesClosesTheDeviceAfterOneSecond) {
    simulated_server server({"1A2B3C"});
    ASSERT_TRUE(server.ready(1));
    const auto device = client.locate("1A2B3C");
    kest::request_client rpc(5s);
    const auto reply = rpc.request(device.rpc, "2 open");
    ASSERT_TRUE(reply && reply->starts_with("127.0.0.1 ")) << reply.value_or("(none)");
    EXPECT_TRUE(server.process().wait_for_stderr("accept timeout", 3s));
    EXPECT_TRUE(server.process().wait_for_stderr("driver closed", 3s));
    EXPECT_EQ(server.stop(), 0) << server.log();
}

// What a process holds, to see that a busy spell leaves nothing behind.
struct held {
    std::size_t threads = 0;
    std::size_t descriptors = 0;
    bool operator==(const held&) const = default;
};

held resources_of(pid_t pid) {
    namespace fs = std::filesystem;
    held h;
    const fs::path proc = "/proc/" + std::to_string(pid);
    for ([[maybe_unused]] const auto& e : fs::directory_iterator(proc / "task")) ++h.threads;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator(proc / "fd")) ++h.descriptors;
    return h;
}

pid_t child_of(pid_t parent) {
    std::ifstream children("/proc/" + std::to_string(parent) + "/task/" +
                           std::to_string(parent) + "/children");
    pid_t pid = -1;
    children >> pid;
    return pid;
}

TEST_F(SerialEndToEnd, BusyClientsLeaveNoThreadsOrDescriptorsBehind) {
    simulated_server server({"1A2B3C:echo", "123456:stream"}, {"--log-level", "info"});
    ASSERT_TRUE(server.ready(2));
    const pid_t kestd = child_of(server.process().pid());
    ASSERT_GT(kestd, 0);
    const held before = resources_of(kestd);

    std::atomic<bool> stop{false};
    std::atomic<int> rounds{0}, failures{0};
    std::vector<std::thread> workers;
    for (int w = 0; w < 4; ++w) {
        workers.emplace_back([&, w] {
            std::mt19937 random(static_cast<unsigned>(w));
            kest::device_client c;
            asio::io_context worker_io;
            while (!stop) {
                try {
                    const auto devices = c.find();
                    const auto& device = devices[random() % devices.size()];
                    tcp::socket data = c.open(worker_io, device);
                    const std::string key = "k" + std::to_string(w);
                    c.call(device, "store", {key, "v"});
                    c.call(device, "lock", {key, "5"});
                    c.call(device, "unlock", {key});
                    if (device.serial == "1A2B3C") {
                        asio::write(data, asio::buffer(std::string("ping")));
                    }
                    std::string some(4, '\0');
                    asio::read(data, asio::buffer(some));
                    ++rounds;
                } catch (const std::exception&) {
                    ++failures;  // an open racing another client's departure may be refused
                }
            }
        });
    }
    std::this_thread::sleep_for(3s);
    stop = true;
    for (auto& t : workers) t.join();
    ASSERT_GT(rounds, 20) << server.log();
    EXPECT_LT(failures, rounds) << "most rounds succeed";

    // Once every device has closed again, the server holds what it held before.
    held after;
    for (int i = 0; i < 100 && !((after = resources_of(kestd)) == before); ++i) {
        std::this_thread::sleep_for(50ms);
    }
    EXPECT_EQ(after.threads, before.threads);
    EXPECT_EQ(after.descriptors, before.descriptors);
    EXPECT_EQ(client.version(), "2") << "still serving";
    EXPECT_EQ(server.stop(), 0) << server.log();
}

}  // namespace
}  // namespace kestd::test

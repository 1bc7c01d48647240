// Device sessions in-process, with a fake transport whose device is a socket pair.
#include "device/device.hpp"

#include <dirent.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "client/request_client.hpp"
#include "support/fake_transport.hpp"
#include "support/log_capture.hpp"

namespace kestd::test {
namespace {

namespace asio = boost::asio;
using asio::ip::tcp;
using namespace std::chrono_literals;
using namespace std::string_literals;

std::optional<std::string> rpc(const device& d, std::string_view request,
                               std::chrono::milliseconds timeout = 5s) {
    kest::request_client client(timeout);
    return client.request(asio::ip::udp::endpoint(d.rpc_endpoint()), request);
}

// A client's data connection to the listener an "open" announced.
class data_client {
public:
    explicit data_client(const std::string& open_reply) : socket_(io_) {
        const auto blank = open_reply.find(' ');
        EXPECT_EQ(open_reply.substr(0, blank), "127.0.0.1");
        const auto port = static_cast<std::uint16_t>(std::stoi(open_reply.substr(blank + 1)));
        socket_.connect(tcp::endpoint(asio::ip::make_address_v4("127.0.0.1"), port));
    }
    void send(std::string_view bytes) { asio::write(socket_, asio::buffer(bytes)); }
    // Up to n bytes; fewer when nothing more arrives for `idle`.
    std::string receive(std::size_t n, std::chrono::milliseconds idle = 5s) {
        std::string s(n, '\0');
        std::size_t got = 0;
        while (got < n) {
            pollfd p{socket_.native_handle(), POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(idle.count())) <= 0) break;
            boost::system::error_code ec;
            got += socket_.read_some(asio::buffer(s.data() + got, n - got), ec);
            if (ec) break;
        }
        s.resize(got);
        return s;
    }
    // True when the server closed the connection.
    bool closed_by_server() {
        char c;
        boost::system::error_code ec;
        socket_.read_some(asio::buffer(&c, 1), ec);
        return ec == asio::error::eof || ec == asio::error::connection_reset;
    }
    std::string close_request() const {
        const auto local = socket_.local_endpoint();
        return "2 close " + local.address().to_string() + " " + std::to_string(local.port());
    }
    tcp::socket& socket() { return socket_; }

private:
    asio::io_context io_;
    tcp::socket socket_;
};

// The device's end of the fake transport.
struct device_end {
    int fd;
    ~device_end() { ::close(fd); }
    void send(std::string_view bytes) const {
        ASSERT_EQ(::send(fd, bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
    }
    std::string receive(std::size_t n) const {
        std::string s(n, '\0');
        std::size_t got = 0;
        while (got < n) {
            const ssize_t r = ::recv(fd, s.data() + got, n - got, 0);
            if (r <= 0) break;
            got += static_cast<std::size_t>(r);
        }
        s.resize(got);
        return s;
    }
    bool closed_by_server() const {
        char c;
        return ::recv(fd, &c, 1, 0) == 0;
    }
};

// Lowers this process's descriptor limit so that exactly `room` more descriptors can be
// opened; the previous limit comes back with lift() or the destructor.
class descriptor_limit {
public:
    explicit descriptor_limit(int room) {
        ::getrlimit(RLIMIT_NOFILE, &saved_);
        int highest = 0;
        if (DIR* dir = ::opendir("/proc/self/fd")) {
            while (const dirent* entry = ::readdir(dir)) {
                highest = std::max(highest, std::atoi(entry->d_name));
            }
            ::closedir(dir);
        }
        // Fill the holes, so that every descriptor up to the last filler is taken.
        int last = highest;
        for (int fd; (fd = ::dup(0)) >= 0;) {
            fillers_.push_back(last = fd);
            if (fd >= highest) break;
        }
        rlimit lowered = saved_;
        lowered.rlim_cur = static_cast<rlim_t>(last + 1 + room);
        ::setrlimit(RLIMIT_NOFILE, &lowered);
    }
    ~descriptor_limit() { lift(); }
    void lift() {
        ::setrlimit(RLIMIT_NOFILE, &saved_);
        for (int fd : fillers_) ::close(fd);
        fillers_.clear();
    }

private:
    rlimit saved_{};
    std::vector<int> fillers_;
};

class Device : public ::testing::Test {
protected:
    fake_transport transport{"AB12CD"};
    log_capture log;
    std::unique_ptr<device> session = std::make_unique<device>("AB12CD", transport.transports());

    std::string open() {
        const auto reply = rpc(*session, "2 open");
        EXPECT_TRUE(reply);
        EXPECT_NE(reply, "0");
        return reply.value_or("0");
    }
};

TEST_F(Device, RelaysBothWaysBetweenTheDeviceAndEveryClient) {
    data_client a(open());
    device_end dev{transport.take_device_end()};
    data_client b(open());
    ASSERT_TRUE(log.wait_for("added client, now 2"));
    EXPECT_EQ(transport.opens, 1) << "the second open reuses the open driver";
    EXPECT_EQ(session->clients_attached(), 2u);

    dev.send("from the device");
    EXPECT_EQ(a.receive(15), "from the device");
    EXPECT_EQ(b.receive(15), "from the device");
    a.send("from a");
    EXPECT_EQ(dev.receive(6), "from a");
    b.send("from b");
    EXPECT_EQ(dev.receive(6), "from b");
}

TEST_F(Device, CloseDetachesOneClientAndTheLastDepartureClosesTheDevice) {
    data_client a(open());
    device_end dev{transport.take_device_end()};
    data_client b(open());
    ASSERT_TRUE(log.wait_for("added client, now 2"));
    EXPECT_EQ(rpc(*session, "2 store colour blue"), "1");
    EXPECT_EQ(rpc(*session, "2 lock door 60000"), "1");

    EXPECT_EQ(rpc(*session, a.close_request()), "1");
    EXPECT_EQ(rpc(*session, a.close_request()), "0") << "already gone";
    EXPECT_TRUE(a.closed_by_server());
    EXPECT_EQ(session->clients_attached(), 1u);
    EXPECT_EQ(rpc(*session, "2 load colour"), "blue") << "the device stays open for b";

    b.socket().close();
    ASSERT_TRUE(log.wait_for("no clients remaining, pruning"));
    ASSERT_TRUE(log.wait_for("driver closed"));
    EXPECT_TRUE(dev.closed_by_server());
    EXPECT_EQ(session->clients_attached(), 0u);
    EXPECT_EQ(rpc(*session, "2 load colour"), "") << "store cleared";
    EXPECT_EQ(rpc(*session, "2 lock door 60000"), "1") << "locks cleared";
}

TEST_F(Device, OpenReplyNobodyUsesClosesTheDeviceAfterOneSecond) {
    open();
    device_end dev{transport.take_device_end()};
    const auto started = std::chrono::steady_clock::now();
    EXPECT_TRUE(dev.closed_by_server());
    EXPECT_GE(std::chrono::steady_clock::now() - started, 900ms);
    EXPECT_TRUE(log.wait_for("accept timeout"));
    EXPECT_TRUE(log.wait_for("driver closed"));
}

TEST_F(Device, ConnectionAfterTheDeviceClosedIsRefusedCleanly) {
    data_client a(open());
    device_end dev{transport.take_device_end()};
    const std::string second = open();  // its connection comes only after a has left
    a.socket().close();
    ASSERT_TRUE(log.wait_for("driver closed"));
    data_client late(second);
    EXPECT_TRUE(late.closed_by_server());
    EXPECT_TRUE(log.wait_for("device closed before client attached, refusing connection"));
    EXPECT_EQ(session->clients_attached(), 0u);
    // The device still serves: a new open finds and opens it again.
    data_client again(open());
    device_end dev2{transport.take_device_end()};
    dev2.send("x");
    EXPECT_EQ(again.receive(1), "x");
}

TEST_F(Device, UnknownDeviceAnswersZeroAfterElevenAttempts) {
    transport.present = false;
    EXPECT_EQ(rpc(*session, "2 open", 10s), "0");
    EXPECT_EQ(transport.finds, 11);
    for (int i = 1; i <= 10; ++i) {
        EXPECT_EQ(log.count("device not found, retrying " + std::to_string(i) + "/10"), 1u) << i;
    }
    EXPECT_EQ(log.count("unable to open driver: device not found"), 1u);
    // A second open starts counting again.
    EXPECT_EQ(rpc(*session, "2 open", 10s), "0");
    EXPECT_EQ(transport.finds, 22);
}

TEST_F(Device, OpenFailureOfTheTransportAnswersZero) {
    transport.fail_open = true;
    EXPECT_EQ(rpc(*session, "2 open"), "0");
    EXPECT_EQ(log.count("unable to open driver: open: simulated failure"), 1u);
    transport.fail_open = false;
    data_client a(open());
    EXPECT_EQ(transport.opens, 2);
}

TEST_F(Device, DeviceFailureDisconnectsEveryClient) {
    data_client a(open());
    auto dev = std::make_unique<device_end>(transport.take_device_end());
    data_client b(open());
    ASSERT_TRUE(log.wait_for("added client, now 2"));
    dev.reset();  // the device goes away
    EXPECT_TRUE(a.closed_by_server());
    EXPECT_TRUE(b.closed_by_server());
    EXPECT_TRUE(log.wait_for("driver read error: "));
    EXPECT_TRUE(log.wait_for("driver closed"));
    EXPECT_EQ(session->clients_attached(), 0u);
}

TEST_F(Device, SlowClientLosesDataAloneAndTheLossIsCountedExactly) {
    data_client fast(open());
    device_end dev{transport.take_device_end()};
    data_client slow(open());
    ASSERT_TRUE(log.wait_for("added client, now 2"));
    // The slow client never reads until the end: its socket buffers fill and the rest of
    // the stream is dropped for it alone.

    // Paced well below what a reading client takes, so only the stalled one falls behind.
    constexpr std::size_t total = 40 * 1024 * 1024;
    constexpr std::size_t chunk = 65536;
    constexpr auto chunk_pause = 4ms;  // under 16 MB/s, and never a catch-up burst
    std::thread device_writer([&] {
        std::string pattern(chunk, '\0');
        for (std::size_t sent = 0; sent < total; sent += chunk) {
            for (std::size_t i = 0; i < chunk; ++i) {
                pattern[i] = static_cast<char>((sent + i) % 251);
            }
            dev.send(pattern);
            std::this_thread::sleep_for(chunk_pause);
        }
    });
    const std::string got = fast.receive(total);
    device_writer.join();
    ASSERT_EQ(got.size(), total);
    for (std::size_t i = 0; i < total; ++i) {
        ASSERT_EQ(static_cast<unsigned char>(got[i]), i % 251) << "byte " << i;
    }
    // Now drain the slow client and let it go: what it did not get was counted as dropped.
    std::size_t slow_received = 0;
    slow.socket().non_blocking(true);
    for (int idle = 0; idle < 50;) {
        char buffer[65536];
        boost::system::error_code ec;
        const std::size_t n = slow.socket().read_some(asio::buffer(buffer), ec);
        if (ec == asio::error::would_block) {
            ++idle;
            std::this_thread::sleep_for(10ms);
            continue;
        }
        ASSERT_FALSE(ec) << ec.message();
        slow_received += n;
        idle = 0;
    }
    ASSERT_LT(slow_received, total);
    EXPECT_EQ(rpc(*session, slow.close_request()), "1");
    EXPECT_TRUE(log.wait_for("client dropped " + std::to_string(total - slow_received) + " bytes"))
        << "received " << slow_received << ", logged: " << log.count("client dropped");
    EXPECT_EQ(log.count("client dropped"), 1u);
    fast.socket().close();
    ASSERT_TRUE(log.wait_for("driver closed"));
    EXPECT_EQ(log.count("client dropped"), 1u) << "the fast client lost nothing";
}

TEST_F(Device, LocksTakeRefuseExpireAndUnlock) {
    EXPECT_EQ(rpc(*session, "2 lock a 150"), "1");
    EXPECT_EQ(rpc(*session, "2 lock a 150"), "0");
    EXPECT_TRUE(log.wait_for("lock expired for a", 1, 2s));
    EXPECT_EQ(rpc(*session, "2 lock a 60000"), "1");
    EXPECT_EQ(rpc(*session, "2 unlock a"), "1");
    EXPECT_EQ(rpc(*session, "2 unlock a"), "0");
    EXPECT_TRUE(log.wait_for("unlock failed for a"));
    EXPECT_EQ(rpc(*session, "2 lock b 0"), "1") << "a zero duration expires at once";
    EXPECT_TRUE(log.wait_for("lock expired for b"));
    EXPECT_EQ(rpc(*session, "2 lock c +100x"), "1") << "leading digits count";
    EXPECT_EQ(rpc(*session, "2 lock d -5"), "1");
}

TEST_F(Device, StoreAndLoadShareValues) {
    EXPECT_EQ(rpc(*session, "2 load missing"), "");
    EXPECT_EQ(rpc(*session, "2 store k v1"), "1");
    EXPECT_EQ(rpc(*session, "2 load k"), "v1");
    EXPECT_EQ(rpc(*session, "2 store k v2 ignored"), "1");
    EXPECT_EQ(rpc(*session, "2 load k"), "v2");
    EXPECT_EQ(rpc(*session, "2 store  v3"), "1") << "two blanks: the empty key";
    EXPECT_EQ(rpc(*session, "2 load "), "v3");
    EXPECT_EQ(rpc(*session, "2 store k v4\r\n"), "1");
    EXPECT_EQ(rpc(*session, "2 load k"), "v4\r\n") << "line ends belong to the token";
}

TEST_F(Device, MalformedRequestsAnswerZeroAndChangeNothing) {
    const struct {
        std::string request;
        std::string warning;
    } cases[] = {
        {"open", "invalid RPC request, missing command"},
        {"2 close", "invalid close command, missing endpoint argument"},
        {"2 close 127.0.0.1", "invalid close command, missing endpoint argument"},
        {"2 close 127.0.0.1 port", "invalid endpoint in close command: "},
        {"2 close 300.1.1.1 80", "invalid endpoint in close command: "},
        {"2 lock", "invalid lock command, missing argument"},
        {"2 lock name", "invalid lock command, missing argument"},
        {"2 lock name soon", "invalid lock duration: soon"},
        {"2 lock name 99999999999", "invalid lock duration: 99999999999"},
        {"2 unlock", "invalid unlock command, missing name argument"},
        {"2 load", "invalid load command, missing key argument"},
        {"2 store", "invalid store command, missing argument"},
        {"2 store key", "invalid store command, missing argument"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(rpc(*session, c.request), "0") << c.request;
        EXPECT_TRUE(log.wait_for(c.warning)) << c.warning;
    }
    EXPECT_EQ(rpc(*session, "2 lock name 60000"), "1") << "no failed lock took the name";
    EXPECT_EQ(rpc(*session, "2 load key"), "") << "no failed store stored";

    for (const char* ignored : {"2 OPEN", "2 open\n", "2 frobnicate"}) {
        EXPECT_EQ(rpc(*session, ignored, 300ms), std::nullopt) << ignored;
    }
    EXPECT_TRUE(log.wait_for("unknown device RPC command: open\\n"));
    EXPECT_EQ(rpc(*session, ""s.substr(0), 300ms), std::nullopt) << "empty datagram";
    EXPECT_EQ(transport.finds, 0) << "nothing opened the device";
}

TEST_F(Device, EachClientsChunkReachesTheDeviceWhole) {
    // The device takes bytes slowly and in small pieces, so writes to it are partial; two
    // clients' commands still arrive one after the other, never one inside the other.
    transport.send_buffer = 1;  // the system's smallest
    data_client a(open());
    device_end dev{transport.take_device_end()};
    data_client b(open());
    ASSERT_TRUE(log.wait_for("added client, now 2"));

    constexpr int messages = 20;
    constexpr std::size_t size = 20000;  // several of the device's pieces
    // Message k of client c is `size` bytes of the value 64 * c + k % 64, so a whole message
    // is a run of exactly `size` equal bytes.
    std::mutex mutex;
    std::condition_variable arrived;
    int received[2] = {0, 0};
    std::vector<std::size_t> runs;
    std::thread device_reader([&] {
        std::size_t run = 0;
        int value = -1;
        for (int total = 0; total < 2 * messages;) {
            char piece[700];
            pollfd ready{dev.fd, POLLIN, 0};
            if (::poll(&ready, 1, 2000) <= 0) break;  // a broken run would never complete
            const ssize_t n = ::recv(dev.fd, piece, sizeof piece, 0);
            if (n <= 0) break;
            for (ssize_t i = 0; i < n; ++i) {
                const int v = static_cast<unsigned char>(piece[i]);
                if (v != value && run > 0) runs.push_back(run), run = 0;
                value = v;
                if (++run == size) {
                    std::lock_guard lock(mutex);
                    ++received[v / 64];
                    ++total;
                    arrived.notify_all();
                }
            }
            std::this_thread::sleep_for(200us);
        }
        if (run > 0) runs.push_back(run);
    });
    const auto send_all = [&](data_client& client, int c) {
        for (int k = 0; k < messages; ++k) {
            client.send(std::string(size, static_cast<char>(64 * c + k % 64)));
            // One command at a time: the next only once the device has this one.
            std::unique_lock lock(mutex);
            if (!arrived.wait_for(lock, 5s, [&] { return received[c] > k; })) return;
        }
    };
    std::thread second([&] { send_all(b, 1); });
    send_all(a, 0);
    second.join();
    device_reader.join();
    EXPECT_EQ(received[0], messages);
    EXPECT_EQ(received[1], messages);
    for (std::size_t i = 0; i < runs.size(); ++i) {
        ASSERT_EQ(runs[i] % size, 0u) << "a message was split at run " << i;
    }
}

TEST_F(Device, AnOpenWhoseListenerCannotBeMadeLeavesTheDeviceClosed) {
#if defined(__SANITIZE_ADDRESS__)
    // UndefinedBehaviorSanitizer opens a pipe to check each new dynamic type it meets, and
    // reports a false error when there is no descriptor left for it.
    GTEST_SKIP() << "needs a build without the sanitizers' own use of descriptors";
#endif
    kest::request_client client(5s);
    const asio::ip::udp::endpoint endpoint(session->rpc_endpoint());
    descriptor_limit limit(2);  // the device's socket pair, and no listener
    EXPECT_EQ(client.request(endpoint, "2 open"), "0");
    limit.lift();
    EXPECT_TRUE(log.wait_for("unable to open driver: open: Too many open files"));
    device_end dev{transport.take_device_end()};
    EXPECT_TRUE(dev.closed_by_server()) << "the driver was left open without a listener";
    EXPECT_EQ(log.count("driver closed"), 1u);
    data_client a(open());
    device_end dev2{transport.take_device_end()};
    dev2.send("x");
    EXPECT_EQ(a.receive(1), "x");
}

TEST_F(Device, OpensBeyondTheClientLimitAreRefused) {
    std::vector<std::string> replies;
    for (std::size_t i = 0; i < device::max_clients; ++i) replies.push_back(open());
    device_end dev{transport.take_device_end()};
    EXPECT_EQ(rpc(*session, "2 open"), "0");
    EXPECT_TRUE(log.wait_for("too many clients, open refused"));
    data_client first(replies.front());
    ASSERT_TRUE(log.wait_for("added client, now 1"));
    EXPECT_EQ(rpc(*session, "2 open"), "0") << "the listeners not yet used still count";
    ASSERT_TRUE(log.wait_for("accept timeout", device::max_clients - 1));
    EXPECT_NE(rpc(*session, "2 open"), "0") << "room again once they timed out";
}

TEST(DeviceOpen, AThrowingTransportIsAnsweredExactlyOnce) {
    log_capture log;
    fake_transport transport("AB12CD");
    for (const bool present : {false, true}) {
        transport.present = present;
        transport_set transports = transport.transports();
        transports.dxx = [](driver::found_device_map&) { throw std::runtime_error("no bridge"); };
        device session("AB12CD", transports);
        kest::request_client client(1s);
        const asio::ip::udp::endpoint endpoint(session.rpc_endpoint());
        const auto reply = client.request(endpoint, "2 open");
        ASSERT_TRUE(reply);
        EXPECT_EQ(*reply == "0", !present) << *reply;
        // Still one request, one reply: a second reply to the open would answer the store.
        // Both come well before the unused listener times out and the device, idle again,
        // forgets what was stored.
        EXPECT_EQ(client.request(endpoint, "2 store k v"), "1");
        EXPECT_EQ(client.request(endpoint, "2 load k"), "v");
        EXPECT_EQ(client.receive(endpoint), std::nullopt) << "a reply too many";
    }
    EXPECT_EQ(log.count("[error] [finder] find failed: dxx: no bridge"), 12u)
        << "eleven attempts for the missing device, one for the present one";
    EXPECT_EQ(log.count("unable to open driver: device not found"), 1u);
}

TEST(DeviceLifetime, DestroyingADeviceStopsItsThreadMidFind) {
    log_capture log;
    transport_set slow;
    // A network transport whose window is far longer than the test.
    slow.tcp = [](asio::io_context& io, std::chrono::milliseconds, driver::found_device_map&,
                  std::function<void()>&& done) {
        auto timer = std::make_shared<asio::steady_timer>(io, 30s);
        timer->async_wait(
            [timer, done = std::move(done)](const boost::system::error_code&) { done(); });
    };
    auto session = std::make_unique<device>("AB12CD", slow);
    kest::request_client client(100ms);
    client.request(asio::ip::udp::endpoint(session->rpc_endpoint()), "2 open");
    ASSERT_TRUE(log.wait_for("queueing async find for device AB12CD"));
    const auto started = std::chrono::steady_clock::now();
    session.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
    EXPECT_EQ(log.count("find complete"), 0u);
    EXPECT_EQ(log.count("unable to open driver"), 0u);
}

}  // namespace
}  // namespace kestd::test

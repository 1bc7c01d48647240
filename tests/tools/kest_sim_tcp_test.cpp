// The simulated network device: its answers and its data port.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>

#include <boost/asio/ip/multicast.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/asio/write.hpp>
#include <filesystem>
#include <random>
#include <thread>

#include "support/kestd_server.hpp"
#include "support/private_network.hpp"

namespace kestd::test {
namespace {

namespace asio = boost::asio;
using asio::ip::tcp;
using asio::ip::udp;
using namespace std::chrono_literals;
using bytes = std::vector<std::uint8_t>;
using words = std::vector<std::string>;

const auto loopback = asio::ip::make_address_v4("127.0.0.1");
const udp::endpoint mdns_group(asio::ip::make_address_v4("224.0.0.251"), 5353);
const bytes service = {6,   '_', 'q', 'u', 'a', 'r', 'n', 4,   '_', 't',
                       'c', 'p', 5,   'l', 'o', 'c', 'a', 'l', 0};

bytes& operator+=(bytes& a, const bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

bytes text(const std::string& s) { return bytes(s.begin(), s.end()); }

bytes query(const bytes& name = service, std::uint8_t type = 12, std::uint8_t flags = 0x00) {
    bytes q = {0, 0, flags, 0, 0, 1, 0, 0, 0, 0, 0, 0};
    return q += name, q += {0, type, 0, 1};
}

// The answer of the device layout, written out as the devices send it.
bytes device_answer(const std::string& serial, std::uint16_t port, std::uint8_t arcount = 2,
                    bytes address = {127, 0, 0, 1}) {
    const auto hi = static_cast<std::uint8_t>(port >> 8), lo = static_cast<std::uint8_t>(port);
    bytes a = {0, 0, 0x84, 0, 0, 0, 0, 1, 0, 0, 0, arcount};
    a += service, a += {0, 12, 0, 1, 0, 0, 0, 120, 0, 9, 6}, a += text(serial);
    a += {0xC0, 0x0C, 0xC0, 0x29, 0, 33, 0x80, 1,  0,  0,    0,
          120,  0,    8,    0,    0, 0,  0,    hi, lo, 0xC0, 0x29};
    return a += {0xC0, 0x29, 0, 1, 0x80, 1, 0, 0, 0, 120, 0, 4}, a += address;
}

bool wait_readable(int fd, std::chrono::milliseconds timeout) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, static_cast<int>(timeout.count())) > 0;
}

// A peer on loopback's multicast group: asks and collects responses.
class asker {
public:
    asker() : socket_(io_, udp::v4()) {
        socket_.set_option(asio::socket_base::reuse_address(true));
        socket_.bind(mdns_group);
        const int off = 0;  // IP_MULTICAST_ALL: only this socket's own group
        ::setsockopt(socket_.native_handle(), IPPROTO_IP, 49, &off, sizeof off);
        socket_.set_option(asio::ip::multicast::join_group(mdns_group.address().to_v4(), loopback));
        socket_.set_option(asio::ip::multicast::outbound_interface(loopback));
        socket_.set_option(asio::ip::multicast::enable_loopback(false));
    }
    void send(const bytes& datagram) {
        socket_.send_to(asio::buffer(datagram), mdns_group);
        sent_.push_back(datagram);
    }
    // The next datagram that is not one of ours coming back on loopback, if one comes in time.
    std::optional<bytes> answer(std::chrono::milliseconds timeout = 3s) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (bytes data(9000);; data.resize(9000)) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0 || !wait_readable(socket_.native_handle(), left)) return {};
            data.resize(socket_.receive(asio::buffer(data)));
            const auto ours = std::find(sent_.begin(), sent_.end(), data);
            if (ours == sent_.end()) return data;
            sent_.erase(ours);
        }
    }

private:
    asio::io_context io_;
    udp::socket socket_;
    std::vector<bytes> sent_;
};

// Whether `s` ends (end of stream or reset) within the timeout; bytes read on the way are
// appended to `got`, `limit` bytes at most.
bool read_until_end(tcp::socket& s, bytes& got, std::size_t limit,
                    std::chrono::milliseconds timeout = 3s) {
    std::uint8_t chunk[65536];
    while (got.size() < limit && wait_readable(s.native_handle(), timeout)) {
        boost::system::error_code error;
        const auto n =
            s.read_some(asio::buffer(chunk, std::min(sizeof chunk, limit - got.size())), error);
        if (error) return true;
        got.insert(got.end(), chunk, chunk + n);
    }
    return false;
}

bool is_stream(const bytes& data) {
    for (std::size_t p = 0; p < data.size(); ++p) {
        if (data[p] != p % 251) return false;
    }
    return true;
}

class SimTcp : public ::testing::Test {
protected:
    void SetUp() override {
        KESTD_REQUIRE_PRIVATE_NETWORK();
        asker_.emplace();
    }
    void TearDown() override {
        if (!sim_ || sim_->wait(0ms)) return;
        sim_->signal(SIGINT);
        EXPECT_EQ(sim_->wait(), 0) << sim_->stderr_text();
    }

    void start(words options) {
        options.insert(options.begin(), {kest_sim_binary(), "tcp"});
        sim_.emplace(options);
        ASSERT_TRUE(sim_->wait_for_stderr("kest-sim: ready\n", 5s)) << sim_->stderr_text();
    }
    std::uint16_t port(const std::string& serial) {
        const std::string log = sim_->stderr_text(),
                          prefix = "tcp device " + serial + " at 0.0.0.0:";
        const auto at = log.find(prefix);
        return at == std::string::npos
                   ? 0
                   : static_cast<std::uint16_t>(std::stoi(log.substr(at + prefix.size())));
    }
    // Says `line` on kest-sim's input and waits until it reports `done`.
    void say(const std::string& line, const std::string& done) {
        sim_->write_stdin(line + "\n");
        ASSERT_TRUE(sim_->wait_for_stderr(done, 3s)) << sim_->stderr_text();
    }
    tcp::socket connect(const std::string& serial) {
        tcp::socket s(io_);
        s.connect({loopback, port(serial)});
        return s;
    }
    std::size_t answered() { return lines_with(sim_->stderr_text(), "answered query").size(); }

    asio::io_context io_;
    std::optional<child_process> sim_;
    std::optional<asker> asker_;  // only ever in a private network
};

TEST(SimTcpUsage, MistakesExitTwo) {
    const std::vector<words> mistakes = {{},
                                         {"--device", "A1B2C3:bogus"},
                                         {"--device", "A1B2C3=0"},
                                         {"--device", "A1B2C3", "--device", "A1B2C3"},
                                         {"--device", ""},
                                         {"--layout", "short", "--device", "A1B2C3"},
                                         {"--malformed", "--layout", "full", "--device", "A1B2C3"},
                                         {"--address", "1.2.3", "--device", "A1B2C3"},
                                         {"--delay", "-1", "--device", "A1B2C3"},
                                         {"--close-after", "0", "--device", "A1B2C3"}};
    for (auto w : mistakes) {
        w.insert(w.begin(), {kest_sim_binary(), "tcp"});
        child_process sim(w);
        EXPECT_EQ(sim.wait(), 2) << ::testing::PrintToString(w);
        EXPECT_TRUE(sim.wait_for_stderr("usage: kest-sim tcp", 1s)) << sim.stderr_text();
    }
}

TEST_F(SimTcp, DeviceLayoutAnswersByteForByte) {
    start({"--interface", "127.0.0.1", "--device", "1A2B3C:stream", "--device", "654321=4000"});
    EXPECT_TRUE(sim_->wait_for_stderr("tcp device 654321 at 0.0.0.0:4000 (announce)\n", 0ms));
    asker_->send(query());
    EXPECT_EQ(asker_->answer(), device_answer("1A2B3C", port("1A2B3C")));
    EXPECT_EQ(asker_->answer(), device_answer("654321", 4000));
    EXPECT_TRUE(sim_->wait_for_stderr("answered query from 127.0.0.1 on 127.0.0.1\n"));
}

TEST_F(SimTcp, MalformedAnswerClaimsAThirdRecord) {
    start({"--malformed", "--device", "1A2B3C"});
    asker_->send(query());
    EXPECT_EQ(asker_->answer(), device_answer("1A2B3C", port("1A2B3C"), 3));
}

// Reads the name at `at` (pointers only backwards, as a strict reader wants) and moves past it.
std::string read_name(const bytes& m, std::size_t& at) {
    std::string name;
    for (std::size_t p = at, end = 0;;) {
        if (p >= m.size()) throw std::out_of_range("name runs off the end");
        if (m[p] >= 0xC0) {
            const std::size_t target = (m.at(p) & 0x3F) << 8 | m.at(p + 1);
            if (target >= p) throw std::out_of_range("pointer forwards");
            if (!end) end = p + 2;
            p = target;
        } else if (m[p] == 0) {
            at = end ? end : p + 1;
            return name;
        } else {
            name += (name.empty() ? "" : ".") + std::string(&m.at(p + 1), &m.at(p + m[p]) + 1);
            p += 1 + m[p];
        }
    }
}

TEST_F(SimTcp, FullLayoutReadsAsDns) {
    start({"--layout", "full", "--address", "10.1.2.3", "--device", "1A2B3C"});
    asker_->send(query());
    const auto m = asker_->answer();
    ASSERT_TRUE(m);
    ASSERT_EQ(bytes(m->begin(), m->begin() + 12), (bytes{0, 0, 0x84, 0, 0, 0, 0, 1, 0, 0, 0, 4}));
    const auto u16 = [&](std::size_t at) { return m->at(at) << 8 | m->at(at + 1); };
    std::size_t at = 12;
    std::vector<std::pair<std::string, int>> records;  // name, type
    for (int i = 0; i < 5; ++i) {
        const std::string name = read_name(*m, at);
        records.emplace_back(name, u16(at));
        const std::size_t rdata = at + 10, rdlength = u16(at + 8);
        EXPECT_EQ(u16(at + 2), i == 0 ? 1 : 0x8001) << "class of record " << i;
        EXPECT_EQ(u16(at + 4) << 16 | u16(at + 6), 120) << "ttl of record " << i;
        at = rdata + rdlength;
        ASSERT_LE(at, m->size());
        std::size_t p = rdata + (records.back().second == 33 ? 6 : 0);
        const bytes value(m->begin() + static_cast<long>(rdata),
                          m->begin() + static_cast<long>(at));
        switch (records.back().second) {
            case 12:
                EXPECT_EQ(read_name(*m, p), "1A2B3C._quarn._tcp.local");
                break;
            case 33:
                EXPECT_EQ(u16(rdata + 4), port("1A2B3C"));
                EXPECT_EQ(read_name(*m, p), "kest-1A2B3C.local");
                break;
            case 16:
                EXPECT_EQ(value, bytes{0});
                break;
            case 1:
                EXPECT_EQ(value, (bytes{10, 1, 2, 3}));
                break;
            case 47:
                EXPECT_EQ(read_name(*m, p), "kest-1A2B3C.local");
                EXPECT_EQ(bytes(m->begin() + static_cast<long>(p), m->end()),
                          (bytes{0, 4, 0x40, 0, 0, 0}));
                break;
        }
        EXPECT_LE(p, at);
    }
    EXPECT_EQ(at, m->size());
    const std::string instance = "1A2B3C._quarn._tcp.local", host = "kest-1A2B3C.local";
    EXPECT_EQ(
        records,
        (std::vector<std::pair<std::string, int>>{
            {"_quarn._tcp.local", 12}, {instance, 33}, {instance, 16}, {host, 1}, {host, 47}}));
}

TEST_F(SimTcp, OnlyServiceQuestionsAreAnswered) {
    start({"--device", "1A2B3C"});
    const bytes other = {6,   '_', 'o', 't', 'h', 'e', 'r', 4,   '_', 't',
                         'c', 'p', 5,   'l', 'o', 'c', 'a', 'l', 0};
    bytes no_question = query();
    no_question[5] = 0;
    bytes cut = query();
    cut.resize(29);
    for (const bytes& ignored : {query(service, 12, 0x84), query(other), query(service, 1),
                                 no_question, query({0xC0, 0x0C}), cut, bytes{}, bytes{0, 0, 0}}) {
        asker_->send(ignored);
    }
    bytes shouting = text("\x06_QUARN\x04_Tcp\x05LOCAL");
    shouting.push_back(0);
    asker_->send(query(shouting, 255));
    EXPECT_EQ(asker_->answer(), device_answer("1A2B3C", port("1A2B3C")));
    EXPECT_FALSE(asker_->answer(300ms));
    EXPECT_EQ(answered(), 1u) << sim_->stderr_text();
}

TEST_F(SimTcp, SurvivesGarbage) {
    start({"--device", "1A2B3C"});
    std::mt19937 random(1);
    for (int i = 0; i < 300; ++i) {
        bytes datagram = query();
        if (i % 3 == 0) datagram.resize(random() % 40);
        for (int flips = 1 + i % 4; flips > 0 && !datagram.empty(); --flips) {
            datagram[random() % datagram.size()] = static_cast<std::uint8_t>(random());
        }
        asker_->send(datagram);
        if (i % 50 == 49) std::this_thread::sleep_for(20ms);  // room in the receive buffer
    }
    while (asker_->answer(500ms)) {
    }
    asker_->send(query());
    EXPECT_EQ(asker_->answer(), device_answer("1A2B3C", port("1A2B3C")));
}

TEST_F(SimTcp, DelayHoldsTheAnswers) {
    start({"--delay", "300", "--device", "1A2B3C"});
    const auto asked = std::chrono::steady_clock::now();
    asker_->send(query());
    asker_->send(query());
    EXPECT_TRUE(asker_->answer());
    EXPECT_GE(std::chrono::steady_clock::now() - asked, 290ms);
    EXPECT_TRUE(asker_->answer());
}

TEST_F(SimTcp, QuietAnswerAndUnplugSteerTheAnswers) {
    start({"--device", "1A2B3C:echo", "--device", "654321=4000"});
    const bytes first = device_answer("1A2B3C", port("1A2B3C"));
    const bytes second = device_answer("654321", 4000);
    say("quiet 1A2B3C", "1A2B3C is quiet");
    asker_->send(query());
    EXPECT_EQ(asker_->answer(), second);
    EXPECT_FALSE(asker_->answer(300ms));
    say("answer 1A2B3C", "1A2B3C answers");
    asker_->send(query());
    EXPECT_EQ(asker_->answer(), first);
    EXPECT_EQ(asker_->answer(), second);
    const std::uint16_t gone = port("1A2B3C");
    say("unplug 1A2B3C", "unplugged 1A2B3C");
    asker_->send(query());
    EXPECT_EQ(asker_->answer(), second);
    EXPECT_FALSE(asker_->answer(300ms));
    tcp::socket s(io_);
    boost::system::error_code error;
    s.connect({loopback, gone}, error);
    EXPECT_EQ(error, asio::error::connection_refused);
    say("close 1A2B3C", "unknown command 'close 1A2B3C'");
}

TEST_F(SimTcp, StreamStartsTheSequenceOnEveryConnection) {
    start({"--device", "1A2B3C:stream"});
    auto a = connect("1A2B3C");
    bytes got_a;
    EXPECT_FALSE(read_until_end(a, got_a, 3'000'000));
    auto b = connect("1A2B3C");
    asio::write(b, asio::buffer("ignored input", 13));
    bytes got_b;
    EXPECT_FALSE(read_until_end(b, got_b, 1'000'000));
    EXPECT_TRUE(is_stream(got_a));
    EXPECT_TRUE(is_stream(got_b));
}

TEST_F(SimTcp, PacedStreamKeepsItsRate) {
    start({"--device", "1A2B3C:stream:50K"});
    auto s = connect("1A2B3C");
    bytes got(100'000);
    std::size_t count = 0;
    const auto until = std::chrono::steady_clock::now() + 1s;
    while (std::chrono::steady_clock::now() < until && count < got.size()) {
        if (wait_readable(s.native_handle(), 10ms))
            count += s.read_some(asio::buffer(got.data() + count, got.size() - count));
    }
    got.resize(count);
    EXPECT_GT(got.size(), 30'000u);
    EXPECT_LT(got.size(), 70'000u);
    EXPECT_TRUE(is_stream(got));
}

TEST_F(SimTcp, EchoReturnsEverything) {
    start({"--device", "1A2B3C:echo"});
    auto s = connect("1A2B3C");
    bytes sent(1 << 20);
    std::mt19937 random(2);
    for (auto& b : sent) b = static_cast<std::uint8_t>(random());
    std::thread writer([&] { asio::write(s, asio::buffer(sent)); });
    bytes got;
    EXPECT_FALSE(read_until_end(s, got, sent.size()));
    writer.join();
    EXPECT_TRUE(got == sent);
}

TEST_F(SimTcp, CloseAfterEndsEachConnectionAtTheCount) {
    start({"--close-after", "100K", "--device", "1A2B3C:stream", "--device", "654321:silent"});
    for (int i = 0; i < 2; ++i) {
        auto s = connect("1A2B3C");
        bytes got;
        EXPECT_TRUE(read_until_end(s, got, 200'000));
        EXPECT_EQ(got.size(), 100'000u);
        EXPECT_TRUE(is_stream(got));
    }
    auto silent = connect("654321");
    asio::write(silent, asio::buffer(bytes(100'000)));
    bytes got;
    EXPECT_TRUE(read_until_end(silent, got, 1));
    EXPECT_TRUE(got.empty());
}

TEST_F(SimTcp, RefusedPortIsAnnounced) {
    start({"--refuse", "--device", "1A2B3C:stream"});
    asker_->send(query());
    EXPECT_EQ(asker_->answer(), device_answer("1A2B3C", port("1A2B3C")));
    tcp::socket s(io_);
    boost::system::error_code error;
    s.connect({loopback, port("1A2B3C")}, error);
    EXPECT_EQ(error, asio::error::connection_refused);
}

TEST_F(SimTcp, CloseCommandDropsConnectionsButKeepsListening) {
    start({"--device", "1A2B3C:echo"});
    auto s = connect("1A2B3C");
    say("close 1A2B3C", "closed the connections of 1A2B3C");
    bytes got;
    EXPECT_TRUE(read_until_end(s, got, 1));
    auto again = connect("1A2B3C");
    asio::write(again, asio::buffer("ping", 4));
    EXPECT_FALSE(read_until_end(again, got, 4));
    EXPECT_EQ(got, text("ping"));
}

TEST_F(SimTcp, ExitCodes) {
    start({"--device", "1A2B3C", "--", "sh", "-c", "exit 7"});
    EXPECT_EQ(sim_->wait(), 7);
    start({"--device", "1A2B3C", "--", "sleep", "30"});
    sim_->signal(SIGTERM);
    EXPECT_EQ(sim_->wait(), 128 + SIGTERM);
    sim_.emplace(words{kest_sim_binary(), "tcp", "--interface", "10.9.9.9", "--device", "1A2B3C"});
    EXPECT_EQ(sim_->wait(), 1);
    EXPECT_TRUE(sim_->wait_for_stderr("no interface has the address 10.9.9.9", 0ms));
}

}  // namespace
}  // namespace kestd::test

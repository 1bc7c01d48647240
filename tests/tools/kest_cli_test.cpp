// Black-box tests of the kest command line, against no server, a real kestd without devices,
// and a scripted stand-in for kestd; and the bridge that kest open runs.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <array>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <map>
#include <mutex>
#include <thread>

#include "client/bridge.hpp"
#include "client/request_client.hpp"
#include "support/kestd_server.hpp"
#include "support/private_network.hpp"

namespace kestd::test {
namespace {

namespace asio = boost::asio;
using asio::ip::tcp;
using asio::ip::udp;
using namespace std::chrono_literals;

const auto loopback = asio::ip::make_address_v4("127.0.0.1");

using words = std::vector<std::string>;

struct finished {
    int code;
    std::string out;
    std::string err;
};

finished kest(words arguments) {
    arguments.insert(arguments.begin(), KEST_BINARY);
    child_process p(arguments);
    const auto code = p.wait(20s);
    return {code.value_or(-1000), p.stdout_text(), p.stderr_text()};
}

bool contains(const std::string& text, std::string_view part) {
    return text.find(part) != std::string::npos;
}

TEST(KestUsage, MistakesExitTwoAndPrintUsage) {
    const std::vector<words> mistakes = {{},
                                         {"frobnicate"},
                                         {"version", "extra"},
                                         {"open", "A", "B"},
                                         {"lock", "A", "door"},
                                         {"lock", "A", "door", "10ms"},
                                         {"close", "A", "127.0.0.1", "70000"},
                                         {"store", "A", "key", "two words"},
                                         {"store", "A", "", "value"},
                                         {"--raw", "version"},
                                         {"--timeout", "-5", "version"},
                                         {"--bogus", "version"}};
    for (const auto& w : mistakes) {
        const auto r = kest(w);
        EXPECT_EQ(r.code, 2) << ::testing::PrintToString(w);
        EXPECT_TRUE(contains(r.err, "Usage: kest")) << r.err;
        EXPECT_EQ(r.out, "");
    }
}

TEST(KestWithoutServer, CommandsSayTheServerIsNotAnswering) {
    KESTD_REQUIRE_PRIVATE_NETWORK();
    for (const auto& w : {words{"version"}, words{"find"}, words{"open", "A"}}) {
        auto arguments = w;
        arguments.insert(arguments.begin(), {"--timeout", "200"});
        const auto r = kest(arguments);
        EXPECT_EQ(r.code, 1) << w[0];
        EXPECT_TRUE(contains(r.err, "no answer from kestd")) << r.err;
        EXPECT_TRUE(contains(r.err, "is the server running?")) << r.err;
    }
}

class KestWithServer : public ::testing::Test {
protected:
    void SetUp() override {
        KESTD_REQUIRE_PRIVATE_NETWORK();
        server_.emplace(words{"--no-serial-port"});
        ASSERT_TRUE(server_->ready());
    }
    void TearDown() override {
        if (!server_) return;
        server_->process().signal(SIGINT);
        EXPECT_EQ(server_->process().wait(), 0);
    }

    std::optional<kestd_server> server_;
};

TEST_F(KestWithServer, VersionAndAnEmptyDeviceList) {
    const auto version = kest({"version"});
    EXPECT_EQ(version.code, 0);
    EXPECT_EQ(version.out, "2\n");

    const auto table = kest({"find"});
    EXPECT_EQ(table.code, 0);
    EXPECT_EQ(table.out, "");
    EXPECT_TRUE(contains(table.err, "no devices found")) << table.err;

    const auto raw = kest({"find", "--raw"});
    EXPECT_EQ(raw.code, 0);
    EXPECT_EQ(raw.out + raw.err, "");
}

TEST_F(KestWithServer, DeviceCommandsOnAnUnknownSerialExitThree) {
    for (const auto& w : {words{"open", "NOPE"}, words{"lock", "NOPE", "door", "100"}}) {
        const auto r = kest(w);
        EXPECT_EQ(r.code, 3) << w[0];
        EXPECT_EQ(r.out, "");
        EXPECT_TRUE(contains(r.err, "no such device: NOPE")) << r.err;
    }
}

// Plays the landing and one device's RPC endpoint from canned replies; a request without a
// canned reply gets none, so a misspelt request shows up as a timeout.
class scripted_kestd {
public:
    scripted_kestd() {
        serve(landing_);
        serve(rpc_);
        thread_ = std::thread([this] { io_.run(); });
    }
    ~scripted_kestd() {
        io_.stop();
        thread_.join();
    }
    void reply(const std::string& request, const std::string& answer) {
        std::lock_guard lock(mutex_);
        replies_[request] = answer;
    }
    std::string listing(const std::string& serial) const {
        return serial + " 127.0.0.1 " + std::to_string(rpc_port_);
    }
    std::string rpc_text() const { return "127.0.0.1:" + std::to_string(rpc_port_); }

private:
    struct responder {
        udp::socket socket;
        std::array<char, 2048> buffer{};
        udp::endpoint peer{};
    };

    void serve(responder& r) {
        r.socket.async_receive_from(asio::buffer(r.buffer), r.peer,
                                    [this, &r](boost::system::error_code ec, std::size_t size) {
                                        if (ec) return;
                                        std::unique_lock lock(mutex_);
                                        const auto it = replies_.find({r.buffer.data(), size});
                                        if (it != replies_.end()) {
                                            r.socket.send_to(asio::buffer(it->second), r.peer);
                                        }
                                        lock.unlock();
                                        serve(r);
                                    });
    }

    asio::io_context io_;
    responder landing_{udp::socket(io_, kest::landing_endpoint())};
    responder rpc_{udp::socket(io_, udp::endpoint(loopback, 0))};
    const std::uint16_t rpc_port_ = rpc_.socket.local_endpoint().port();
    std::mutex mutex_;
    std::map<std::string, std::string> replies_;
    std::thread thread_;
};

class KestWithScriptedServer : public ::testing::Test {
protected:
    void SetUp() override {
        KESTD_REQUIRE_PRIVATE_NETWORK();
        fake_.emplace();
        fake_->reply("2 find", fake_->listing("ZX9") + "\n" + fake_->listing("AB1"));
    }
    std::optional<scripted_kestd> fake_;
};

TEST_F(KestWithScriptedServer, FindPrintsATableSortedBySerialOrTheRawList) {
    const auto table = kest({"find"});
    EXPECT_EQ(table.code, 0);
    EXPECT_EQ(table.out, "SERIAL  RPC ENDPOINT\nAB1     " + fake_->rpc_text() + "\nZX9     " +
                             fake_->rpc_text() + "\n");

    const auto raw = kest({"find", "--raw"});
    EXPECT_EQ(raw.code, 0);
    EXPECT_EQ(raw.out, fake_->listing("ZX9") + "\n" + fake_->listing("AB1") + "\n");
}

TEST_F(KestWithScriptedServer, DeviceCommandsSendTheirRequestAndPrintAnyReply) {
    const struct {
        words arguments;
        std::string request;
        std::string answer;
    } cases[] = {
        {{"lock", "ZX9", "door", "1500"}, "2 lock door 1500", "0"},
        {{"unlock", "ZX9", "door"}, "2 unlock door", "1"},
        {{"store", "ZX9", "colour", "teal"}, "2 store colour teal", "1"},
        {{"load", "ZX9", "shape"}, "2 load shape", ""},
        {{"close", "ZX9", "127.0.0.1", "40000"}, "2 close 127.0.0.1 40000", "0"},
    };
    for (const auto& c : cases) {
        fake_->reply(c.request, c.answer);
        const auto r = kest(c.arguments);
        EXPECT_EQ(r.code, 0) << c.request << ": " << r.err;
        EXPECT_EQ(r.out, c.answer + "\n") << c.request;
    }
}

TEST_F(KestWithScriptedServer, RefusedOpenExitsFour) {
    fake_->reply("2 open", "0");
    const auto r = kest({"open", "AB1"});
    EXPECT_EQ(r.code, 4);
    EXPECT_TRUE(contains(r.err, "device AB1 could not be opened")) << r.err;
}

TEST_F(KestWithScriptedServer, OpenPrintsUntilTheServerClosesEvenAfterItsInputEnded) {
    asio::io_context io;
    tcp::acceptor listener(io, tcp::endpoint(loopback, 0));
    fake_->reply("2 open", "127.0.0.1 " + std::to_string(listener.local_endpoint().port()));
    child_process client({KEST_BINARY, "open", "AB1"});
    client.close_stdin();  // its standard input is empty

    tcp::socket data(io);
    listener.async_accept(data, [](boost::system::error_code) {});
    io.run_for(10s);
    ASSERT_TRUE(data.is_open()) << client.stderr_text();
    asio::write(data, asio::buffer(std::string("before ")));
    std::array<char, 16> rest;
    boost::system::error_code ec = asio::error::timed_out;
    std::size_t got = 0;
    asio::async_read(data, asio::buffer(rest), [&](boost::system::error_code e, std::size_t n) {
        ec = e;
        got = n;
    });
    io.restart();
    io.run_for(10s);
    EXPECT_EQ(ec, asio::error::eof) << "kest half-closes at the end of its input";
    EXPECT_EQ(got, 0u);
    asio::write(data, asio::buffer(std::string("after")));
    data.close();

    EXPECT_EQ(client.wait(), 0) << client.stderr_text();
    EXPECT_EQ(client.stdout_text(), "before after");
}

// Copying one way only would stall once the echo fills the socket buffers and the pipe.
TEST(Bridge, CopiesBothWaysAtOnceAndLeavesTheDescriptorsAsItFoundThem) {
    asio::io_context io;
    tcp::acceptor listener(io, tcp::endpoint(loopback, 0));
    tcp::socket connection(io);
    connection.connect(listener.local_endpoint());
    const std::size_t size = 4 << 20;
    // Stops after `size` bytes rather than at the end of input, so a missing half-close
    // cannot hang this test.
    std::thread echo([&listener] {
        auto peer = listener.accept();
        std::vector<char> chunk(10000);
        boost::system::error_code ec;
        for (std::size_t total = 0; total < size;) {
            const auto n = peer.read_some(asio::buffer(chunk), ec);
            if (n == 0 || asio::write(peer, asio::buffer(chunk.data(), n), ec) != n) break;
            total += n;
        }
    });

    int input[2], output[2];
    ASSERT_EQ(::pipe2(input, O_CLOEXEC), 0);
    ASSERT_EQ(::pipe2(output, O_CLOEXEC), 0);
    std::string sent(size, '\0');
    for (std::size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<char>(i % 251);
    std::thread writer([&] {
        for (std::size_t at = 0; at < sent.size();) {
            const auto n = ::write(input[1], sent.data() + at, sent.size() - at);
            if (n <= 0) break;
            at += static_cast<std::size_t>(n);
        }
        ::close(input[1]);
    });
    std::string received;
    std::thread reader([&] {
        std::array<char, 65536> chunk;
        while (received.size() < sent.size()) {
            const auto n = ::read(output[0], chunk.data(), chunk.size());
            if (n <= 0) break;
            received.append(chunk.data(), static_cast<std::size_t>(n));
        }
    });

    kest::bridge_result result{kest::bridge_end::failed, 0, "threw"};
    try {
        result = kest::bridge(input[0], output[1], std::move(connection));
    } catch (const std::exception& e) {
        ADD_FAILURE() << e.what();
    }
    for (const int fd : {input[0], output[1]}) {
        const int flags = ::fcntl(fd, F_GETFL);
        EXPECT_NE(flags, -1) << "still open";
        EXPECT_EQ(flags & O_NONBLOCK, 0) << "blocking again";
        ::close(fd);  // also frees a writer or reader the bridge left waiting
    }
    writer.join();
    reader.join();
    echo.join();
    ::close(output[0]);
    EXPECT_EQ(result.end, kest::bridge_end::connection_closed) << result.error;
    EXPECT_TRUE(received == sent) << received.size() << " of " << sent.size() << " bytes";
}

}  // namespace
}  // namespace kestd::test

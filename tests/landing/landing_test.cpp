// Black-box tests of the landing's request protocol and of the server's shutdown.
#include <gtest/gtest.h>
#include <signal.h>

#include "client/request_client.hpp"
#include "support/kestd_server.hpp"
#include "support/private_network.hpp"

namespace kestd::test {
namespace {

using namespace std::chrono_literals;
using namespace std::string_literals;

class Landing : public ::testing::Test {
protected:
    void SetUp() override {
        KESTD_REQUIRE_PRIVATE_NETWORK();
        server_.emplace();
        ASSERT_TRUE(server_->ready());
    }
    void TearDown() override {
        if (!server_) return;
        server_->process().signal(SIGINT);
        EXPECT_EQ(server_->process().wait(), 0);
    }
    // Waits for a log line and says whether it appeared.
    bool logged(std::string_view text) { return server_->process().wait_for_stderr(text, 5s); }

    std::optional<kestd_server> server_;
};

TEST_F(Landing, AnswersVersionRequests) {
    EXPECT_EQ(ask_landing("2 version"), "2");
    EXPECT_EQ(ask_landing("2 version and more tokens"), "2");
    EXPECT_EQ(ask_landing("2 version\0trailing garbage"s), "2") << "text ends at a zero byte";
    EXPECT_TRUE(logged("[debug] [landing] recv: '2 version'"));
    EXPECT_TRUE(logged("[debug] [landing] send: '2'"));
}

TEST_F(Landing, WrongApiVersionIsAnsweredWithZero) {
    EXPECT_EQ(ask_landing("3 version"), "0");
    EXPECT_EQ(ask_landing("3 find"), "0");
    EXPECT_EQ(ask_landing("1 anything at all"), "0");
    EXPECT_EQ(ask_landing(" version"), "0") << "empty first token";
    EXPECT_TRUE(logged("[warning] [landing] invalid version: 3"));
    EXPECT_TRUE(logged("[warning] [landing] invalid version: 1"));
}

TEST_F(Landing, MalformedRequestsGetNoReplyAndAWarning) {
    const struct {
        std::string request;
        std::string warning;
    } cases[] = {
        {"", "invalid request (less than two args)"},
        {"version", "invalid request (less than two args)"},
        {"2", "invalid request (less than two args)"},
        {"\0 2 version"s, "invalid request (less than two args)"},
        {"2 VERSION", "unknown command: VERSION"},
        {"2 Find", "unknown command: Find"},
        {"2 version\r\n", "unknown command: version\\r\\n"},
        {"2 \tversion", "unknown command: \\tversion"},
        {"2  version", "unknown command: \n"},
        {"2 frobnicate", "unknown command: frobnicate"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ask_landing(c.request, 300ms), std::nullopt) << c.request;
        EXPECT_TRUE(logged(c.warning)) << c.warning;
    }
    // Still serving after all of that.
    EXPECT_EQ(ask_landing("2 version"), "2");
}

TEST_F(Landing, LongDatagramsAreCutAt2047Bytes) {
    // Cut after 2047 bytes, the request below is one token: no reply.
    EXPECT_EQ(ask_landing("2" + std::string(2046, 'x') + " version", 300ms), std::nullopt);
    EXPECT_TRUE(logged("invalid request (less than two args)"));
    // One byte shorter, the blank survives the cut: two tokens, wrong version.
    EXPECT_EQ(ask_landing("2" + std::string(2045, 'x') + " version"), "0");
    EXPECT_TRUE(logged("recv: '2" + std::string(2045, 'x') + " '"));
    // Tokens beyond the cut are ignored like any extra tokens.
    EXPECT_EQ(ask_landing("2 version " + std::string(60000, 'y')), "2");
}

TEST_F(Landing, RequestTextCannotForgeLogLines) {
    EXPECT_EQ(ask_landing("2 x\n[2026-01-01 00:00:00.000000] [fatal] [main] forged", 300ms),
              std::nullopt);
    EXPECT_TRUE(logged("unknown command: x\\n[2026-01-01"));
    for (const auto& line : lines_with(server_->log(), "[2026-01-01")) {
        EXPECT_EQ(line.rfind("[2026-01-01", 0), std::string::npos) << line;
    }
}

TEST_F(Landing, FindWithoutDevicesAnswersEveryRequesterWithAnEmptyList) {
    kest::request_client a(2s), b(2s), c(2s);
    EXPECT_EQ(a.request(kest::landing_endpoint(), "2 find"), "");
    EXPECT_EQ(b.request(kest::landing_endpoint(), "2 find extra"), "");
    EXPECT_EQ(c.request(kest::landing_endpoint(), "2 find"), "");
    EXPECT_TRUE(logged("finder send: 127.0.0.1:" + std::to_string(c.local_endpoint().port()) +
                       ": ''"));
}

TEST_F(Landing, ClientThatLeftBeforeItsReplyDoesNotStopTheLanding) {
    {
        kest::request_client gone(1ms);
        gone.request(kest::landing_endpoint(), "2 version");
    }
    EXPECT_EQ(ask_landing("2 version"), "2");
}

struct ShutdownCase {
    int signal_number;
    const char* record;
    friend void PrintTo(const ShutdownCase& c, std::ostream* os) { *os << c.record; }
};

class Shutdown : public ::testing::TestWithParam<ShutdownCase> {};

TEST_P(Shutdown, SignalStopsTheLandingAndExitsZero) {
    KESTD_REQUIRE_PRIVATE_NETWORK();
    kestd_server server;
    ASSERT_TRUE(server.ready());
    server.process().signal(GetParam().signal_number);
    EXPECT_EQ(server.process().wait(), 0);
    const std::string log = server.log();
    const auto stop = log.find("[info] [main] "s + GetParam().record);
    ASSERT_NE(stop, std::string::npos) << log;
    const auto receive_error = log.find("[error] [landing] receive error: ", stop);
    EXPECT_NE(receive_error, std::string::npos) << "the aborted receive follows: " << log;
    EXPECT_EQ(ask_landing("2 version", 200ms), std::nullopt);
}

INSTANTIATE_TEST_SUITE_P(Signals, Shutdown,
                         ::testing::Values(ShutdownCase{SIGINT, "SIGINT, shutting down"},
                                           ShutdownCase{SIGTERM, "SIGTERM, shutting down"}),
                         [](const auto& info) {
                             return info.param.signal_number == SIGINT ? "SIGINT" : "SIGTERM";
                         });

TEST(SecondInstance, CannotBindAndLeavesTheFirstServing) {
    KESTD_REQUIRE_PRIVATE_NETWORK();
    kestd_server first;
    ASSERT_TRUE(first.ready());
    kestd_server second;
    EXPECT_EQ(second.process().wait(), 255);
    EXPECT_EQ(lines_with(second.log(), "[fatal] [main] exception in landing: bind: ").size(), 1u)
        << second.log();
    EXPECT_EQ(ask_landing("2 version"), "2");
    first.process().signal(SIGINT);
    EXPECT_EQ(first.process().wait(), 0);
}

}  // namespace
}  // namespace kestd::test

// kestd under a service manager: the notify protocol as systemd speaks it, seen from the
// manager's side of the socket, and the service callbacks' shutdown from another thread.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <boost/asio/ip/udp.hpp>
#include <cstring>
#include <filesystem>
#include <future>

#include "app/service_landing.hpp"
#include "support/fake_transport.hpp"
#include "support/kestd_server.hpp"
#include "support/log_capture.hpp"
#include "support/private_network.hpp"

namespace kestd::test {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

// The manager's end of the notify protocol: a unix datagram socket kestd is pointed at.
class notify_listener {
public:
    notify_listener()
        : path_(fs::temp_directory_path() / ("kestd-notify-" + std::to_string(::getpid()))) {
        fs::remove(path_);
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path_.c_str(), sizeof address.sun_path - 1);
        if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            throw std::runtime_error("notify socket: " + std::string(std::strerror(errno)));
        }
    }
    ~notify_listener() {
        ::close(fd_);
        fs::remove(path_);
    }

    std::string path() const { return path_.string(); }

    // The next message, or nothing within `timeout`.
    std::optional<std::string> receive(std::chrono::milliseconds timeout = 10s) {
        pollfd wanted{fd_, POLLIN, 0};
        if (::poll(&wanted, 1, static_cast<int>(timeout.count())) != 1) return std::nullopt;
        char buffer[4096];
        const ssize_t size = ::recv(fd_, buffer, sizeof buffer, 0);
        if (size < 0) return std::nullopt;
        return std::string(buffer, static_cast<std::size_t>(size));
    }

    // Messages until one contains `text` (returned last), or what came before a timeout.
    std::vector<std::string> receive_until(std::string_view text,
                                           std::chrono::milliseconds timeout = 10s) {
        std::vector<std::string> seen;
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            auto message = receive(std::max(left, 1ms));
            if (!message) break;
            seen.push_back(*message);
            if (message->find(text) != std::string::npos) break;
        }
        return seen;
    }

private:
    fs::path path_;
    int fd_ = -1;
};

bool contains(const std::vector<std::string>& messages, std::string_view text) {
    return std::any_of(messages.begin(), messages.end(),
                       [&](const std::string& m) { return m.find(text) != std::string::npos; });
}

// kestd as a service, started with `environment` (NAME=value) and no manager settings of
// the test run's own.
child_process start_service(const std::vector<std::string>& environment) {
    std::vector<std::string> argv = {"env",           "-u", "NOTIFY_SOCKET", "-u",
                                     "WATCHDOG_USEC", "-u", "WATCHDOG_PID"};
    argv.insert(argv.end(), environment.begin(), environment.end());
    argv.push_back(kestd_binary());
    argv.insert(argv.end(), {"--service", "--no-serial-port", "--no-dxx", "--no-cab"});
    return child_process(argv);
}

// Whether the landing answers before `limit`, asking again until it does.
bool answers_within(child_process& service, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        if (service.wait(0ms)) return false;
        if (ask_landing("2 version", 50ms) == "2") return true;
    }
    return false;
}

std::size_t position(const std::string& log, std::string_view text) {
    const auto at = log.find(text);
    EXPECT_NE(at, std::string::npos) << "no \"" << text << "\" in\n" << log;
    return at;
}

TEST(ServiceHost, TellsTheManagerOnlyWhenServingAndStopsCleanlyOnSigterm) {
    KESTD_REQUIRE_PRIVATE_NETWORK();
    notify_listener manager;
    child_process service = start_service({"NOTIFY_SOCKET=" + manager.path()});
    const auto before_ready = manager.receive_until("READY=1");
    ASSERT_TRUE(contains(before_ready, "READY=1")) << service.stderr_text();
    // One try, no retry: a landing not yet bound would lose this request.
    EXPECT_EQ(ask_landing("2 version", 2s), "2") << "ready before the landing answers";
    EXPECT_TRUE(contains(before_ready, "STATUS=serving on 127.0.0.1:26741"));
    EXPECT_FALSE(contains(before_ready, "WATCHDOG=1")) << "no watchdog was asked for";

    service.signal(SIGTERM);
    EXPECT_TRUE(contains(manager.receive_until("STOPPING=1"), "STOPPING=1"));
    EXPECT_EQ(service.wait(), 0);
    const std::string log = service.stderr_text();
    EXPECT_LT(position(log, "[main] service starting"),
              position(log, "[service] SIGTERM, stop requested"));
    EXPECT_LT(position(log, "[service] SIGTERM, stop requested"),
              position(log, "[main] service stopping"));
    EXPECT_LT(position(log, "[main] service stopping"), position(log, "[landing] receive error"));
    EXPECT_EQ(log.find("no service manager listening"), std::string::npos);
    EXPECT_EQ(manager.receive(300ms), std::nullopt) << "nothing after the stop";
}

TEST(ServiceHost, WithoutAManagerItServesAsAConsoleProgram) {
    KESTD_REQUIRE_PRIVATE_NETWORK();
    for (const int signal_number : {SIGTERM, SIGINT}) {
        child_process service = start_service({});
        ASSERT_TRUE(answers_within(service, 10s)) << service.stderr_text();
        service.signal(signal_number);
        EXPECT_EQ(service.wait(), 0);
        const std::string log = service.stderr_text();
        EXPECT_EQ(lines_with(log, "no service manager listening").size(), 1u) << log;
        EXPECT_EQ(lines_with(log, "service stopping").size(), 1u) << log;
    }
}

TEST(ServiceHost, TheWatchdogHearsFromTheLoopAtHalfItsInterval) {
    KESTD_REQUIRE_PRIVATE_NETWORK();
    notify_listener manager;
    // Two seconds: sanitizer builds keep up with a ping a second easily.
    child_process service =
        start_service({"NOTIFY_SOCKET=" + manager.path(), "WATCHDOG_USEC=2000000"});
    ASSERT_TRUE(contains(manager.receive_until("READY=1"), "READY=1"));
    const auto start = std::chrono::steady_clock::now();
    int pings = 0;
    while (pings < 3) {
        const auto message = manager.receive(3s);
        ASSERT_TRUE(message) << "a ping missing after " << pings;
        if (*message == "WATCHDOG=1") ++pings;
    }
    const auto elapsed = std::chrono::steady_clock::now() - start;
    // The first goes at once, the next two a second apart each.
    EXPECT_GE(elapsed, 1500ms);
    EXPECT_LT(elapsed, 4s) << "pings come at half the interval, not the whole";
    service.signal(SIGTERM);
    EXPECT_EQ(service.wait(), 0) << "the watchdog timer must not keep the loop alive";
}

TEST(ServiceHost, ALandingThatCannotBindFailsTheServiceAndTellsTheManager) {
    KESTD_REQUIRE_PRIVATE_NETWORK();
    boost::asio::io_context io;
    boost::asio::ip::udp::socket holder(io, {boost::asio::ip::make_address_v4("127.0.0.1"), 26741});
    notify_listener manager;
    child_process service = start_service({"NOTIFY_SOCKET=" + manager.path()});
    const auto messages = manager.receive_until("STOPPING=1");
    EXPECT_FALSE(contains(messages, "READY=1"));
    EXPECT_TRUE(contains(messages, "STOPPING=1"));
    EXPECT_TRUE(contains(messages, "STATUS=failed"));
    // A failure exit, so the manager's restart-on-failure applies.
    EXPECT_EQ(service.wait(), 255);
    const std::string log = service.stderr_text();
    EXPECT_LT(position(log, "[fatal] [main] exception in landing: bind"),
              position(log, "[error] [service] server ended without a stop request"));
}

// The callbacks themselves, as the host calls them from two threads.
TEST(ServiceLanding, AStopFromAnotherThreadEndsTheServing) {
    KESTD_REQUIRE_PRIVATE_NETWORK();
    log_capture log;
    fake_transport transport("AB12CD");
    service_landing server(transport.transports());
    auto serving = std::async(std::launch::async, [&] { server.start(); });
    ASSERT_TRUE(log.wait_for("service starting"));
    while (ask_landing("2 version", 50ms) != "2") {
        ASSERT_EQ(serving.wait_for(0s), std::future_status::timeout) << "start() gave up";
    }
    EXPECT_EQ(ask_landing("2 find").value_or("").rfind("AB12CD 127.0.0.1 ", 0), 0u);
    server.stop();
    ASSERT_EQ(serving.wait_for(10s), std::future_status::ready);
    EXPECT_TRUE(log.wait_for("[landing] receive error"));
}

TEST(ServiceLanding, AStopBeforeTheLandingExistsIsNotLost) {
    KESTD_REQUIRE_PRIVATE_NETWORK();
    log_capture log;
    fake_transport transport("AB12CD");
    service_landing server(transport.transports());
    server.stop();
    auto serving = std::async(std::launch::async, [&] { server.start(); });
    ASSERT_EQ(serving.wait_for(10s), std::future_status::ready) << "served on after the stop";
    EXPECT_EQ(ask_landing("2 version", 200ms), std::nullopt);
}

}  // namespace
}  // namespace kestd::test

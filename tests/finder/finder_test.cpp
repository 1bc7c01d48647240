#include "finder/finder.hpp"

#include <gtest/gtest.h>

#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <stdexcept>
#include <thread>

#include "app/config.hpp"

namespace kestd {
namespace {

using namespace std::chrono_literals;
using driver::found_device_map;

// A found device that only says which transport saw it.
class tagged_device : public driver::weak_device_driver {
public:
    explicit tagged_device(std::string transport) : transport(std::move(transport)) {}
    std::shared_ptr<driver::driver_base> open(boost::asio::io_context&) override {
        throw std::logic_error("not openable");
    }
    const std::string& name() const override { return transport; }

private:
    std::string transport;
};

transport_set::sync_find sync_transport(std::string name, std::vector<std::string> serials) {
    return [=](found_device_map& found) {
        for (const auto& s : serials) found.try_emplace(s, std::make_unique<tagged_device>(name));
    };
}

// Answers at the end of the window, like the network transports.
transport_set::async_find async_transport(std::string name, std::vector<std::string> serials) {
    return [=](boost::asio::io_context& io, std::chrono::milliseconds window,
               found_device_map& found, std::function<void()>&& done) {
        auto timer = std::make_shared<boost::asio::steady_timer>(io, window);
        timer->async_wait([=, &found, done = std::move(done)](const boost::system::error_code&) {
            for (const auto& s : serials) {
                found.try_emplace(s, std::make_unique<tagged_device>(name));
            }
            done();
        });
    };
}

TEST(Finder, MergesInTransportOrderWhenOneDeviceIsSeenTwice) {
    boost::asio::io_context io;
    transport_set transports;
    transports.cab = async_transport("cab", {"A00001", "A00002", "A00003", "A00004"});
    transports.tcp = async_transport("tcp", {"A00002", "A00003", "A00004"});
    transports.serial_port = sync_transport("serial_port", {"A00003", "A00004"});
    transports.dxx = sync_transport("dxx", {"A00004"});
    finder f(io, 5ms, transports);

    found_device_map result;
    int done_calls = 0;
    f.async_find_all(result, [&] { ++done_calls; });
    EXPECT_EQ(done_calls, 0) << "waits for the asynchronous transports";
    io.run();
    ASSERT_EQ(done_calls, 1);
    ASSERT_EQ(result.size(), 4u);
    EXPECT_EQ(result.at("A00001")->name(), "cab");
    EXPECT_EQ(result.at("A00002")->name(), "tcp");
    EXPECT_EQ(result.at("A00003")->name(), "serial_port");
    EXPECT_EQ(result.at("A00004")->name(), "dxx");
}

TEST(Finder, WithoutAsynchronousTransportsDoneRunsBeforeReturning) {
    boost::asio::io_context io;
    for (const bool with_serial : {true, false}) {
        transport_set transports;
        if (with_serial) transports.serial_port = sync_transport("serial_port", {"AB12CD"});
        finder f(io, 100ms, transports);
        found_device_map result;
        bool done = false;
        f.async_find_all(result, [&] { done = true; });
        EXPECT_TRUE(done);
        EXPECT_EQ(result.size(), with_serial ? 1u : 0u);
    }
    EXPECT_EQ(io.poll(), 0u) << "nothing was left on the loop";
}

TEST(Finder, RunEndsWhenATransportGivesUpWithoutCallingBack) {
    boost::asio::io_context io;
    transport_set transports;
    // Drops its token at once, as a transport that cannot start does.
    transports.tcp = [](boost::asio::io_context&, std::chrono::milliseconds, found_device_map&,
                        std::function<void()>&& done) { auto dropped = std::move(done); };
    // Keeps its token until the loop runs, then drops it without calling it.
    transports.cab = [](boost::asio::io_context& io, std::chrono::milliseconds,
                        found_device_map& found, std::function<void()>&& done) {
        boost::asio::post(io, [&found, token = std::move(done)] {
            found.try_emplace("A00001", std::make_unique<tagged_device>("cab"));
        });
    };
    finder f(io, 5ms, transports);
    found_device_map result;
    int done_calls = 0;
    f.async_find_all(result, [&] { ++done_calls; });
    EXPECT_EQ(done_calls, 0);
    io.run();
    EXPECT_EQ(done_calls, 1);
    EXPECT_EQ(result.size(), 1u);
}

TEST(Finder, SynchronousFailurePropagatesAndTheRunStillCompletes) {
    boost::asio::io_context io;
    transport_set transports;
    transports.tcp = async_transport("tcp", {"A00001"});
    transports.serial_port = [](found_device_map&) { throw std::runtime_error("enumeration"); };
    finder f(io, 5ms, transports);
    found_device_map result;
    int done_calls = 0;
    EXPECT_THROW(f.async_find_all(result, [&] { ++done_calls; }), std::runtime_error);
    io.run();
    EXPECT_EQ(done_calls, 1);
    EXPECT_EQ(result.size(), 1u);
}

TEST(Finder, ExceptionFromDoneIsContained) {
    boost::asio::io_context io;
    transport_set transports;
    transports.tcp = async_transport("tcp", {"A00001"});
    finder f(io, 1ms, transports);
    found_device_map result;
    f.async_find_all(result, [] { throw std::runtime_error("session could not be created"); });
    EXPECT_NO_THROW(io.run());
    // An empty `done` is contained the same way.
    finder quick(io, 1ms, transport_set{});
    EXPECT_NO_THROW(quick.async_find_all(result, nullptr));
}

TEST(Finder, FindOneSerialMatchesExactly) {
    boost::asio::io_context io;
    transport_set transports;
    transports.tcp = async_transport("tcp", {"AB12CD", "A00001"});
    transports.serial_port = sync_transport("serial_port", {"AB12CD"});
    finder f(io, 1ms, transports);

    std::vector<std::string> answers;
    auto record = [&](std::unique_ptr<driver::weak_device_driver> device) {
        answers.push_back(device ? device->name() : "none");
    };
    f.async_find("AB12CD", record);
    f.async_find("ab12cd", record);
    f.async_find("ZZZZZZ", record);
    io.run();
    EXPECT_EQ(answers, (std::vector<std::string>{"serial_port", "none", "none"}));
}

TEST(Finder, EnabledTransportsFollowTheSettings) {
    config& cfg = get_config();
    const config saved = cfg;
    cfg.serial_port = false;
    cfg.tcp = cfg.cab = cfg.dxx = false;
    const auto none = transport_set::enabled();
    EXPECT_FALSE(none.serial_port || none.dxx || none.tcp || none.cab);
    cfg.serial_port = true;
    EXPECT_TRUE(transport_set::enabled().serial_port);
    cfg = saved;
}

}  // namespace
}  // namespace kestd

#include "finder/finder.hpp"

#include <gtest/gtest.h>

#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <stdexcept>
#include <thread>

#include "finder/active_finder.hpp"
#include "support/log_capture.hpp"

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
        timer->async_wait([=, &found, done = std::move(done)](const boost::system::error_code& ec) {
            if (ec) return;
            for (const auto& s : serials) {
                found.try_emplace(s, std::make_unique<tagged_device>(name));
            }
            done();
            (void)timer;  // the window lasts as long as its timer
        });
    };
}

// Records each completion of one run.
struct completions {
    int calls = 0;
    found_device_map result;
    finder::done_handler handler() {
        return [this](found_device_map found) {
            ++calls;
            result = std::move(found);
        };
    }
};

TEST(Finder, MergesInTransportOrderWhenOneDeviceIsSeenTwice) {
    boost::asio::io_context io;
    transport_set transports;
    transports.cab = async_transport("cab", {"A00001", "A00002", "A00003", "A00004"});
    transports.tcp = async_transport("tcp", {"A00002", "A00003", "A00004"});
    transports.serial_port = sync_transport("serial_port", {"A00003", "A00004"});
    transports.dxx = sync_transport("dxx", {"A00004"});
    finder f(io, 5ms, transports);

    completions done;
    f.async_find_all(done.handler());
    EXPECT_EQ(done.calls, 0) << "waits for the asynchronous transports";
    io.run();
    ASSERT_EQ(done.calls, 1);
    ASSERT_EQ(done.result.size(), 4u);
    EXPECT_EQ(done.result.at("A00001")->name(), "cab");
    EXPECT_EQ(done.result.at("A00002")->name(), "tcp");
    EXPECT_EQ(done.result.at("A00003")->name(), "serial_port");
    EXPECT_EQ(done.result.at("A00004")->name(), "dxx");
}

TEST(Finder, CompletionIsPostedEvenWithoutAsynchronousTransports) {
    boost::asio::io_context io;
    for (const bool with_serial : {true, false}) {
        transport_set transports;
        if (with_serial) transports.serial_port = sync_transport("serial_port", {"AB12CD"});
        finder f(io, 100ms, transports);
        completions done;
        f.async_find_all(done.handler());
        EXPECT_EQ(done.calls, 0) << "never inside the call that started the run";
        io.restart();
        io.run();
        EXPECT_EQ(done.calls, 1);
        EXPECT_EQ(done.result.size(), with_serial ? 1u : 0u);
    }
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
    completions done;
    f.async_find_all(done.handler());
    io.run();
    EXPECT_EQ(done.calls, 1);
    EXPECT_EQ(done.result.size(), 1u);
}

TEST(Finder, AThrowingTransportIsLoggedAndTheOthersStillReportOnce) {
    test::log_capture log;
    boost::asio::io_context io;
    transport_set transports;
    transports.tcp = async_transport("tcp", {"A00001"});
    transports.cab = [](boost::asio::io_context&, std::chrono::milliseconds, found_device_map&,
                        std::function<void()>&&) { throw std::runtime_error("no capture"); };
    transports.serial_port = [](found_device_map& found) {
        found.try_emplace("A00002", std::make_unique<tagged_device>("serial_port"));
        throw std::runtime_error("enumeration\nbroke");
    };
    transports.dxx = [](found_device_map&) { throw 42; };
    for (const bool only_synchronous : {false, true}) {
        if (only_synchronous) transports.tcp = transports.cab = nullptr;
        finder run(io, 5ms, transports);
        completions done;
        EXPECT_NO_THROW(run.async_find_all(done.handler()));
        io.restart();
        io.run();
        EXPECT_EQ(done.calls, 1);
        EXPECT_EQ(done.result.size(), only_synchronous ? 1u : 2u)
            << "what a transport found before it failed still counts";
    }
    EXPECT_EQ(log.count("[error] [finder] find failed: cab: no capture"), 1u);
    EXPECT_EQ(log.count("[error] [finder] find failed: serial_port: enumeration\\nbroke"), 2u);
    EXPECT_EQ(log.count("[error] [finder] find failed: dxx: unknown exception"), 2u);
}

TEST(Finder, ExceptionFromDoneIsContained) {
    test::log_capture log;
    boost::asio::io_context io;
    transport_set transports;
    transports.tcp = async_transport("tcp", {"A00001"});
    finder f(io, 1ms, transports);
    f.async_find_all([](found_device_map) { throw std::runtime_error("no session"); });
    f.async_find_all(nullptr);
    EXPECT_NO_THROW(io.run());
    EXPECT_EQ(log.count("exception in find completion: no session"), 1u);
    EXPECT_EQ(log.count("exception in find completion: bad_function_call"), 1u);
}

TEST(Finder, ALoopTornDownMidWindowDropsTheCompletion) {
    // The loop's handlers hold the run; destroying them must neither complete the run nor
    // touch what its caller has already destroyed.
    int calls = 0;
    {
        boost::asio::io_context io;
        transport_set transports;
        transports.tcp = async_transport("tcp", {"A00001"});
        finder f(io, 60s, transports);
        auto owned_by_caller = std::make_unique<int>(0);
        f.async_find_all([&calls, state = owned_by_caller.get()](found_device_map) {
            ++calls;
            ++*state;
        });
        owned_by_caller.reset();
        io.poll();
    }
    EXPECT_EQ(calls, 0);
}

TEST(Finder, AFloodIsCutAfterTheLocalTransports) {
    test::log_capture log;
    boost::asio::io_context io;
    std::vector<std::string> flood;
    for (int i = 0; i < 300; ++i) flood.push_back("B" + std::to_string(10000 + i));
    transport_set transports;
    transports.tcp = async_transport("tcp", flood);
    transports.serial_port = sync_transport("serial_port", {"A00001", "A00002"});
    finder f(io, 1ms, transports);

    completions done;
    f.async_find_all(done.handler());
    std::vector<std::string> targeted;
    for (const auto& serial : {flood.front(), flood.back(), std::string("A00002")}) {
        f.async_find(serial, [&](std::unique_ptr<driver::weak_device_driver> device) {
            targeted.push_back(device ? device->name() : "none");
        });
    }
    io.run();
    ASSERT_EQ(done.result.size(), active_finder::max_found);
    EXPECT_TRUE(done.result.contains("A00001") && done.result.contains("A00002"));
    EXPECT_EQ(log.count("[warning] [finder] more than 256 devices found, 46 ignored"), 1u);
    EXPECT_EQ(targeted, (std::vector<std::string>{"tcp", "tcp", "serial_port"}))
        << "a search for one serial is never cut";
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
    EXPECT_TRUE(answers.empty());
    io.run();
    EXPECT_EQ(answers, (std::vector<std::string>{"serial_port", "none", "none"}));
}

}  // namespace
}  // namespace kestd

#include "app/service_landing.hpp"

#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <exception>
#include <string>

#include "app/service_host.hpp"

namespace kestd {

namespace {

// Signs of life for the service manager, sent from the landing's own loop at half the
// interval it asks for, so a loop that hangs stops them and gets the service restarted.
class watchdog {
public:
    watchdog(boost::asio::io_context& io, std::chrono::microseconds interval)
        : timer(io), period(interval / 2) {}

    void start() {
        if (period.count() <= 0) return;
        report_alive();
        timer.expires_after(period);
        timer.async_wait([this](const boost::system::error_code& ec) {
            if (!ec) start();
        });
    }
    void cancel() { timer.cancel(); }

private:
    boost::asio::steady_timer timer;
    std::chrono::microseconds period;
};

}  // namespace

void service_landing::start() {
    KESTD_LOG(log, info) << "service starting";
    try {
        {
            // The previous landing goes first: it holds the port the new one binds.
            std::lock_guard lock(mutex);
            current.reset();
            if (stop_requested) return;
        }
        auto fresh = std::make_unique<landing>(transports);
        landing* front_door = fresh.get();
        {
            std::lock_guard lock(mutex);
            if (stop_requested) return;
            current = std::move(fresh);
        }
        serve(*front_door);
    } catch (const std::exception& e) {
        KESTD_LOG(log, fatal) << "exception in landing: " << e.what();
    }
}

void service_landing::serve(landing& front_door) {
    watchdog alive(front_door.event_loop(), watchdog_interval());
    // A landing that stops serving by itself must not leave the loop waiting for the timer.
    front_door.on_serving_ended([&] { alive.cancel(); });
    front_door.queue_read();
    report_serving(std::string("serving on ") + landing::address + ":" +
                   std::to_string(landing::port));
    alive.start();
    front_door.event_loop().run();
}

void service_landing::stop() {
    KESTD_LOG(log, info) << "service stopping";
    std::lock_guard lock(mutex);
    stop_requested = true;
    if (!current) return;
    // The socket is the loop's; closing it there keeps it away from a handler running now.
    boost::asio::post(current->event_loop(), [front_door = current.get()] { front_door->stop(); });
}

}  // namespace kestd

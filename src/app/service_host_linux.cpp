// The service host under systemd: the notify protocol, and SIGTERM or SIGINT as the stop.
#include <systemd/sd-daemon.h>

#include <atomic>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/signal_set.hpp>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "app/service_host.hpp"
#include "common/logger.hpp"

namespace kestd {

namespace {

logger& service_log() {
    static logger log(boost::log::keywords::channel = "service");
    return log;
}

// A manager that cannot be told is worth one warning, not one per watchdog tick.
void notify(const char* state) {
    static std::atomic<bool> warned{false};
    const int result = ::sd_notify(0, state);
    if (result < 0 && !warned.exchange(true)) {
        KESTD_LOG(service_log(), warning)
            << "unable to notify the service manager: " << std::strerror(-result);
    }
}

}  // namespace

int run_service(std::function<void()> start, std::function<void()> stop) {
    logger& log = service_log();
    const char* socket = std::getenv("NOTIFY_SOCKET");
    if (socket == nullptr || *socket == '\0') {
        KESTD_LOG(log, info) << "no service manager listening, serving as a console program";
    }

    // The stop request arrives on this thread, as the control requests of Windows' manager
    // arrive on the dispatcher's, while the server runs on a thread of its own.
    boost::asio::io_context control;
    boost::asio::signal_set signals(control, SIGINT, SIGTERM);
    bool stop_requested = false;
    signals.async_wait([&](const boost::system::error_code& ec, int signal_number) {
        if (ec) return;
        KESTD_LOG(log, info) << (signal_number == SIGTERM ? "SIGTERM" : "SIGINT")
                             << ", stop requested";
        stop_requested = true;
        notify("STOPPING=1\nSTATUS=stopping");
        // A second signal gets the default action and ends the process at once.
        signals.clear();
        stop();
    });

    std::thread service_main([&] {
        start();
        boost::asio::post(control, [&] { signals.cancel(); });
    });
    control.run();
    service_main.join();

    if (stop_requested) return 0;
    KESTD_LOG(log, error) << "server ended without a stop request";
    notify("STOPPING=1\nSTATUS=failed: the server ended without a stop request, see its log");
    return -1;
}

void report_serving(const std::string& status) { notify(("READY=1\nSTATUS=" + status).c_str()); }

std::chrono::microseconds watchdog_interval() {
    std::uint64_t usec = 0;
    if (::sd_watchdog_enabled(0, &usec) <= 0) return std::chrono::microseconds::zero();
    return std::chrono::microseconds(usec);
}

void report_alive() { notify("WATCHDOG=1"); }

}  // namespace kestd

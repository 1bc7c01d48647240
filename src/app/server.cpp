#include "app/server.hpp"

#include <boost/asio/signal_set.hpp>
#include <csignal>
#include <exception>

#include "app/config.hpp"
#include "app/enabled_transports.hpp"
#include "app/options.hpp"
#include "app/service_host.hpp"
#include "app/service_landing.hpp"
#include "landing/landing.hpp"

namespace kestd {

namespace {

logger& main_log() {
    static logger log(boost::log::keywords::channel = "main");
    return log;
}

int run_console(logger& log) {
    try {
        landing front_door(enabled_transports(get_config()));
        // The signal arrives through Asio's self-pipe, so the stop runs on the loop's own
        // thread: nothing is closed or logged inside the signal handler itself.
        boost::asio::signal_set signals(front_door.event_loop(), SIGINT, SIGTERM);
        signals.async_wait([&](const boost::system::error_code& ec, int signal_number) {
            if (ec) return;
            KESTD_LOG(log, info) << (signal_number == SIGTERM ? "SIGTERM" : "SIGINT")
                                 << ", shutting down";
            // Removing the signals restores their default action: a second one ends the
            // process at once.
            signals.clear();
            front_door.stop();
        });
        // A landing that stops serving by itself must not leave the loop waiting for a signal.
        front_door.on_serving_ended([&] { signals.cancel(); });
        front_door.queue_read();
        front_door.event_loop().run();
    } catch (const std::exception& e) {
        KESTD_LOG(log, fatal) << "exception in landing: " << e.what();
        return -1;
    }
    return 0;
}

int run_as_service() {
    service_landing server(enabled_transports(get_config()));
    return run_service([&] { server.start(); }, [&] { server.stop(); });
}

}  // namespace

int run_server(severity level) {
    logger& log = main_log();
    log_settings_report(log, level);
    return get_config().service ? run_as_service() : run_console(log);
}

}  // namespace kestd

#pragma once

#include <memory>
#include <mutex>

#include "common/logger.hpp"
#include "finder/finder.hpp"
#include "landing/landing.hpp"

namespace kestd {

// The landing as the service host runs it: start() serves on the calling thread until the
// landing's loop runs out of work; stop() may be called on any other thread at any time.
class service_landing {
public:
    explicit service_landing(transport_set transports) : transports(std::move(transports)) {}

    // Creates a new landing (the previous one goes) and serves it. Exceptions are logged.
    void start();
    // Begins the shutdown on the landing's own thread. A stop that arrives before the landing
    // exists is remembered: start() then returns without serving rather than serve on after
    // the manager has been told the service is stopping.
    void stop();

private:
    void serve(landing& front_door);

    logger log{boost::log::keywords::channel = "main"};
    transport_set transports;
    std::mutex mutex;
    std::unique_ptr<landing> current;  // replaced only by start(), read by stop()
    bool stop_requested = false;
};

}  // namespace kestd

#include "finder/active_finder.hpp"

#include <boost/asio/post.hpp>
#include <exception>
#include <unordered_set>

#include "common/logger.hpp"
#include "common/printable.hpp"

namespace kestd {

namespace {

logger& finder_log() {
    static logger log(boost::log::keywords::channel = "finder");
    return log;
}

std::string what(const std::exception_ptr& failure) {
    try {
        std::rethrow_exception(failure);
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "unknown exception";
    }
}

}  // namespace

active_finder::active_finder(boost::asio::io_context& io, done_handler&& done,
                             std::optional<std::string> only)
    : io(io), done(std::move(done)), only(std::move(only)) {}

active_finder::~active_finder() {
    // The last reference may go anywhere: inside a transport's call, while the loop discards
    // its handlers, or in the middle of the caller's own code. Only a posted handler is sure
    // to find the caller ready, and is simply dropped with the loop when it is torn down.
    try {
        boost::asio::post(io, [found = merge(), done = std::move(done)]() mutable {
            try {
                done(std::move(found));
            } catch (...) {
                KESTD_LOG(finder_log(), error)
                    << "exception in find completion: " << what(std::current_exception());
            }
        });
    } catch (...) {
        KESTD_LOG(finder_log(), error)
            << "find completion lost: " << what(std::current_exception());
    }
}

driver::found_device_map active_finder::merge() {
    driver::found_device_map result;
    std::unordered_set<std::string> ignored;
    // The first transport in this order keeps a serial that several saw.
    for (auto* found : {&dxx_found, &serial_port_found, &tcp_found, &cab_found}) {
        for (auto& [serial, device] : *found) {
            if (only && serial != *only) continue;
            if (result.contains(serial)) continue;
            if (!only && result.size() >= max_found) {
                ignored.insert(serial);
                continue;
            }
            result.emplace(serial, std::move(device));
        }
    }
    if (!ignored.empty()) {
        KESTD_LOG(finder_log(), warning)
            << "more than " << max_found << " devices found, " << ignored.size() << " ignored";
    }
    return result;
}

std::function<void()> active_finder::keep_alive_token() {
    return [self = shared_from_this()] {};
}

void active_finder::start_async(const char* name, const transport_set::async_find& find,
                                std::chrono::milliseconds window, driver::found_device_map& into) {
    try {
        find(io, window, into, keep_alive_token());
    } catch (...) {
        KESTD_LOG(finder_log(), error)
            << "find failed: " << name << ": " << printable(what(std::current_exception()));
    }
}

void active_finder::run_sync(const char* name, const transport_set::sync_find& find,
                             driver::found_device_map& into) {
    try {
        find(into);
    } catch (...) {
        KESTD_LOG(finder_log(), error)
            << "find failed: " << name << ": " << printable(what(std::current_exception()));
    }
}

void active_finder::start(std::chrono::milliseconds window, const transport_set& transports) {
    // The asynchronous transports go first, so their windows run while the synchronous
    // enumerations hold this thread.
    if (transports.tcp) start_async("tcp", transports.tcp, window, tcp_found);
    if (transports.cab) start_async("cab", transports.cab, window, cab_found);
    if (transports.serial_port) run_sync("serial_port", transports.serial_port, serial_port_found);
    if (transports.dxx) run_sync("dxx", transports.dxx, dxx_found);
}

}  // namespace kestd

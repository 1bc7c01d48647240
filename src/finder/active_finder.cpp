#include "finder/active_finder.hpp"

#include <exception>

#include "app/logger.hpp"

namespace kestd {

namespace {

logger& finder_log() {
    static logger log(boost::log::keywords::channel = "finder");
    return log;
}

void merge_into(driver::found_device_map& result, driver::found_device_map& found) {
    for (auto& [serial, device] : found) {
        // The first transport in merge order keeps the serial.
        result.try_emplace(serial, std::move(device));
    }
}

}  // namespace

active_finder::active_finder(driver::found_device_map& result, std::function<void()>&& done)
    : result(result), done(std::move(done)) {}

active_finder::~active_finder() {
    // The run ends here, inside the release of its last reference: nothing may escape.
    try {
        merge_and_notify();
    } catch (const std::exception& e) {
        KESTD_LOG(finder_log(), error) << "exception in find completion: " << e.what();
    } catch (...) {
        KESTD_LOG(finder_log(), error) << "exception in find completion";
    }
}

void active_finder::merge_and_notify() {
    merge_into(result, dxx_found);
    merge_into(result, serial_port_found);
    merge_into(result, tcp_found);
    merge_into(result, cab_found);
    done();  // an empty `done` throws std::bad_function_call, caught above
}

std::function<void()> active_finder::keep_alive_token() {
    return [self = shared_from_this()] {};
}

void active_finder::start(boost::asio::io_context& io, std::chrono::milliseconds window,
                          const transport_set& transports) {
    // The asynchronous transports go first, so their windows run while the synchronous
    // enumerations hold this thread.
    if (transports.tcp) transports.tcp(io, window, tcp_found, keep_alive_token());
    if (transports.cab) transports.cab(io, window, cab_found, keep_alive_token());
    if (transports.serial_port) transports.serial_port(serial_port_found);
    if (transports.dxx) transports.dxx(dxx_found);
}

}  // namespace kestd

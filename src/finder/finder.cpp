#include "finder/finder.hpp"

#include "finder/active_finder.hpp"

namespace kestd {

finder::finder(boost::asio::io_context& io, std::chrono::milliseconds window,
               transport_set transports)
    : io(io), window(window), set(std::move(transports)) {}

void finder::async_find_all(done_handler&& done) {
    std::make_shared<active_finder>(io, std::move(done))->start(window, set);
    // The run ends when the last transport releases it, or here if none holds it.
}

void finder::async_find(
    const std::string& serial,
    std::function<void(std::unique_ptr<driver::weak_device_driver>)>&& callback) {
    std::make_shared<active_finder>(
        io,
        [serial, callback = std::move(callback)](driver::found_device_map found) {
            auto it = found.find(serial);
            callback(it == found.end() ? nullptr : std::move(it->second));
        },
        serial)
        ->start(window, set);
}

}  // namespace kestd

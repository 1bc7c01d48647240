#include "finder/finder.hpp"

#include "finder/active_finder.hpp"

namespace kestd {

finder::finder(boost::asio::io_context& io, std::chrono::milliseconds window)
    : io(io), window(window) {}

finder::finder(boost::asio::io_context& io, std::chrono::milliseconds window,
               transport_set transports)
    : io(io), window(window), fixed_transports(std::move(transports)) {}

void finder::async_find_all(driver::found_device_map& result, std::function<void()>&& done) {
    auto run = std::make_shared<active_finder>(result, std::move(done));
    run->start(io, window, fixed_transports ? *fixed_transports : transport_set::enabled());
    // Releasing the local reference ends the run now unless a transport still holds it.
}

void finder::async_find(
    const std::string& serial,
    std::function<void(std::unique_ptr<driver::weak_device_driver>)>&& callback) {
    auto found = std::make_shared<driver::found_device_map>();
    driver::found_device_map& map = *found;
    async_find_all(map, [serial, callback = std::move(callback), found]() {
        auto it = found->find(serial);
        callback(it == found->end() ? nullptr : std::move(it->second));
    });
}

}  // namespace kestd

#pragma once

#include <boost/asio/io_context.hpp>
#include <memory>
#include <string>
#include <unordered_map>

#include "driver/driver_base.hpp"

namespace kestd::driver {

// A device a transport has seen: just enough to open it later; it keeps nothing open.
class weak_device_driver {
public:
    // Opens the device on `io`; failures throw (boost::system::system_error naming the step).
    virtual std::shared_ptr<driver_base> open(boost::asio::io_context& io) = 0;
    // The transport's name, for the log.
    virtual const std::string& name() const = 0;
    virtual ~weak_device_driver() = default;
};

// Serial number (compared byte for byte) to the device found under it.
using found_device_map = std::unordered_map<std::string, std::unique_ptr<weak_device_driver>>;

// Most devices one transport takes in one find: anyone on a network can answer with
// serials of their choosing, and a find must stay cheap.
inline constexpr std::size_t max_found_per_transport = 4096;

}  // namespace kestd::driver

#include "driver/cab/weak_cab_driver.hpp"

#include "driver/cab/cab_driver.hpp"

namespace kestd::driver::cab {

std::shared_ptr<driver_base> weak_cab_driver::open(boost::asio::io_context& io) {
    return std::make_shared<cab_driver>(io, adapter_name, device_mac);
}

const std::string& weak_cab_driver::name() const {
    static const std::string text = "cab";
    return text;
}

}  // namespace kestd::driver::cab

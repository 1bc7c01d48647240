#include "driver/tcp/weak_tcp_driver.hpp"

#include "driver/tcp/tcp_driver.hpp"

namespace kestd::driver::tcp {

std::shared_ptr<driver_base> weak_tcp_driver::open(boost::asio::io_context& io) {
    return std::make_shared<tcp_driver>(io, interface_address, device);
}

const std::string& weak_tcp_driver::name() const {
    static const std::string transport = "tcp";
    return transport;
}

}  // namespace kestd::driver::tcp

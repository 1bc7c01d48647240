#pragma once

#include <boost/asio/ip/address_v4.hpp>
#include <boost/asio/ip/tcp.hpp>

#include "driver/weak_device_driver.hpp"

namespace kestd::driver::tcp {

// A device that answered discovery: where it listens, and the local interface it answered on.
class weak_tcp_driver : public weak_device_driver {
public:
    weak_tcp_driver(const boost::asio::ip::address_v4& interface_address,
                    const boost::asio::ip::tcp::endpoint& device)
        : interface_address(interface_address), device(device) {}

    std::shared_ptr<driver_base> open(boost::asio::io_context& io) override;
    const std::string& name() const override;

    const boost::asio::ip::address_v4& local_address() const { return interface_address; }
    const boost::asio::ip::tcp::endpoint& endpoint() const { return device; }

private:
    boost::asio::ip::address_v4 interface_address;
    boost::asio::ip::tcp::endpoint device;
};

}  // namespace kestd::driver::tcp

// The driver contract for the drivers that need nothing but this process: the socket-pair
// fake the session tests use, and the TCP driver against a listener on loopback.
#include <unistd.h>

#include <boost/asio/ip/tcp.hpp>

#include "driver/contract/driver_contract.hpp"
#include "driver/tcp/tcp_driver.hpp"
#include "finder/transport_set.hpp"
#include "support/fake_transport.hpp"

namespace kestd::test {
namespace {

namespace asio = boost::asio;
using asio::ip::tcp;

class fake_device : public descriptor_device {
public:
    std::shared_ptr<driver::driver_base> open(asio::io_context& io) override {
        driver::found_device_map found;
        transport_.transports().serial_port(found);
        auto driver = found.at("FAKE01")->open(io);
        fd_ = transport_.take_device_end();
        return driver;
    }
    // The device's socket closes: the driver's end sees end of file.
    void go_away() override {
        ::close(fd_);
        fd_ = -1;
    }
    ~fake_device() override {
        if (fd_ >= 0) ::close(fd_);
    }

private:
    int device_fd() override { return fd_; }
    fake_transport transport_{"FAKE01"};
    int fd_ = -1;
};

class tcp_device : public descriptor_device {
public:
    std::shared_ptr<driver::driver_base> open(asio::io_context& io) override {
        const auto loopback = asio::ip::make_address_v4("127.0.0.1");
        tcp::acceptor acceptor(own_io_, tcp::endpoint(loopback, 0));
        auto driver =
            std::make_shared<driver::tcp::tcp_driver>(io, loopback, acceptor.local_endpoint());
        peer_ = acceptor.accept();
        return driver;
    }
    void go_away() override { peer_.close(); }

private:
    int device_fd() override { return peer_.native_handle(); }
    asio::io_context own_io_;
    tcp::socket peer_{own_io_};
};

INSTANTIATE_TEST_SUITE_P(
    LocalDrivers, OpenDriver,
    ::testing::Values(
        driver_kind{
            "SocketPair", [] { return std::make_unique<fake_device>(); }, {}, asio::error::eof},
        driver_kind{"Tcp", [] { return std::make_unique<tcp_device>(); }, {}, asio::error::eof}),
    kind_name);

}  // namespace
}  // namespace kestd::test

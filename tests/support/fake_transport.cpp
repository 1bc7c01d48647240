#include "support/fake_transport.hpp"

#include <sys/socket.h>
#include <unistd.h>

#include <boost/asio/error.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>
#include <stdexcept>

#include "driver/driver_base.hpp"
#include "driver/weak_device_driver.hpp"

namespace kestd::test {

namespace asio = boost::asio;

namespace {

class fake_driver : public std::enable_shared_from_this<fake_driver>, public driver::driver_base {
public:
    fake_driver(asio::io_context& io, int fd) : socket_(io, asio::local::stream_protocol(), fd) {}
    bool close() override {
        boost::system::error_code ec;
        socket_.close(ec);
        return !ec;
    }
    void async_read(const asio::mutable_buffer& b, driver::io_handler&& h) override {
        // As the real drivers do: an empty read would succeed at once, forever.
        if (b.size() == 0) {
            asio::post(socket_.get_executor(), [self = shared_from_this(), h = std::move(h)] {
                h(asio::error::invalid_argument, 0);
            });
            return;
        }
        socket_.async_read_some(
            b, [self = shared_from_this(), h = std::move(h)](const boost::system::error_code& ec,
                                                             std::size_t n) { h(ec, n); });
    }
    void async_write(const asio::const_buffer& b, driver::io_handler&& h) override {
        asio::async_write(socket_, b,
                          [self = shared_from_this(), h = std::move(h)](
                              const boost::system::error_code& ec, std::size_t n) { h(ec, n); });
    }

private:
    asio::local::stream_protocol::socket socket_;
};

}  // namespace

class fake_weak_driver : public driver::weak_device_driver {
public:
    explicit fake_weak_driver(fake_transport& t) : transport_(t) {}
    std::shared_ptr<driver::driver_base> open(asio::io_context& io) override {
        ++transport_.opens;
        transport_.wait_while_held();
        if (transport_.fail_open) throw std::runtime_error("open: simulated failure");
        return std::make_shared<fake_driver>(io, transport_.open_pair());
    }
    const std::string& name() const override {
        static const std::string n = "fake";
        return n;
    }

private:
    fake_transport& transport_;
};

fake_transport::~fake_transport() {
    for (int fd : device_ends_) ::close(fd);
}

transport_set fake_transport::transports() {
    transport_set set;
    set.serial_port = [this](driver::found_device_map& found) {
        ++finds;
        if (present) found.try_emplace(serial_, std::make_unique<fake_weak_driver>(*this));
    };
    return set;
}

int fake_transport::open_pair() {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
        throw std::runtime_error("socketpair failed");
    }
    if (const int size = send_buffer; size > 0) {
        ::setsockopt(fds[0], SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    }
    std::lock_guard lock(mutex_);
    device_ends_.push_back(fds[1]);
    opened_.notify_all();
    return fds[0];
}

void fake_transport::hold_opens() {
    std::lock_guard lock(mutex_);
    held_ = true;
}

void fake_transport::release_opens() {
    std::lock_guard lock(mutex_);
    held_ = false;
    released_.notify_all();
}

void fake_transport::wait_while_held() {
    std::unique_lock lock(mutex_);
    released_.wait(lock, [&] { return !held_; });
}

int fake_transport::take_device_end(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    if (!opened_.wait_for(lock, timeout, [&] { return !device_ends_.empty(); })) return -1;
    const int fd = device_ends_.front();
    device_ends_.pop_front();
    return fd;
}

}  // namespace kestd::test

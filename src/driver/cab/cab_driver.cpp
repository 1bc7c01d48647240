#include "driver/cab/cab_driver.hpp"

#include <boost/asio/error.hpp>
#include <boost/asio/post.hpp>
#include <exception>
#include <stdexcept>

#include "driver/cab/cab_log.hpp"
#include "driver/cab/get_mac_address.hpp"

namespace kestd::driver::cab {

namespace {

mac_address adapter_address(const std::string& adapter_name) {
    mac_address mac{};
    if (!get_mac_address(adapter_name, mac)) {
        throw std::runtime_error("unable to get MAC address for " + adapter_name);
    }
    return mac;
}

// Kernel memory per open device, taken only while it is open.
constexpr int capture_buffer_bytes = 16 << 20;

}  // namespace

cab_driver::cab_driver(boost::asio::io_context& io, const std::string& adapter_name,
                       const mac_address& device_mac)
    : io(io), pipes(io), capture(adapter_name), frame(device_mac, adapter_address(adapter_name)) {
    if (::pcap_set_immediate_mode(capture.get(), 1) != 0) {
        throw std::runtime_error("unable to enable immediate mode for " + adapter_name + ": " +
                                 capture.error());
    }
    if (::pcap_set_promisc(capture.get(), 1) != 0) {
        throw std::runtime_error("unable to enable promiscuous mode for " + adapter_name + ": " +
                                 capture.error());
    }
    // libpcap's default ring (2 MiB, about 1300 full frames) overflows within tens of
    // milliseconds of a streaming device when this process is not scheduled; a larger one
    // rides that out instead of losing frames. It can only fail on an active handle.
    ::pcap_set_buffer_size(capture.get(), capture_buffer_bytes);
    if (::pcap_activate(capture.get()) != 0) {
        throw std::runtime_error("unable to active interface: " + capture.error());
    }
    std::string why;
    if (!capture.set_filter(capture_filter(device_mac), why)) throw std::runtime_error(why);
    read_thread = std::thread([this] { read_frames(); });
    try {
        write_thread = std::thread([this] { send_frames(); });
    } catch (...) {
        // No destructor runs for a driver that was never made: stop the reader here.
        running = false;
        ::pcap_breakloop(capture.get());
        read_thread.join();
        throw;
    }
}

cab_driver::~cab_driver() {
    KESTD_LOG(cab_log(), debug) << "destroying cab driver";
    // A session may let an open driver go without closing it; its threads use the members.
    try {
        close();
    } catch (const std::exception& e) {
        KESTD_LOG(cab_log(), error) << "close error: " << e.what();
    }
}

std::string cab_driver::capture_filter(const mac_address& device_mac) {
    return "ether proto 0xCAB2 && ether src " + to_text(device_mac);
}

bool cab_driver::close() {
    if (closed) return true;
    closed = true;
    KESTD_LOG(cab_log(), debug) << "closing cab driver";
    running.exchange(false);
    ::pcap_breakloop(capture.get());
    std::exception_ptr failure;
    try {
        pipes.close_loop_ends();
    } catch (...) {
        failure = std::current_exception();
    }
    if (read_thread.joinable()) read_thread.join();
    if (write_thread.joinable()) write_thread.join();
    pipes.close_thread_ends();
    if (failure) std::rethrow_exception(failure);
    return true;
}

void cab_driver::async_read(const boost::asio::mutable_buffer& buffer, io_handler&& handler) {
    auto self = shared_from_this();
    if (buffer.size() == 0) {
        // An empty read would complete at once with zero bytes and be reissued forever.
        boost::asio::post(io, [self, handler = std::move(handler)] {
            handler(boost::asio::error::invalid_argument, 0);
        });
        return;
    }
    pipes.async_read(buffer,
                     [self, handler = std::move(handler)](const boost::system::error_code& ec,
                                                          std::size_t size) { handler(ec, size); });
}

void cab_driver::async_write(const boost::asio::const_buffer& buffer, io_handler&& handler) {
    auto self = shared_from_this();
    pipes.async_write(
        buffer, [self, handler = std::move(handler)](const boost::system::error_code& ec,
                                                     std::size_t size) { handler(ec, size); });
}

void cab_driver::on_frame(unsigned char* self, const pcap_pkthdr* header,
                          const unsigned char* bytes) {
    auto& driver = *reinterpret_cast<cab_driver*>(self);
    // Only what was captured is there to read, whatever the wire length says.
    const auto message = driver.reassembler.accept({bytes, header->caplen});
    if (message.empty()) return;
    if (const auto ec = driver.pipes.deliver(message.data(), message.size())) {
        KESTD_LOG(cab_log(), error) << "error writing to doci pipe: " << ec.message();
    }
}

void cab_driver::read_frames() {
    const int result = ::pcap_loop(capture.get(), -1, &cab_driver::on_frame,
                                   reinterpret_cast<unsigned char*>(this));
    KESTD_LOG(cab_log(), error) << "CAB read thread exiting: " << result;
    // Capture ended by itself (the adapter went away): the session's read sees the end, so
    // its clients are let go and the next find drops the device.
    if (running) pipes.end_delivery();
}

void cab_driver::send_frames() {
    try {
        while (running) {
            const auto payload = frame.payload();
            const std::size_t size = pipes.take(payload.data(), payload.size());
            const auto bytes = frame.seal(size);
            if (::pcap_sendpacket(capture.get(), bytes.data(), static_cast<int>(bytes.size())) !=
                0) {
                KESTD_LOG(cab_log(), error) << "unable to send CAB1 packet: " << capture.error();
                // Writes fail from now on instead of filling the pipe and stalling for good.
                pipes.end_taking();
                return;
            }
        }
        KESTD_LOG(cab_log(), debug) << "CAB write thread exiting";
    } catch (const std::exception& e) {
        KESTD_LOG(cab_log(), error) << "CAB write thread exception: " << e.what();
    }
}

}  // namespace kestd::driver::cab

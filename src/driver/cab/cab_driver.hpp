#pragma once

#include <atomic>
#include <boost/asio/io_context.hpp>
#include <memory>
#include <string>
#include <thread>

#include "driver/cab/cab1_frame.hpp"
#include "driver/cab/cab2_reassembler.hpp"
#include "driver/cab/mac_address.hpp"
#include "driver/cab/pcap_handle.hpp"
#include "driver/driver_base.hpp"
#include "driver/thread_pipes.hpp"

namespace kestd::driver::cab {

// An open CAB device: one capture handle on the adapter it answered on. The capture library
// only blocks, so a read thread captures and reassembles the device's messages and a write
// thread frames what clients wrote; both meet the event loop through pipes.
class cab_driver : public std::enable_shared_from_this<cab_driver>, public driver_base {
public:
    // Throws std::runtime_error naming the step that failed; no thread runs then.
    cab_driver(boost::asio::io_context& io, const std::string& adapter_name,
               const mac_address& device_mac);
    ~cab_driver() override;

    // Stops and joins both threads. A second call does nothing.
    bool close() override;
    void async_read(const boost::asio::mutable_buffer& buffer, io_handler&& handler) override;
    void async_write(const boost::asio::const_buffer& buffer, io_handler&& handler) override;

    // "ether proto 0xCAB2 && ether src 00:0A:1B:2C:3D:4E": the device's frames only.
    static std::string capture_filter(const mac_address& device_mac);

private:
    static void on_frame(unsigned char* self, const pcap_pkthdr* header,
                         const unsigned char* bytes);
    void read_frames();
    void send_frames();

    boost::asio::io_context& io;
    thread_pipes pipes;
    pcap_handle capture;
    cab1_frame frame;
    cab2_reassembler reassembler;
    std::atomic<bool> running{true};
    bool closed = false;
    std::thread read_thread;
    std::thread write_thread;
};

}  // namespace kestd::driver::cab

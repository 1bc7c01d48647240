#pragma once

#include <boost/asio/buffer.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/readable_pipe.hpp>
#include <boost/asio/writable_pipe.hpp>
#include <boost/system/error_code.hpp>

#include "driver/driver_base.hpp"

namespace kestd::driver {

// The two connected pipe pairs through which a driver's own blocking threads meet the event
// loop of its session: `from_device` carries what the device sent to async_read, `to_device`
// carries what async_write was given to the driver's sending thread. Each end is used by one
// side only. The threads' ends belong to private contexts that are never run.
class thread_pipes {
public:
    // Asio writes to pipes in pieces of at most this many bytes.
    static constexpr std::size_t max_piece = 65536;

    // Throws boost::system::system_error when the pipes cannot be made.
    explicit thread_pipes(boost::asio::io_context& io);

    // The event loop's side.
    // Completes with what the device sent, or end of file once the device side has ended.
    void async_read(const boost::asio::mutable_buffer& buffer, io_handler&& handler);
    // Completes once the whole buffer is in the pipe, not when it reached the device.
    void async_write(const boost::asio::const_buffer& buffer, io_handler&& handler);

    // The threads' side, blocking.
    // Hands all of `data` to the reader; an error once the loop's side is closed.
    boost::system::error_code deliver(const void* data, std::size_t size);
    // Takes up to `size` bytes written by clients; throws boost::system::system_error (end
    // of file) once the loop's side is closed.
    std::size_t take(void* data, std::size_t size);
    // The device side has ended: the reader sees end of file after what was delivered, so
    // the session hears of it as of any driver error. Call on the delivering thread.
    void end_delivery();
    // The sending side has ended: writes fail from now on. Call on the taking thread.
    void end_taking();

    // Closes the loop's ends, which wakes a thread blocked in deliver() or take(); throws
    // boost::system::system_error when a close fails. The threads' ends stay open until
    // close_thread_ends(), after the threads are joined, so no descriptor they use is
    // closed (and maybe reused) under them.
    void close_loop_ends();
    void close_thread_ends();

private:
    boost::asio::io_context from_device_context;
    boost::asio::io_context to_device_context;
    boost::asio::readable_pipe from_device_reader;
    boost::asio::writable_pipe from_device_writer;
    boost::asio::readable_pipe to_device_reader;
    boost::asio::writable_pipe to_device_writer;
};

}  // namespace kestd::driver

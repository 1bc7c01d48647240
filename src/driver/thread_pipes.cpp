#include "driver/thread_pipes.hpp"

#include <boost/asio/connect_pipe.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <boost/system/system_error.hpp>

#include "driver/broken_pipe_signal.hpp"

namespace kestd::driver {

namespace asio = boost::asio;

thread_pipes::thread_pipes(asio::io_context& io)
    : from_device_reader(io),
      from_device_writer(from_device_context),
      to_device_reader(to_device_context),
      to_device_writer(io) {
    // A write into a pipe whose reader has gone must fail, not end the process.
    ignore_broken_pipe_signal();
    asio::connect_pipe(from_device_reader, from_device_writer);
    asio::connect_pipe(to_device_reader, to_device_writer);
}

void thread_pipes::async_read(const asio::mutable_buffer& buffer, io_handler&& handler) {
    from_device_reader.async_read_some(buffer, std::move(handler));
}

void thread_pipes::async_write(const asio::const_buffer& buffer, io_handler&& handler) {
    // Asio's composed write moves at most max_piece bytes per call into the pipe.
    asio::async_write(to_device_writer, buffer, std::move(handler));
}

boost::system::error_code thread_pipes::deliver(const void* data, std::size_t size) {
    boost::system::error_code ec;
    asio::write(from_device_writer, asio::buffer(data, size), ec);
    return ec;
}

std::size_t thread_pipes::take(void* data, std::size_t size) {
    return to_device_reader.read_some(asio::buffer(data, size));
}

void thread_pipes::end_delivery() {
    boost::system::error_code ignored;
    from_device_writer.close(ignored);
}

void thread_pipes::end_taking() {
    boost::system::error_code ignored;
    to_device_reader.close(ignored);
}

void thread_pipes::close_loop_ends() {
    boost::system::error_code ec;
    to_device_writer.close(ec);
    if (ec) throw boost::system::system_error(ec, "close");
    from_device_reader.close(ec);
    if (ec) throw boost::system::system_error(ec, "close");
}

void thread_pipes::close_thread_ends() {
    boost::system::error_code ignored;
    to_device_reader.close(ignored);
    from_device_writer.close(ignored);
}

}  // namespace kestd::driver

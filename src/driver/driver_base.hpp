#pragma once

#include <boost/asio/buffer.hpp>
#include <boost/system/error_code.hpp>
#include <cstddef>
#include <functional>

namespace kestd::driver {

// Completion of a driver read or write: the error, and the bytes transferred before it.
using io_handler = std::function<void(const boost::system::error_code&, std::size_t)>;

// An open device. Bytes move only through these three operations; handlers run on the
// event loop the device was opened on.
class driver_base {
public:
    driver_base();
    virtual ~driver_base();
    driver_base(const driver_base&) = delete;
    driver_base& operator=(const driver_base&) = delete;

    // Outstanding operations complete with an error. A second call does nothing.
    virtual bool close() = 0;
    // Reads at least one byte, or fails; never completes successfully with zero bytes.
    virtual void async_read(const boost::asio::mutable_buffer& buffer, io_handler&& handler) = 0;
    // Writes the whole buffer. Several writes may be in flight at once.
    virtual void async_write(const boost::asio::const_buffer& buffer, io_handler&& handler) = 0;
};

}  // namespace kestd::driver

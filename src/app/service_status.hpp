#pragma once

#include <cstdint>
#include <functional>
#include <mutex>

namespace kestd {

// One status report to the Windows service control manager, in its own numbers.
struct service_status_record {
    std::uint32_t service_type = 0;
    std::uint32_t current_state = 0;
    std::uint32_t controls_accepted = 0;
    std::uint32_t win32_exit_code = 0;
    std::uint32_t service_specific_exit_code = 0;
    std::uint32_t check_point = 0;
    std::uint32_t wait_hint = 0;
};

// The reports a service makes over its life and their check points. The service-main thread
// and the control handler's thread both report, so each report is made and sent under one
// lock: no two share a check point and they reach the manager in the order they were made.
// Kept apart from the system calls so the sequence is tested on every platform.
class service_status {
public:
    enum class step { registered, running, stop_requested, stopped };

    static constexpr std::uint32_t own_process = 0x10;
    static constexpr std::uint32_t stopped_state = 1;
    static constexpr std::uint32_t start_pending = 2;
    static constexpr std::uint32_t stop_pending = 3;
    static constexpr std::uint32_t running_state = 4;
    static constexpr std::uint32_t accept_stop = 1;
    static constexpr std::uint32_t start_wait_hint_ms = 3000;
    // ERROR_SERVICE_SPECIFIC_ERROR: the server ended without being asked to, so the manager
    // sees a failure and its recovery actions apply.
    static constexpr std::uint32_t service_specific_error = 1066;
    static constexpr std::uint32_t ended_unasked = 1;

    using sender = std::function<void(const service_status_record&)>;

    // Makes the record for `s` and hands it to `send`, both under the lock.
    void report(step s, const sender& send);

    // Whether a stop has been requested; a stopped report without one is a failure.
    bool stop_was_requested() const;

private:
    mutable std::mutex mutex;
    std::uint32_t next_check_point = 1;
    bool stop_requested = false;
};

}  // namespace kestd

#include "app/service_status.hpp"

namespace kestd {

void service_status::report(step s, const sender& send) {
    std::lock_guard lock(mutex);
    service_status_record record;
    record.service_type = own_process;
    switch (s) {
        case step::registered:
            record.current_state = start_pending;
            record.check_point = next_check_point++;
            record.wait_hint = start_wait_hint_ms;
            break;
        case step::running:
            record.current_state = running_state;
            record.controls_accepted = accept_stop;
            break;
        case step::stop_requested:
            stop_requested = true;
            record.current_state = stop_pending;
            record.controls_accepted = accept_stop;
            record.check_point = next_check_point++;
            break;
        case step::stopped:
            record.current_state = stopped_state;
            record.controls_accepted = accept_stop;
            if (!stop_requested) {
                record.win32_exit_code = service_specific_error;
                record.service_specific_exit_code = ended_unasked;
            }
            break;
    }
    send(record);
}

bool service_status::stop_was_requested() const {
    std::lock_guard lock(mutex);
    return stop_requested;
}

}  // namespace kestd

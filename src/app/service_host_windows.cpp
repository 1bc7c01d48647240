// The service host under the Windows service control manager.
#include <windows.h>

#include "app/service_host.hpp"
#include "app/service_status.hpp"
#include "common/logger.hpp"

namespace kestd {

namespace {

// The manager calls plain functions, so the host's state is the process's.
char service_name[] = "Kestd";
std::function<void()> start_callback;
std::function<void()> stop_callback;
SERVICE_STATUS_HANDLE status_handle = nullptr;
service_status status;

logger& service_log() {
    static logger log(boost::log::keywords::channel = "service");
    return log;
}

void report(service_status::step step) {
    status.report(step, [](const service_status_record& record) {
        SERVICE_STATUS report{};
        report.dwServiceType = record.service_type;
        report.dwCurrentState = record.current_state;
        report.dwControlsAccepted = record.controls_accepted;
        report.dwWin32ExitCode = record.win32_exit_code;
        report.dwServiceSpecificExitCode = record.service_specific_exit_code;
        report.dwCheckPoint = record.check_point;
        report.dwWaitHint = record.wait_hint;
        ::SetServiceStatus(status_handle, &report);
    });
}

void WINAPI control_handler(DWORD control) {
    if (control != SERVICE_CONTROL_STOP) return;
    report(service_status::step::stop_requested);
    stop_callback();
}

void WINAPI service_main(DWORD, LPSTR*) {
    status_handle = ::RegisterServiceCtrlHandlerA(service_name, control_handler);
    if (status_handle == nullptr) {
        KESTD_LOG(service_log(), error) << "RegisterServiceCtrlHandler error: " << ::GetLastError();
        return;
    }
    report(service_status::step::registered);
    report(service_status::step::running);
    start_callback();
    report(service_status::step::stopped);
}

}  // namespace

int run_service(std::function<void()> start, std::function<void()> stop) {
    start_callback = std::move(start);
    stop_callback = std::move(stop);
    SERVICE_TABLE_ENTRYA table[] = {{service_name, service_main}, {nullptr, nullptr}};
    if (!::StartServiceCtrlDispatcherA(table)) {
        KESTD_LOG(service_log(), error) << "StartServiceCtrlDispatcher error: " << ::GetLastError();
        return -1;
    }
    return status.stop_was_requested() ? 0 : -1;
}

// The manager was told "running" before the server started; nothing more to say.
void report_serving(const std::string&) {}

std::chrono::microseconds watchdog_interval() { return std::chrono::microseconds::zero(); }

void report_alive() {}

}  // namespace kestd

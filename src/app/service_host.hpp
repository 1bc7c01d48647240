#pragma once

#include <chrono>
#include <functional>
#include <string>

namespace kestd {

// Runs the server under the platform's service manager (the Windows service control manager,
// or systemd on Linux). `start` serves until the server's event loop has run out of work;
// `stop`, called on another thread when the manager asks the service to stop, only begins the
// shutdown. Returns the process exit code: 0 after a requested stop, -1 when the service
// could not run or the server ended without being asked to.
int run_service(std::function<void()> start, std::function<void()> stop);

// For the start callback, once requests are answered: tells the manager the service is up.
void report_serving(const std::string& status);

// How often the manager wants to hear that the server's loop is alive; zero when it does not
// watch. A sign of life is report_alive(), sent from the loop that is watched.
std::chrono::microseconds watchdog_interval();
void report_alive();

}  // namespace kestd

#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace kestd::test {

// A program run in the background with its standard output and error collected, so tests
// can wait for what it prints and for its exit.
class child_process {
public:
    explicit child_process(std::vector<std::string> argv);
    ~child_process();
    child_process(const child_process&) = delete;
    child_process& operator=(const child_process&) = delete;

    // Waits until standard error contains `text`; false on timeout or when the child ended
    // without printing it.
    bool wait_for_stderr(std::string_view text,
                         std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // The same for standard output.
    bool wait_for_stdout(std::string_view text,
                         std::chrono::milliseconds timeout = std::chrono::seconds(10));

    std::string stdout_text() const;
    std::string stderr_text() const;

    void signal(int signal_number);

    // Writes to the child's standard input (which stays open until the child ends).
    void write_stdin(std::string_view text);
    // Ends the child's standard input.
    void close_stdin();

    // The exit code (a signal's death as 128 + number), or nothing on timeout.
    std::optional<int> wait(std::chrono::milliseconds timeout = std::chrono::seconds(10));

    pid_t pid() const { return pid_; }

private:
    void read_output(int out_fd, int err_fd);
    bool wait_for(const std::string& stream, std::string_view text,
                  std::chrono::milliseconds timeout);

    pid_t pid_ = -1;
    int stdin_fd_ = -1;
    std::optional<int> exit_code_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::string out_;
    std::string err_;
    bool streams_closed_ = false;
    std::thread reader_;
};

}  // namespace kestd::test

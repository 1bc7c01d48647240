#include "support/child_process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <system_error>

extern char** environ;

namespace kestd::test {

namespace {

void check(int result, const char* what) {
    if (result != 0) throw std::system_error(result, std::generic_category(), what);
}

}  // namespace

child_process::child_process(std::vector<std::string> argv) {
    // A child that ended must not take the test with it when its input is written.
    ::signal(SIGPIPE, SIG_IGN);
    int in_pipe[2];
    int out_pipe[2];
    int err_pipe[2];
    if (::pipe2(in_pipe, O_CLOEXEC) != 0 || ::pipe2(out_pipe, O_CLOEXEC) != 0 ||
        ::pipe2(err_pipe, O_CLOEXEC) != 0) {
        throw std::system_error(errno, std::generic_category(), "pipe");
    }
    posix_spawn_file_actions_t actions;
    check(posix_spawn_file_actions_init(&actions), "spawn actions");
    posix_spawn_file_actions_adddup2(&actions, in_pipe[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err_pipe[1], 2);

    std::vector<char*> args;
    for (auto& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    const int rc = posix_spawnp(&pid_, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(in_pipe[0]);
    stdin_fd_ = in_pipe[1];
    ::close(out_pipe[1]);
    ::close(err_pipe[1]);
    if (rc != 0) {
        ::close(out_pipe[0]);
        ::close(err_pipe[0]);
        throw std::system_error(rc, std::generic_category(), "spawn " + argv[0]);
    }
    reader_ = std::thread([this, out = out_pipe[0], err = err_pipe[0]] { read_output(out, err); });
}

child_process::~child_process() {
    if (!wait(std::chrono::milliseconds(0))) {
        ::kill(pid_, SIGKILL);
        wait(std::chrono::seconds(10));
    }
    if (reader_.joinable()) reader_.join();
    if (stdin_fd_ >= 0) ::close(stdin_fd_);
}

void child_process::write_stdin(std::string_view text) {
    while (!text.empty()) {
        const ssize_t n = ::write(stdin_fd_, text.data(), text.size());
        if (n <= 0) return;
        text.remove_prefix(static_cast<std::size_t>(n));
    }
}

void child_process::close_stdin() {
    if (stdin_fd_ >= 0) ::close(stdin_fd_);
    stdin_fd_ = -1;
}

void child_process::read_output(int out_fd, int err_fd) {
    pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
    int open_count = 2;
    char buffer[4096];
    while (open_count > 0) {
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (auto& p : fds) {
            if (p.fd < 0 || p.revents == 0) continue;
            const ssize_t n = ::read(p.fd, buffer, sizeof buffer);
            if (n <= 0) {
                ::close(p.fd);
                p.fd = -1;
                --open_count;
                continue;
            }
            std::lock_guard lock(mutex_);
            (p.fd == out_fd ? out_ : err_).append(buffer, static_cast<std::size_t>(n));
            changed_.notify_all();
        }
    }
    for (auto& p : fds) {
        if (p.fd >= 0) ::close(p.fd);
    }
    std::lock_guard lock(mutex_);
    streams_closed_ = true;
    changed_.notify_all();
}

bool child_process::wait_for_stderr(std::string_view text, std::chrono::milliseconds timeout) {
    return wait_for(err_, text, timeout);
}

bool child_process::wait_for_stdout(std::string_view text, std::chrono::milliseconds timeout) {
    return wait_for(out_, text, timeout);
}

bool child_process::wait_for(const std::string& stream, std::string_view text,
                             std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] {
        return stream.find(text) != std::string::npos || streams_closed_;
    }) && stream.find(text) != std::string::npos;
}

std::string child_process::stdout_text() const {
    std::lock_guard lock(mutex_);
    return out_;
}

std::string child_process::stderr_text() const {
    std::lock_guard lock(mutex_);
    return err_;
}

void child_process::signal(int signal_number) {
    if (!exit_code_) ::kill(pid_, signal_number);
}

std::optional<int> child_process::wait(std::chrono::milliseconds timeout) {
    if (exit_code_) return exit_code_;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int status = 0;
        const pid_t r = ::waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            exit_code_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            // The output is complete once the child is gone and the pipes are drained.
            if (reader_.joinable()) reader_.join();
            return exit_code_;
        }
        if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

}  // namespace kestd::test

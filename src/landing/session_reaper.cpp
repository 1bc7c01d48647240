#include "landing/session_reaper.hpp"

namespace kestd {

session_reaper::~session_reaper() {
    {
        std::lock_guard lock(mutex);
        stopping = true;
    }
    wake.notify_one();
    if (worker.joinable()) worker.join();
    sessions.clear();  // left over only if the thread never started
}

void session_reaper::retire(std::unique_ptr<device> session) {
    std::unique_lock lock(mutex);
    if (!worker.joinable()) {
        try {
            worker = std::thread([this] { run(); });
        } catch (const std::system_error&) {
            // No thread to spare: end it here, as the landing would have done itself.
            lock.unlock();
            session.reset();
            return;
        }
    }
    sessions.push_back(std::move(session));
    lock.unlock();
    wake.notify_one();
}

void session_reaper::run() {
    std::unique_lock lock(mutex);
    for (;;) {
        wake.wait(lock, [this] { return stopping || !sessions.empty(); });
        if (sessions.empty()) return;
        auto session = std::move(sessions.front());
        sessions.pop_front();
        lock.unlock();
        session.reset();
        lock.lock();
    }
}

}  // namespace kestd

#include "support/log_capture.hpp"

#include <boost/log/core.hpp>
#include <boost/log/expressions.hpp>
#include <boost/log/sinks/basic_sink_backend.hpp>
#include <boost/log/sinks/sync_frontend.hpp>
#include <boost/log/trivial.hpp>

namespace kestd::test {

namespace {

namespace sinks = boost::log::sinks;
namespace expr = boost::log::expressions;

class memory_backend
    : public sinks::basic_formatted_sink_backend<char, sinks::synchronized_feeding> {
public:
    explicit memory_backend(std::shared_ptr<log_capture::state> s) : state_(std::move(s)) {}
    void consume(const boost::log::record_view&, const string_type& line) {
        std::lock_guard lock(state_->mutex);
        state_->lines.push_back(line);
        state_->changed.notify_all();
    }

private:
    std::shared_ptr<log_capture::state> state_;
};

using memory_sink = sinks::synchronous_sink<memory_backend>;

}  // namespace

log_capture::log_capture(boost::log::trivial::severity_level least) : state_(std::make_shared<state>()) {
    auto sink = boost::make_shared<memory_sink>(boost::make_shared<memory_backend>(state_));
    sink->set_formatter(expr::stream
                        << "[" << expr::attr<boost::log::trivial::severity_level>("Severity")
                        << "] [" << expr::attr<std::string>("Channel") << "] "
                        << expr::smessage);
    sink->set_filter(expr::attr<boost::log::trivial::severity_level>("Severity") >= least);
    boost::log::core::get()->add_sink(sink);
    sink_ = sink;
}

log_capture::~log_capture() {
    boost::log::core::get()->remove_sink(boost::static_pointer_cast<memory_sink>(sink_));
}

bool log_capture::wait_for(std::string_view text, std::size_t wanted,
                           std::chrono::milliseconds timeout) {
    std::unique_lock lock(state_->mutex);
    return state_->changed.wait_for(lock, timeout, [&] {
        std::size_t n = 0;
        for (const auto& l : state_->lines) n += l.find(text) != std::string::npos;
        return n >= wanted;
    });
}

std::size_t log_capture::count(std::string_view text) const {
    std::lock_guard lock(state_->mutex);
    std::size_t n = 0;
    for (const auto& l : state_->lines) n += l.find(text) != std::string::npos;
    return n;
}

std::vector<std::string> log_capture::lines() const {
    std::lock_guard lock(state_->mutex);
    return state_->lines;
}

}  // namespace kestd::test

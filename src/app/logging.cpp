#include "app/logging.hpp"

#include <atomic>
#include <boost/core/null_deleter.hpp>
#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/log/core.hpp>
#include <boost/log/expressions.hpp>
#include <boost/log/sinks/basic_sink_backend.hpp>
#include <boost/log/sinks/sync_frontend.hpp>
#include <boost/log/sinks/text_ostream_backend.hpp>
#include <boost/log/support/date_time.hpp>
#include <boost/log/utility/exception_handler.hpp>
#include <boost/log/utility/setup/common_attributes.hpp>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>

#include "app/config.hpp"

namespace kestd {
namespace {

namespace logging = boost::log;
namespace sinks = boost::log::sinks;
namespace expr = boost::log::expressions;

// A log file that cannot be opened or written must never stop the server: the file sink
// reports the problem once on standard error and then stays silent, while the console
// sink goes on. The file is opened (and truncated) at set-up, so every start begins a new log.
class file_backend
    : public sinks::basic_formatted_sink_backend<char, sinks::synchronized_feeding> {
public:
    explicit file_backend(std::string path) : path_(std::move(path)) {
        out_.open(path_, std::ios::out | std::ios::trunc | std::ios::binary);
        if (!out_) give_up("cannot be opened");
    }

    void consume(const logging::record_view&, const string_type& line) {
        if (failed_) return;
        out_ << line;
        if (line.empty() || line.back() != '\n') out_ << '\n';
        out_.flush();
        if (!out_) give_up("cannot be written");
    }

private:
    void give_up(const char* what) {
        const int err = errno;
        failed_ = true;
        std::cerr << "kestd: log file '" << path_ << "' " << what;
        if (err != 0) std::cerr << " (" << std::strerror(err) << ")";
        std::cerr << "; logging to standard error only" << std::endl;
    }

    std::string path_;
    std::ofstream out_;
    bool failed_ = false;
};

void report_logging_failure_once() {
    static std::atomic<bool> reported{false};
    if (!reported.exchange(true)) {
        std::cerr << "kestd: a log record could not be written; logging goes on" << std::endl;
    }
}

// A record that fails in a sink is dropped; the server goes on.
struct logging_failure_handler {
    using result_type = void;
    void operator()() const { report_logging_failure_once(); }
    void operator()(const std::exception&) const { report_logging_failure_once(); }
};

}  // namespace

void init_logging(severity level) {
    auto core = logging::core::get();

    const auto format = expr::stream
                        << "[" << expr::format_date_time<boost::posix_time::ptime>(
                                      "TimeStamp", "%Y-%m-%d %H:%M:%S.%f")
                        << "] [" << expr::attr<severity>("Severity") << "] ["
                        << expr::attr<std::string>("Channel") << "] " << expr::smessage;

    auto console_backend = boost::make_shared<sinks::text_ostream_backend>();
    console_backend->add_stream(boost::shared_ptr<std::ostream>(&std::clog, boost::null_deleter()));
    console_backend->auto_flush(true);
    console_backend->set_auto_newline_mode(sinks::auto_newline_mode::insert_if_missing);
    auto console = boost::make_shared<sinks::synchronous_sink<sinks::text_ostream_backend>>(
        console_backend);
    console->set_formatter(format);
    core->add_sink(console);

    if (const std::string& path = get_config().log_file; !path.empty()) {
        auto file = boost::make_shared<sinks::synchronous_sink<file_backend>>(
            boost::make_shared<file_backend>(path));
        file->set_formatter(format);
        core->add_sink(file);
    }

    logging::add_common_attributes();
    core->set_filter(expr::attr<severity>("Severity") >= level);
    core->set_exception_handler(
        logging::make_exception_handler<std::exception>(logging_failure_handler{}, std::nothrow));
}

}  // namespace kestd

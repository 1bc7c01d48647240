#include "app/options.hpp"

#include <boost/log/trivial.hpp>
#include <boost/program_options.hpp>
#include <ostream>
#include <string>

#include "app/config.hpp"
#include "common/version.hpp"

namespace kestd {

namespace po = boost::program_options;

startup_options read_options(int argc, const char* const argv[], std::ostream& out) {
    config& cfg = get_config();
    startup_options result;
    bool no_cab = false;
    bool no_dxx = false;
    bool no_serial_port = false;
    std::string config_file;

    po::options_description desc("Usage");
    // clang-format off
    desc.add_options()
        ("help", "produce help message")
        ("tcp", po::bool_switch(&cfg.tcp), "enable TCP driver")
        ("no-cab", po::bool_switch(&no_cab), "disable CAB driver")
        ("no-dxx", po::bool_switch(&no_dxx), "disable DXX (FTDI) driver")
        ("no-serial-port", po::bool_switch(&no_serial_port), "disable Serial Port driver")
        ("log-level", po::value<severity>(&result.log_level),
            "log level, options: trace, debug, info, warning, error, fatal")
        ("log-file", po::value<std::string>(&cfg.log_file), "save logs to file")
        ("service", po::bool_switch(&cfg.service), "run as a service")
        ("config-file", po::value<std::string>(&config_file), "configuration file")
        ("version", "print version message");
    // clang-format on

    po::variables_map vm;
    po::store(po::parse_command_line(argc, argv, desc), vm);
    po::notify(vm);

    if (vm.count("version")) {
        out << server_name << ' ' << server_version << '\n';
        result.exit_code = 0;
        return result;
    }
    if (vm.count("help")) {
        out << desc << '\n';
        result.exit_code = 0;
        return result;
    }
    if (!config_file.empty()) {
        // Values already stored from the command line are not overwritten, so it wins.
        po::store(po::parse_config_file<char>(config_file.c_str(), desc, false), vm);
        po::notify(vm);
    }

    cfg.cab = !no_cab;
    cfg.dxx = !no_dxx;
    cfg.serial_port = !no_serial_port;
    return result;
}

void log_settings_report(logger& log, severity level) {
    const config& cfg = get_config();
    // Written as digits, as a plain output stream writes a bool.
    KESTD_LOG(log, info) << server_name << ' ' << server_version;
    KESTD_LOG(log, info) << "API version: " << api_version;
    KESTD_LOG(log, info) << "TCP driver: " << int{cfg.tcp};
    KESTD_LOG(log, info) << "CAB driver: " << int{cfg.cab};
    KESTD_LOG(log, info) << "DXX driver: " << int{cfg.dxx};
    KESTD_LOG(log, info) << "Serial Port driver: " << int{cfg.serial_port};
    if (const char* name = boost::log::trivial::to_string(level)) {
        KESTD_LOG(log, info) << "log level: " << name;
    } else {
        KESTD_LOG(log, info) << "log level: " << static_cast<int>(level);
    }
}

}  // namespace kestd

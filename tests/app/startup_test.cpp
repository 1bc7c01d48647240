// Black-box tests of kestd's options, configuration file, settings report and log.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <fstream>
#include <regex>

#include "support/kestd_server.hpp"
#include "support/private_network.hpp"

namespace kestd::test {
namespace {

namespace fs = std::filesystem;

struct finished {
    int code;
    std::string out;
    std::string err;
};

finished run_kestd(std::vector<std::string> options) {
    options.insert(options.begin(), kestd_binary());
    child_process p(options);
    const auto code = p.wait();
    return {code.value_or(-1000), p.stdout_text(), p.stderr_text()};
}

// A scratch directory removed after the test.
class scratch_dir {
public:
    scratch_dir() : path_(fs::temp_directory_path() / ("kestd-test-" + std::to_string(::getpid()))) {
        fs::create_directories(path_);
    }
    ~scratch_dir() { fs::remove_all(path_); }
    fs::path file(const std::string& name, const std::string& content = {}) const {
        std::ofstream(path_ / name) << content;
        return path_ / name;
    }
    fs::path path(const std::string& name) const { return path_ / name; }

private:
    fs::path path_;
};

std::string read_file(const fs::path& p) {
    std::ifstream in(p);
    return {std::istreambuf_iterator<char>(in), {}};
}

// Stops a server with SIGINT and returns its whole log.
std::string stop(kestd_server& server) {
    server.process().signal(SIGINT);
    EXPECT_EQ(server.process().wait(), 0);
    return server.log();
}

TEST(Options, VersionPrintsNameAndVersionOnly) {
    for (const auto& options : {std::vector<std::string>{"--version"},
                                std::vector<std::string>{"--help", "--version"},
                                std::vector<std::string>{"--version", "--log-level", "trace"}}) {
        const auto r = run_kestd(options);
        EXPECT_EQ(r.code, 0);
        EXPECT_EQ(r.out, "Kestd 26.3.0\n");
        EXPECT_EQ(r.err, "");
    }
}

TEST(Options, HelpListsEveryOptionInOrder) {
    auto r = run_kestd({"--help"});
    EXPECT_EQ(r.code, 0);
    // Long help texts wrap; compare with white space folded.
    r.out = std::regex_replace(r.out, std::regex("\\s+"), " ");
    EXPECT_EQ(r.err, "");
    ASSERT_EQ(r.out.rfind("Usage: ", 0), 0u) << r.out;
    const std::vector<std::pair<std::string, std::string>> table = {
        {"--help ", "produce help message"},
        {"--tcp ", "enable TCP driver"},
        {"--no-cab ", "disable CAB driver"},
        {"--no-dxx ", "disable DXX (FTDI) driver"},
        {"--no-serial-port ", "disable Serial Port driver"},
        {"--log-level arg ", "log level, options: trace, debug, info, warning, error, fatal"},
        {"--log-file arg ", "save logs to file"},
        {"--service ", "run as a service"},
        {"--config-file arg ", "configuration file"},
        {"--version ", "print version message"},
    };
    std::size_t at = 0;
    for (const auto& [option, help] : table) {
        const auto pos = r.out.find(option, at);
        ASSERT_NE(pos, std::string::npos) << option << " missing or out of order in\n" << r.out;
        EXPECT_NE(r.out.find(help, pos), std::string::npos) << help;
        at = pos;
    }
    EXPECT_EQ(r.out.find(" -h"), std::string::npos) << "no short names";
    EXPECT_EQ(r.out.find("(="), std::string::npos) << "no defaults shown";
}

TEST(Options, ParseErrorsPrintTheLibraryMessageAndFail) {
    scratch_dir dir;
    const struct {
        std::vector<std::string> options;
        std::string message;
    } cases[] = {
        {{"--log-level", "loud"}, "the argument ('loud') for option '--log-level' is invalid"},
        {{"--log-level", "Info"}, "the argument ('Info') for option '--log-level' is invalid"},
        {{"--bogus"}, "unrecognised option '--bogus'"},
        {{"--log-file"}, "the required argument for option '--log-file' is missing"},
        {{"-t"}, "unrecognised option '-t'"},
        {{"--config-file", dir.path("missing.cfg").string()}, "can not read options configuration file"},
        {{"--config-file", dir.file("undeclared.cfg", "tcp=true\nbogus=1\n").string()},
         "unrecognised option 'bogus'"},
        {{"--config-file", dir.file("badlevel.cfg", "log-level=loud\n").string()},
         "the argument ('loud') for option 'log-level' is invalid"},
    };
    for (const auto& c : cases) {
        const auto r = run_kestd(c.options);
        EXPECT_EQ(r.code, 255) << c.message;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("[main]"), std::string::npos) << "no logging before options are read";
        EXPECT_EQ(r.out, "");
    }
}

TEST(Startup, DefaultSettingsReportInFormat) {
    KESTD_REQUIRE_PRIVATE_NETWORK();
    kestd_server server;
    ASSERT_TRUE(server.ready());
    const std::string log = stop(server);

    const std::regex line(
        R"(^\[\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{6}\] \[info\] \[main\] (.*)$)");
    const std::vector<std::string> report = {
        "Kestd 26.3.0",     "API version: 2",         "TCP driver: 0",   "CAB driver: 1",
        "DXX driver: 1",    "Serial Port driver: 1",  "log level: debug"};
    std::istringstream in(log);
    std::vector<std::string> messages;
    for (std::string l; std::getline(in, l) && messages.size() < report.size();) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(l, m, line)) << l;
        messages.push_back(m[1]);
    }
    EXPECT_EQ(messages, report);
}

TEST(Startup, ConfigurationFileAndCommandLineCombine) {
    KESTD_REQUIRE_PRIVATE_NETWORK();
    scratch_dir dir;
    // The command line wins over the file; help/version/config-file in the file do nothing.
    const auto cfg = dir.file("kestd.cfg",
                              "tcp=true\nno-cab=true\nlog-level=info\nversion=\n"
                              "config-file=/nonexistent\n");
    kestd_server server({"--config-file", cfg.string(), "--log-level", "trace", "--no-dxx"});
    ASSERT_TRUE(server.ready());
    const std::string log = stop(server);
    EXPECT_EQ(lines_with(log, "TCP driver: 1").size(), 1u) << log;
    EXPECT_EQ(lines_with(log, "CAB driver: 0").size(), 1u);
    EXPECT_EQ(lines_with(log, "DXX driver: 0").size(), 1u);
    EXPECT_EQ(lines_with(log, "Serial Port driver: 1").size(), 1u);
    EXPECT_EQ(lines_with(log, "log level: trace").size(), 1u);
}

TEST(Startup, ServiceSwitchIsReportedAndAccepted) {
    KESTD_REQUIRE_PRIVATE_NETWORK();
    kestd_server server({"--service", "--no-serial-port", "--log-level", "info"});
    ASSERT_TRUE(server.ready());
    const std::string log = stop(server);
    EXPECT_EQ(lines_with(log, "Serial Port driver: 0").size(), 1u) << log;
    EXPECT_EQ(lines_with(log, "log level: info").size(), 1u);
    EXPECT_TRUE(lines_with(log, "[debug]").empty()) << "debug records filtered at info";
}

TEST(Logging, LevelFiltersEverySink) {
    KESTD_REQUIRE_PRIVATE_NETWORK();
    scratch_dir dir;
    const auto file = dir.path("kestd.log");
    kestd_server server({"--log-level", "error", "--log-file", file.string()});
    ASSERT_TRUE(server.ready());
    ASSERT_EQ(ask_landing("3 version"), "0");  // a warning: filtered
    const std::string log = stop(server);
    // Only the shutdown's receive error is error or worse.
    EXPECT_EQ(lines_with(log, "[landing] receive error: ").size(), 1u) << log;
    EXPECT_TRUE(lines_with(log, "[info]").empty()) << log;
    EXPECT_TRUE(lines_with(log, "[warning]").empty()) << log;
    EXPECT_EQ(read_file(file), log);
}

TEST(Logging, FileMirrorsConsoleAndIsTruncatedOnEachStart) {
    KESTD_REQUIRE_PRIVATE_NETWORK();
    scratch_dir dir;
    const auto file = dir.path("kestd.log");
    std::string first_log;
    {
        kestd_server server({"--log-file", file.string(), "--no-cab"});
        ASSERT_TRUE(server.ready());
        first_log = stop(server);
    }
    EXPECT_EQ(read_file(file), first_log);
    {
        // Level warning writes nothing at start, and the old log must still be gone.
        kestd_server server({"--log-file", file.string(), "--log-level", "warning"});
        ASSERT_TRUE(server.ready());
        ASSERT_EQ(ask_landing("2 nonsense", std::chrono::milliseconds(200)), std::nullopt);
        ASSERT_TRUE(server.process().wait_for_stderr("unknown command: nonsense"));
        const std::string log = stop(server);
        EXPECT_EQ(read_file(file), log);
        EXPECT_EQ(read_file(file).find("CAB driver: 0"), std::string::npos);
    }
}

TEST(Logging, UnusableLogFileNeverStopsTheServer) {
    KESTD_REQUIRE_PRIVATE_NETWORK();
    scratch_dir dir;
    // One path cannot be opened, the other opens but every write fails.
    for (const auto& [path, problem] :
         {std::pair{dir.path("no/such/dir/kestd.log").string(), "cannot be opened"},
          std::pair{std::string("/dev/full"), "cannot be written"}}) {
        kestd_server server({"--log-file", path});
        ASSERT_TRUE(server.ready()) << path;
        EXPECT_EQ(ask_landing("2 version"), "2");
        const std::string log = stop(server);
        EXPECT_EQ(lines_with(log, "kestd: log file ").size(), 1u) << "told once: " << log;
        EXPECT_EQ(lines_with(log, problem).size(), 1u) << log;
        EXPECT_EQ(lines_with(log, "SIGINT, shutting down").size(), 1u) << "console goes on";
    }
}

}  // namespace
}  // namespace kestd::test

// kest: a command-line client for a running kestd.
#include <boost/program_options.hpp>
#include <chrono>
#include <iostream>
#include <string>
#include <vector>

#include "client/request_client.hpp"

namespace po = boost::program_options;

namespace {

constexpr int exit_no_server = 1;
constexpr int exit_usage = 2;

void usage(std::ostream& out, const po::options_description& desc) {
    out << "Usage: kest [options] COMMAND\n\n"
           "Commands:\n"
           "  version    print the API version the server speaks\n"
           "  find       list the devices the server can reach now\n\n"
        << desc << '\n';
}

}  // namespace

int main(int argc, char* argv[]) {
    po::options_description desc("Options");
    unsigned timeout_ms = 2000;
    // clang-format off
    desc.add_options()
        ("help", "show this help")
        ("timeout", po::value<unsigned>(&timeout_ms)->default_value(timeout_ms),
            "milliseconds to wait for the server's reply");
    // clang-format on
    po::options_description hidden;
    std::vector<std::string> words;
    hidden.add_options()("words", po::value<std::vector<std::string>>(&words));
    po::options_description all;
    all.add(desc).add(hidden);
    po::positional_options_description positional;
    positional.add("words", -1);

    try {
        po::variables_map vm;
        po::store(po::command_line_parser(argc, argv).options(all).positional(positional).run(),
                  vm);
        po::notify(vm);
        if (vm.count("help")) {
            usage(std::cout, desc);
            return 0;
        }
    } catch (const std::exception& e) {
        std::cerr << "kest: " << e.what() << '\n';
        usage(std::cerr, desc);
        return exit_usage;
    }
    if (words.size() != 1 || (words[0] != "version" && words[0] != "find")) {
        usage(std::cerr, desc);
        return exit_usage;
    }

    try {
        kest::request_client client{std::chrono::milliseconds(timeout_ms)};
        const auto reply = client.request(kest::landing_endpoint(), "2 " + words[0]);
        if (!reply) {
            std::cerr << "kest: no answer from kestd at 127.0.0.1:26741 within " << timeout_ms
                      << " ms; is the server running?\n";
            return exit_no_server;
        }
        if (words[0] == "version") {
            std::cout << *reply << '\n';
        } else if (!reply->empty()) {
            std::cout << *reply << '\n';
        }
    } catch (const std::exception& e) {
        std::cerr << "kest: " << e.what() << '\n';
        return exit_no_server;
    }
    return 0;
}

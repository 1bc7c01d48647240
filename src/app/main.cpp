#include <exception>
#include <iostream>

#include "app/logging.hpp"
#include "app/options.hpp"
#include "app/server.hpp"

int main(int argc, char* argv[]) {
    kestd::startup_options options;
    try {
        options = kestd::read_options(argc, argv, std::cout);
    } catch (const std::exception& e) {
        std::cerr << e.what() << std::endl;
        return -1;
    }
    if (options.exit_code) return *options.exit_code;

    kestd::init_logging(options.log_level);
    return kestd::run_server(options.log_level);
}

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "serial_testbed.hpp"

extern char** environ;

// The simulated ports are visible only through umockdev's preload library, which must be
// loaded when the process starts: start again with it when it is missing.
int main(int argc, char** argv) {
    const char* preload = std::getenv("LD_PRELOAD");
    if (!preload || !std::strstr(preload, "libumockdev-preload")) {
        std::vector<std::string> env = kest::sim::child_environment();
        std::vector<char*> envp;
        for (auto& e : env) envp.push_back(e.data());
        envp.push_back(nullptr);
        ::execve("/proc/self/exe", argv, envp.data());
        std::cerr << "cannot start again under umockdev's preload: " << std::strerror(errno)
                  << "\n";
        return 1;
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

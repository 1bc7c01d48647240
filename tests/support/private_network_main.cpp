#include <gtest/gtest.h>

#include <iostream>

#include "support/private_network.hpp"

// Every test process starts in its own network namespace (see enter_private_network).
int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (const std::string why = kestd::test::enter_private_network(); !why.empty()) {
        std::cerr << "no private network namespace (" << why << "); such tests are skipped\n";
    }
    return RUN_ALL_TESTS();
}

#pragma once

#include <string>

namespace kestd::test {

// Moves this process (and every child it starts afterwards) into a network namespace of
// its own with only loopback up, so the fixed landing port never meets a server the user
// runs or another test. A mount namespace comes with it: /sys shows this network, and
// /run/netns is private. Call before any thread starts. Returns an empty text on success,
// else why it could not be done.
std::string enter_private_network();

// Whether enter_private_network succeeded.
bool in_private_network();

}  // namespace kestd::test

// For tests that bind the landing port or otherwise need their own network.
#define KESTD_REQUIRE_PRIVATE_NETWORK()                                                      \
    do {                                                                                     \
        if (!::kestd::test::in_private_network())                                            \
            GTEST_SKIP() << "needs root and network namespaces (unshare CLONE_NEWNET)";      \
    } while (0)

// Every test process runs in a private network and mount namespace of its own (entered by the
// test main before any test starts), so that the program's fixed addresses (/var/run/usbmuxd,
// 127.0.0.1:27015, UDP 5000 and 4242) belong to one test and tests can run side by side.
#pragma once

#include <gtest/gtest.h>

#include <string>

namespace vantrel::test {

// Empty when the namespace is in place; otherwise why it could not be made.
const std::string& namespace_unavailable_reason();

}  // namespace vantrel::test

// Skips the current test, with the reason, when it cannot have its own namespace.
#define REQUIRE_PRIVATE_NAMESPACE()                                                              \
    do {                                                                                         \
        if (!::vantrel::test::namespace_unavailable_reason().empty())                            \
            GTEST_SKIP() << "needs a private network+mount namespace (run as root): "            \
                         << ::vantrel::test::namespace_unavailable_reason();                     \
    } while (0)

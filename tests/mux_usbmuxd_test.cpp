// The client against the real usbmuxd from Debian, with no device attached, in the test's namespace.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "mux/client.h"
#include "mux/connect.h"
#include "mux/devices.h"
#include "support/namespace.h"
#include "support/process.h"

using namespace vantrel::mux;
using namespace vantrel::test;

namespace {

constexpr const char* USBMUXD = "/usr/sbin/usbmuxd";

// The socket file appears at bind(), a moment before listen(): wait until a connect succeeds.
bool daemon_accepts(std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        auto client = MuxClient::connect();
        if (client && client->kind() == ConnectionKind::Unix) return true;
        std::this_thread::sleep_for(20ms);
    }
    return false;
}

class RealUsbmuxd : public ::testing::Test {
protected:
    void SetUp() override {
        if (::access(USBMUXD, X_OK) != 0)
            GTEST_SKIP() << USBMUXD << " is not installed (Debian package usbmuxd)";
        REQUIRE_PRIVATE_NAMESPACE();
        daemon_.emplace(Child::spawn({USBMUXD, "-f", "-U", "root", "-n"}));
        ASSERT_TRUE(wait_for_path(std::string(USBMUXD_SOCKET_PATH), 10s)) << daemon_->err();
        ASSERT_TRUE(daemon_accepts(10s)) << daemon_->err();
    }
    void TearDown() override {
        if (!daemon_) return;
        daemon_->signal(SIGTERM);
        daemon_->wait_exit(10s);
    }

    std::optional<Child> daemon_;
};

}  // namespace

TEST_F(RealUsbmuxd, ListsNoDevicesWhenNoneIsAttached) {
    auto devices = list_devices();
    ASSERT_TRUE(devices) << devices.error().display();
    EXPECT_TRUE(device_infos(*devices).empty());
    // The daemon keeps serving: a second listing over a fresh connection gives the same.
    auto again = list_devices();
    ASSERT_TRUE(again) << again.error().display();
    EXPECT_TRUE(device_infos(*again).empty());
}

TEST_F(RealUsbmuxd, RefusesATunnelToAnUnknownDeviceWithCode2) {
    auto stream = connect_device(4242, 5000);
    ASSERT_FALSE(stream);
    EXPECT_EQ(stream.error().variant(), MuxError::Variant::Refused);
    EXPECT_EQ(stream.error().code(), 2);
    EXPECT_EQ(stream.error().display(), "Device refused connection (code 2)");
}

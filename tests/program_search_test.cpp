// The real vantrel-usb, run in this test's private namespace: start-up, search, errors and Ctrl+C.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "support/namespace.h"
#include "support/process.h"
#include "version.h"

using vantrel::test::Child;
using vantrel::test::spawn_bridge;
using namespace std::chrono_literals;

namespace {

const std::string E = "\x1b";
const std::string BANNER = E + "[1mVantrelUSB" + E + "[0m " + E + "[2mv" + std::string(vantrel::VERSION) + E +
                           "[0m\n" + E + "[2mUSB companion for Vantrel iOS" + E + "[0m\n\n";
const std::string GOODBYE = E + "[2mGoodbye." + E + "[0m\n";
const std::string CONNECTION_REFUSED_LINE =
    E + "[31mError:" + E + "[0m " + E + "[2mI/O error: Connection refused (os error 111)" + E + "[0m\n";

std::string searching(char frame) {
    return E + "[2K\r" + E + "[2m[" + E + "[33m" + frame + E + "[0m" + E + "[2m] Searching for iPhone..." +
           E + "[0m";
}

bool usbmuxd_installed() {
    return ::access("/usr/sbin/usbmuxd", X_OK) == 0;
}

}  // namespace

TEST(ProgramSearch, NoDaemonShowsErrorLineAndRetriesEveryTwoSeconds) {
    REQUIRE_PRIVATE_NAMESPACE();
    Child bridge = spawn_bridge();
    ASSERT_TRUE(bridge.wait_for(Child::Stream::Out, CONNECTION_REFUSED_LINE, 5s)) << bridge.out();
    EXPECT_EQ(bridge.out().substr(0, BANNER.size()), BANNER);
    // The second error line follows about 2 s later (generous bounds).
    auto t0 = std::chrono::steady_clock::now();
    ASSERT_TRUE(bridge.wait_for(Child::Stream::Out, CONNECTION_REFUSED_LINE, 10s,
                                bridge.out().find(CONNECTION_REFUSED_LINE) + 1));
    auto gap = std::chrono::steady_clock::now() - t0;
    EXPECT_GT(gap, 1500ms);
    EXPECT_LT(gap, 6s);
    // Each search pass starts the spinner again at its first frame, and only that one is drawn.
    EXPECT_GE(bridge.count(Child::Stream::Err, searching('|')), 2u);
    EXPECT_EQ(bridge.count(Child::Stream::Err, searching('/')), 0u);
    bridge.signal(SIGINT);
    ASSERT_EQ(bridge.wait_exit(5s), 0);
    EXPECT_TRUE(bridge.out().ends_with(GOODBYE)) << bridge.out();
}

TEST(ProgramSearch, RealUsbmuxdWithNoDeviceGivesOnlyTheSearchingLine) {
    REQUIRE_PRIVATE_NAMESPACE();
    if (!usbmuxd_installed()) GTEST_SKIP() << "usbmuxd is not installed (scripts/setup installs it)";
    Child daemon = Child::spawn({"/usr/sbin/usbmuxd", "-f", "-U", "root", "-n"});
    ASSERT_TRUE(vantrel::test::wait_for_path("/var/run/usbmuxd", 10s)) << daemon.err();
    Child bridge = spawn_bridge();
    // One pass a second: after about 3.5 s at least three frames have been drawn, in order.
    ASSERT_TRUE(bridge.wait_for(Child::Stream::Err, searching('-'), 8s)) << bridge.err();
    std::string err = bridge.err();
    auto first = err.find(searching('|'));
    auto second = err.find(searching('/'));
    auto third = err.find(searching('-'));
    EXPECT_LT(first, second);
    EXPECT_LT(second, third);
    EXPECT_EQ(err.find('\n'), std::string::npos) << "transient lines never contain a newline";
    EXPECT_EQ(bridge.out(), BANNER) << "nothing but the banner on stdout while searching";
    bridge.signal(SIGINT);
    ASSERT_EQ(bridge.wait_exit(5s), 0);
    EXPECT_EQ(bridge.out(), BANNER + GOODBYE);
    EXPECT_TRUE(bridge.err().ends_with(E + "[2K\r")) << "the line is cleared before the goodbye line";
}

TEST(ProgramSearch, CtrlCWhileSearchingEndsWithGoodbyeQuickly) {
    REQUIRE_PRIVATE_NAMESPACE();
    // A daemon that listens and answers every ListDevices with an empty list keeps the bridge
    // searching; a bare listener that never answers would block inside a request instead.
    if (!usbmuxd_installed()) GTEST_SKIP() << "usbmuxd is not installed (scripts/setup installs it)";
    Child daemon = Child::spawn({"/usr/sbin/usbmuxd", "-f", "-U", "root", "-n"});
    ASSERT_TRUE(vantrel::test::wait_for_path("/var/run/usbmuxd", 10s));
    Child bridge = spawn_bridge();
    ASSERT_TRUE(bridge.wait_for(Child::Stream::Err, searching('/'), 8s));
    auto t0 = std::chrono::steady_clock::now();
    bridge.signal(SIGINT);
    bridge.signal(SIGINT);  // a second Ctrl+C only repeats the clear-line
    ASSERT_EQ(bridge.wait_exit(5s), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 2s);
    EXPECT_TRUE(bridge.out().ends_with(GOODBYE));
    EXPECT_EQ(bridge.count(Child::Stream::Out, "Goodbye."), 1u);
}

TEST(ProgramSearch, TcpFallbackIsUsedWhenTheUnixSocketIsMissing) {
    REQUIRE_PRIVATE_NAMESPACE();
    // A listener on 127.0.0.1:27015 that reads one request and closes the connection: the bridge
    // reached it (no "Connection refused") and reports the answer that never came.
    int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(s, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(27015);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(::listen(s, 8), 0);
    Child bridge = spawn_bridge();
    int c = ::accept4(s, nullptr, nullptr, SOCK_CLOEXEC);
    ASSERT_GE(c, 0);
    ::close(s);  // later requests find nothing listening
    char header[16];
    ASSERT_EQ(::recv(c, header, sizeof header, MSG_WAITALL), 16);
    EXPECT_EQ(header[8], 8) << "message type 8 (property list)";
    std::uint32_t length = 0;
    std::memcpy(&length, header, 4);
    std::string payload(length - 16, '\0');
    ASSERT_EQ(::recv(c, payload.data(), payload.size(), MSG_WAITALL), static_cast<ssize_t>(payload.size()));
    EXPECT_NE(payload.find("<string>ListDevices</string>"), std::string::npos);
    ::close(c);
    std::string line =
        E + "[31mError:" + E + "[0m " + E + "[2mI/O error: failed to fill whole buffer" + E + "[0m\n";
    EXPECT_TRUE(bridge.wait_for(Child::Stream::Out, line, 5s)) << bridge.out();
    EXPECT_TRUE(bridge.wait_for(Child::Stream::Out, CONNECTION_REFUSED_LINE, 6s)) << bridge.out();
    bridge.signal(SIGINT);
    EXPECT_EQ(bridge.wait_exit(5s), 0);
}

TEST(ProgramSearch, StandardErrorHoldsOnlyClearedTransientLines) {
    REQUIRE_PRIVATE_NAMESPACE();
    Child bridge = spawn_bridge();
    ASSERT_TRUE(bridge.wait_for(Child::Stream::Out, CONNECTION_REFUSED_LINE, 5s));
    bridge.signal(SIGINT);
    ASSERT_EQ(bridge.wait_exit(5s), 0);
    const std::string& err = bridge.err();
    EXPECT_EQ(err.find('\n'), std::string::npos);
    // Every piece starts with the erase sequence and a carriage return.
    std::size_t pos = 0, pieces = 0;
    while ((pos = err.find(E + "[2K\r", pos)) != std::string::npos) {
        ++pieces;
        pos += 5;
    }
    EXPECT_GE(pieces, 2u);
    EXPECT_EQ(err.substr(0, 5), E + "[2K\r");
}

// The real vantrel-usb against a hostile daemon and app (vantrel-sim's faults), in this test's
// private namespace: nothing a peer sends may crash, hang or desynchronise it.
#include <gtest/gtest.h>
#include <signal.h>

#include <string>
#include <thread>

#include "support/namespace.h"
#include "support/process.h"
#include "support/sim.h"

using vantrel::test::Child;
using vantrel::test::Sim;
using vantrel::test::to_hex;
using vantrel::test::UdpReceiver;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

const std::string E = "\x1b";
const std::string ROUTE_VIDEO = E + "[36mVideo" + E + "[0m";

Child start_bridge() {
    return Child::spawn({vantrel::test::built_program("vantrel-usb")});
}

}  // namespace

// Device lists nested 100,000 (binary) and 60,000 (XML, the most that fits the reply limit) deep
// are refused at once with an error line of their own; the bridge retries and finds the device
// once the list is sane again.
TEST(ProgramHostile, DeeplyNestedDeviceListsAreRefusedAtOnce) {
    REQUIRE_PRIVATE_NAMESPACE();
    const std::string nested = "Protocol error: Property list nested too deeply";
    Sim sim({"--list-reply", "nested-binary"});
    sim.ok("plug NESTED");
    Child bridge = start_bridge();
    for (const char* mode : {"nested-binary", "nested-xml"}) {
        sim.ok(std::string("list-reply ") + mode);
        const std::size_t mark = bridge.out().size();
        ASSERT_TRUE(sim.wait_event("list-devices", 10s)) << mode;
        const auto asked = Clock::now();
        ASSERT_TRUE(bridge.wait_for(Child::Stream::Out, nested, 10s, mark)) << mode << bridge.out();
        EXPECT_LT(Clock::now() - asked, 1s) << mode;
        ASSERT_TRUE(sim.wait_event("list-devices", 10s)) << mode << ": no retry";
    }
    sim.ok("list-reply normal");
    ASSERT_TRUE(bridge.wait_for(Child::Stream::Out, "NESTED", 10s));
    EXPECT_TRUE(bridge.running());
    bridge.signal(SIGINT);
    EXPECT_EQ(bridge.wait_exit(10s), 0);
}

// A health-check reply whose payload arrives 3 s after its first part outlives the 2 s check: it is
// forwarded whole as one datagram, and the frames after it are read in step.
TEST(ProgramHostile, HealthReplySplitOverItsTimeoutStaysOnePacket) {
    REQUIRE_PRIVATE_NAMESPACE();
    Sim sim;
    UdpReceiver tracking(4242);
    sim.ok("plug SPLITTER");
    const std::string reply = "reply that looks like lengths: \x00\x00\x00\x02\x00\x00\x00\x05";
    sim.ok("health 1 4242 split 3000 " + to_hex(reply));
    Child bridge = start_bridge();
    ASSERT_TRUE(bridge.wait_for(Child::Stream::Out, ROUTE_VIDEO, 20s)) << bridge.out();
    EXPECT_EQ(tracking.receive(10s), reply);
    sim.ok("send 1 4242 " + to_hex("next"));
    EXPECT_EQ(tracking.receive(5s), "next");
    bridge.pump_for(200ms);
    EXPECT_EQ(bridge.count(Child::Stream::Out, "Disconnected."), 0u);
    bridge.signal(SIGINT);
    EXPECT_EQ(bridge.wait_exit(10s), 0);
}

// A serial number with ESC, BEL and a newline reaches the terminal as question marks.
TEST(ProgramHostile, SerialWithControlBytesPrintsAsQuestionMarks) {
    REQUIRE_PRIVATE_NAMESPACE();
    Sim sim;
    sim.ok("plug-hex " + to_hex("\x1b]0;PWN\x07\nX"));
    Child bridge = start_bridge();
    const std::string found = E + "[32mFound" + E + "[0m " + E + "[1m?]0;PWN??X" + E + "[0m\n";
    ASSERT_TRUE(bridge.wait_for(Child::Stream::Out, found, 10s)) << bridge.out();
    bridge.signal(SIGINT);
    EXPECT_EQ(bridge.wait_exit(10s), 0);
    EXPECT_EQ(bridge.out().find('\x07'), std::string::npos);
    EXPECT_EQ(bridge.out().find("\nX"), std::string::npos) << "a forged line: " << bridge.out();
}

// A setup attempt whose health checks go unanswered (2 s each), and a daemon request that is never
// answered (5 s): Ctrl+C ends the bridge at once in either, without an error line.
TEST(ProgramHostile, CtrlCEndsASetupAttemptOrADaemonRequestAtOnce) {
    REQUIRE_PRIVATE_NAMESPACE();
    for (const bool in_request : {false, true}) {
        Sim sim;
        sim.ok("plug SILENT");
        sim.ok(in_request ? "list-reply silent" : "health 1 5000 ignore");
        Child bridge = start_bridge();
        ASSERT_TRUE(sim.wait_event(in_request ? "list-devices" : "health 1 5000", 10s)) << in_request;
        std::this_thread::sleep_for(200ms);
        const auto stop = Clock::now();
        bridge.signal(SIGTERM);
        ASSERT_TRUE(bridge.wait_for(Child::Stream::Out, "Goodbye.", 10s)) << in_request;
        EXPECT_LT(Clock::now() - stop, 1s) << in_request;
        EXPECT_EQ(bridge.wait_exit(10s), 0);
        EXPECT_EQ(bridge.count(Child::Stream::Out, "Error:"), 0u) << bridge.out();
        EXPECT_EQ(bridge.count(Child::Stream::Out, "Video"), 0u) << "a session started after Ctrl+C";
    }
}

// Standard output a full pipe that nobody reads: the lines waiting for it get half a second at the
// end, and Ctrl+C still ends the bridge with status 0.
TEST(ProgramHostile, StalledStandardOutputDoesNotHoldUpTheExit) {
    REQUIRE_PRIVATE_NAMESPACE();
    Sim sim;
    sim.ok("plug STALLED");
    sim.ok("listen 1 5000 off");  // waiting for the app: found line, then the waiting state
    Child bridge = Child::spawn({vantrel::test::built_program("vantrel-usb")}, {}, Child::Stalled::Out);
    ASSERT_TRUE(sim.wait_event("refused 1 5000", 10s));
    const auto stop = Clock::now();
    bridge.signal(SIGINT);
    EXPECT_EQ(bridge.wait_exit(10s), 0);
    EXPECT_LT(Clock::now() - stop, 3s);
}

// Command lines and serials from outside cannot drive the terminal: control bytes in a bad argument
// and Unicode format characters (a right-to-left override, a zero-width space, a byte order mark,
// a line separator) in a serial show as "?"; a daemon address with port 0 is refused as usage.
TEST(ProgramHostile, ForeignTextIsShownAsQuestionMarksAndPortZeroIsRefused) {
    REQUIRE_PRIVATE_NAMESPACE();
    for (const char* bad : {"--daemon=127.0.0.1:0", "--frob\x1b[2J\x07"}) {
        Child usage = Child::spawn({vantrel::test::built_program("vantrel-usb"), bad});
        EXPECT_EQ(usage.wait_exit(10s), 2) << bad;
        EXPECT_EQ(usage.out(), "");
        EXPECT_EQ(usage.err().find('\x1b'), std::string::npos) << usage.err();
        EXPECT_EQ(usage.err().find('\x07'), std::string::npos) << usage.err();
    }
    Sim sim;
    sim.ok("plug-hex " + to_hex("\xe2\x80\xae"
                                "exe.txt\xe2\x80\x8b\xef\xbb\xbf\xe2\x80\xa8"));
    Child bridge = start_bridge();
    const std::string found = E + "[32mFound" + E + "[0m " + E + "[1m?exe.txt???" + E + "[0m\n";
    ASSERT_TRUE(bridge.wait_for(Child::Stream::Out, found, 10s)) << bridge.out();
    bridge.signal(SIGINT);
    EXPECT_EQ(bridge.wait_exit(10s), 0);
}

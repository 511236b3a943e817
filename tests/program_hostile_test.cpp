// The real vantrel-usb against a hostile daemon and app (vantrel-sim's faults), in this test's
// private namespace: nothing a peer sends may crash, hang or desynchronise it.
#include <gtest/gtest.h>
#include <signal.h>

#include <string>

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

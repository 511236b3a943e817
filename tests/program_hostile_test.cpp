// The real vantrel-usb against a hostile daemon and app (vantrel-sim's faults), in this test's
// private namespace: nothing a peer sends may crash, hang or desynchronise it.
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <fstream>
#include <string>
#include <thread>

#include "support/namespace.h"
#include "support/process.h"
#include "support/sim.h"

using vantrel::test::Child;
using vantrel::test::Sim;
using vantrel::test::spawn_bridge;
using vantrel::test::to_hex;
using vantrel::test::UdpReceiver;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

const std::string E = "\x1b";
const std::string ROUTE_VIDEO = E + "[36mVideo" + E + "[0m";

}  // namespace

// Device lists nested 100,000 (binary) and 60,000 (XML, the most that fits the reply limit) deep
// are refused at once with an error line of their own; the bridge retries and finds the device
// once the list is sane again.
TEST(ProgramHostile, DeeplyNestedDeviceListsAreRefusedAtOnce) {
    REQUIRE_PRIVATE_NAMESPACE();
    const std::string nested = "Protocol error: Property list nested too deeply";
    Sim sim({"--list-reply", "nested-binary"});
    sim.ok("plug NESTED");
    Child bridge = spawn_bridge();
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
    Child bridge = spawn_bridge();
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
    Child bridge = spawn_bridge();
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
        Child bridge = spawn_bridge();
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
    Child bridge = spawn_bridge({}, {}, Child::Stalled::Out);
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
        Child usage = spawn_bridge({bad});
        EXPECT_EQ(usage.wait_exit(10s), 2) << bad;
        EXPECT_EQ(usage.out(), "");
        EXPECT_EQ(usage.err().find('\x1b'), std::string::npos) << usage.err();
        EXPECT_EQ(usage.err().find('\x07'), std::string::npos) << usage.err();
    }
    Sim sim;
    sim.ok("plug-hex " + to_hex("\xe2\x80\xae"
                                "exe.txt\xe2\x80\x8b\xef\xbb\xbf\xe2\x80\xa8"));
    Child bridge = spawn_bridge();
    const std::string found = E + "[32mFound" + E + "[0m " + E + "[1m?exe.txt???" + E + "[0m\n";
    ASSERT_TRUE(bridge.wait_for(Child::Stream::Out, found, 10s)) << bridge.out();
    bridge.signal(SIGINT);
    EXPECT_EQ(bridge.wait_exit(10s), 0);
}

// A health-check reply whose prefix announces 65,536 bytes and whose payload then comes a byte every
// 1.5 s: the setup goes on after the check's 2 s in all, and Ctrl+C ends the bridge at once.
TEST(ProgramHostile, TricklingHealthReplyHoldsNothingUp) {
    REQUIRE_PRIVATE_NAMESPACE();
    Sim sim;
    sim.ok("plug TRICKLE");
    sim.ok("health 1 5000 trickle 1500");
    Child bridge = spawn_bridge();
    ASSERT_TRUE(bridge.wait_for(Child::Stream::Out, ROUTE_VIDEO, 15s)) << bridge.out();
    std::this_thread::sleep_for(2s);  // the video thread now waits in the trickle
    const auto stop = Clock::now();
    bridge.signal(SIGINT);
    ASSERT_TRUE(bridge.wait_for(Child::Stream::Out, "Goodbye.", 10s));
    EXPECT_LT(Clock::now() - stop, 1s);
    EXPECT_EQ(bridge.wait_exit(10s), 0);
}

// One local sender of 1,000 small feedback datagrams a second, against an app that reads feedback at
// about 53 KB/s: video keeps flowing without a gap, and the session goes on.
TEST(ProgramHostile, FeedbackFloodNeverHoldsVideoBack) {
    REQUIRE_PRIVATE_NAMESPACE();
    Sim sim;
    UdpReceiver video(5000);
    sim.ok("plug FLOODED");
    sim.ok("autostream 1 5000 rate=200 size=1000");
    Child bridge = spawn_bridge({"--json"});
    sockaddr_in bridge_video{};
    ASSERT_TRUE(video.receive(15s, &bridge_video).has_value()) << bridge.out();
    sim.ok("read 1 5000 rate 53000");
    sim.ok("events feedback off");  // a line per frame would fill the simulator's output that nobody reads
    std::atomic<bool> flooding{true};
    std::thread sender([&] {
        UdpReceiver flood("127.0.0.1:7000");
        const std::string small(100, 'f');
        while (flooding) {
            for (int i = 0; i < 10; ++i) flood.send_to(small, bridge_video);
            std::this_thread::sleep_for(10ms);
        }
    });
    auto last_video = Clock::now();
    Clock::duration longest_gap{};
    std::size_t received = 0;
    for (const auto end = Clock::now() + 8s; Clock::now() < end;) {
        if (!video.receive(100ms)) continue;
        longest_gap = std::max(longest_gap, Clock::now() - last_video);
        last_video = Clock::now();
        ++received;
    }
    flooding = false;
    sender.join();
    EXPECT_GT(received, 800u);  // 200 a second for 8 s, with room for a loaded machine
    EXPECT_LT(longest_gap, 2s) << "video was held back";
    bridge.pump_for(100ms);
    EXPECT_EQ(bridge.count(Child::Stream::Out, "disconnected"), 0u) << bridge.out();
    bridge.signal(SIGINT);
    EXPECT_EQ(bridge.wait_exit(10s), 0);
}

namespace {

// The most memory the process has held so far (VmHWM), in KiB.
std::size_t peak_rss_kib(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.starts_with("VmHWM:")) return std::stoul(line.substr(6));
    return 0;
}

}  // namespace

// Replies that share one 400 KB string among hundreds of thousands of references (as the device list,
// beside an empty one, and beside a Connect result) are read without a copy per reference: the bridge
// stays small, reaches the device through them, and finds it.
TEST(ProgramHostile, SharedObjectsAreReadOnce) {
    REQUIRE_PRIVATE_NAMESPACE();
    Sim sim;
    sim.ok("plug SHARED");
    sim.ok("list-reply shared-list");  // 500,000 references: no device to take
    Child bridge = spawn_bridge();
    ASSERT_TRUE(sim.wait_event("list-devices", 10s));
    ASSERT_TRUE(sim.wait_event("list-devices", 10s)) << "the search did not go on";
    sim.ok("list-reply shared-side");
    ASSERT_TRUE(sim.wait_event("list-devices", 10s));
    sim.ok("list-reply normal");
    sim.ok("connect-reply shared-side");
    ASSERT_TRUE(bridge.wait_for(Child::Stream::Out, ROUTE_VIDEO, 20s)) << bridge.out();
    // An order of magnitude: a copy per reference would be gigabytes (the benchmark has the figures).
    EXPECT_LT(peak_rss_kib(bridge.pid()), 64u * 1024);
    EXPECT_EQ(bridge.count(Child::Stream::Out, "Error:"), 0u) << bridge.out();
    bridge.signal(SIGINT);
    EXPECT_EQ(bridge.wait_exit(10s), 0);
}

// Device lists of up to 142,000 entries that all fail the skip rules, then the device, binary and XML
// (each under the reply size limit): read in linear time, so the device is found at once.
TEST(ProgramHostile, LongDeviceListsAreReadInLinearTime) {
    REQUIRE_PRIVATE_NAMESPACE();
    for (const char* shape :
         {"empty-dict-binary 142000", "no-serial-binary 30000", "empty-dict-xml 140000"}) {
        Sim sim;
        sim.ok("plug AT-THE-END");
        sim.ok(std::string("list-reply ") + shape);
        const auto start = Clock::now();
        Child bridge = spawn_bridge();
        // An order of magnitude: libplist took 25 s for the first.
        ASSERT_TRUE(bridge.wait_for(Child::Stream::Out, "AT-THE-END", 10s)) << shape << bridge.out();
        EXPECT_LT(Clock::now() - start, 5s) << shape;
        bridge.signal(SIGINT);
        EXPECT_EQ(bridge.wait_exit(10s), 0);
    }
}

// A device list nested 200 deep whose tags carry attribute values that fool a byte scanner
// (<dict a="<!--">, <array a="/>">), and the same 40,000 deep: turned away (a '<' in an attribute is
// not XML), never taken for a device and never a crash.
TEST(ProgramHostile, NestingHiddenInAttributesIsTurnedAway) {
    REQUIRE_PRIVATE_NAMESPACE();
    Sim sim({"--list-reply", "nested-attributes:200"});
    sim.ok("plug HIDDEN");
    Child bridge = spawn_bridge();
    ASSERT_TRUE(bridge.wait_for(Child::Stream::Out, "Error:", 10s)) << bridge.out();
    sim.ok("list-reply nested-attributes 40000");
    const std::size_t mark = bridge.out().size();
    ASSERT_TRUE(sim.wait_event("list-devices", 10s));
    ASSERT_TRUE(sim.wait_event("list-devices", 10s)) << "the bridge stopped searching";
    EXPECT_EQ(bridge.count(Child::Stream::Out, "Found"), 0u);
    EXPECT_TRUE(bridge.running());
    bridge.signal(SIGINT);
    EXPECT_EQ(bridge.wait_exit(10s), 0);
    EXPECT_NE(bridge.out().find("Protocol error: Failed to parse plist: invalid XML property list"),
              std::string::npos)
        << bridge.out().substr(mark);
}

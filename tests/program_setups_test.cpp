// The real vantrel-usb in the setups beyond one phone and local consumers on the default ports:
// destinations anywhere, a daemon named by the environment, several phones, the device by its UDID.
// In this test's private namespace, against vantrel-sim.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "support/namespace.h"
#include "support/process.h"
#include "support/sim.h"

using vantrel::test::Child;
using vantrel::test::Sim;
using vantrel::test::spawn_bridge;
using vantrel::test::to_hex;
using vantrel::test::UdpReceiver;
using namespace std::chrono_literals;

namespace {

void stop(Child& bridge) {
    bridge.signal(SIGINT);
    EXPECT_EQ(bridge.wait_exit(10s), 0);
}

}  // namespace

// Consumers on other ports, on ::1 and on another host's address (192.0.2.10 on this namespace's
// loopback interface): each stream reaches its own, the route lines say where, and feedback comes back
// from the video consumer, but from nobody else once the consumer is not on loopback.
TEST(ProgramSetups, DestinationsAnywhereWithFeedbackOnlyFromTheConsumer) {
    REQUIRE_PRIVATE_NAMESPACE();
    ASSERT_EQ(std::system("ip address add 192.0.2.10/32 dev lo"), 0);
    Sim sim;
    sim.ok("plug ELSEWHERE");
    sim.ok("events feedback on");
    struct Setup {
        std::string video, tracking;
        bool local_video;
    };
    for (const Setup& setup :
         {Setup{"[::1]:6000", "127.0.0.1:6242", true}, Setup{"192.0.2.10:6000", "[::1]:6242", false}}) {
        UdpReceiver video(setup.video), tracking(setup.tracking);
        UdpReceiver stranger(setup.local_video ? "[::1]:7000" : "127.0.0.1:7000");
        Child bridge = spawn_bridge({"--plain", "--status-interval", "1", "--video-to", setup.video,
                                     "--tracking-to", setup.tracking});
        const std::string routes = "  Video    USB:5000 -> UDP " + setup.video +
                                   "\n  Tracking USB:4242 -> UDP " + setup.tracking + "\n";
        ASSERT_TRUE(bridge.wait_for(Child::Stream::Out, routes, 20s)) << bridge.out();
        ASSERT_TRUE(sim.wait_event("connect 1 4242", 10s));

        sim.ok("send 1 5000 " + to_hex("video"));
        sockaddr_storage bridge_video{};
        EXPECT_EQ(video.receive(5s, &bridge_video), "video") << setup.video;
        sim.ok("send 1 4242 " + to_hex("tracking"));
        EXPECT_EQ(tracking.receive(5s), "tracking") << setup.tracking;

        // Feedback from a stranger first, then from the consumer's host (from another port there). A
        // stranger is counted only where it is heard; what is counted goes out after the next packet.
        const std::string strangers_feedback = "feedback 1 5000 9 " + to_hex("not-yours");
        const std::size_t heard_before = sim.count_events(strangers_feedback);
        stranger.send_to("not-yours", bridge_video);
        UdpReceiver consumer_host(setup.local_video ? "[::1]:6001" : "192.0.2.10:6001");
        consumer_host.send_to("fb", bridge_video);
        ASSERT_TRUE(bridge.wait_for(Child::Stream::Out, setup.local_video ? "fb:2\n" : "fb:1\n", 10s))
            << bridge.out();
        sim.ok("send 1 5000 " + to_hex("next"));
        EXPECT_EQ(video.receive(5s), "next");
        EXPECT_TRUE(sim.wait_event("feedback 1 5000 2 " + to_hex("fb"), 5s)) << setup.video;
        EXPECT_EQ(sim.count_events(strangers_feedback) - heard_before, setup.local_video ? 1u : 0u)
            << "loopback: anyone; elsewhere: the consumer's host only";
        stop(bridge);
    }
}

// USBMUXD_SOCKET_ADDRESS leads the bridge to that daemon only (a daemon on the usual socket is never
// asked), --daemon wins over it, and an empty value counts as unset.
TEST(ProgramSetups, TheEnvironmentNamesTheDaemon) {
    REQUIRE_PRIVATE_NAMESPACE();
    Sim usual;
    usual.ok("plug USUAL");
    Sim elsewhere({"--unix", "/run/elsewhere-mux", "--no-tcp"});
    elsewhere.ok("plug ELSEWHERE");
    {
        Child bridge = spawn_bridge({"--plain"}, {"USBMUXD_SOCKET_ADDRESS=UNIX:/run/elsewhere-mux"});
        ASSERT_TRUE(bridge.wait_for(Child::Stream::Out, "Found ELSEWHERE\n", 10s)) << bridge.out();
        stop(bridge);
    }
    EXPECT_EQ(usual.count_events("list-devices"), 0u) << "the usual daemon was asked";
    for (const auto& [options, env] :
         {std::pair<std::vector<std::string>, std::string>{{"--plain", "--daemon", "127.0.0.1:27015"},
                                                           "USBMUXD_SOCKET_ADDRESS=UNIX:/run/elsewhere-mux"},
          {{"--plain"}, "USBMUXD_SOCKET_ADDRESS="}}) {
        Child bridge = spawn_bridge(options, {env});
        EXPECT_TRUE(bridge.wait_for(Child::Stream::Out, "Found USUAL\n", 10s)) << env << bridge.out();
        stop(bridge);
    }
}

// Two phones, two bridges, each with its --udid and its own consumers: each consumer gets only its
// own phone's stream.
TEST(ProgramSetups, TwoPhonesSideBySide) {
    REQUIRE_PRIVATE_NAMESPACE();
    Sim sim;
    sim.ok("plug 00008030-000000000000AAAA");
    sim.ok("plug 00008030-000000000000BBBB");
    UdpReceiver video_a("127.0.0.1:5000"), tracking_a("127.0.0.1:4242");
    UdpReceiver video_b("127.0.0.1:6000"), tracking_b("127.0.0.1:6242");
    Child a = spawn_bridge({"--plain", "--udid", "00008030-000000000000AAAA"});
    // A host name, looked up once at the start: this namespace's own hosts file says where it is.
    ASSERT_EQ(
        std::system("echo '127.0.0.1 consumer-b.test' >/run/hosts && mount --bind /run/hosts /etc/hosts"), 0);
    Child b = spawn_bridge({"--plain", "-u", "00008030-000000000000BBBB", "--video-to", "127.0.0.1:6000",
                            "--tracking-to", "consumer-b.test:6242"});
    // The route lines follow the health checks, which take the first packet back as their answer.
    ASSERT_TRUE(a.wait_for(Child::Stream::Out, "Tracking USB:4242 -> UDP 127.0.0.1:4242\n", 20s)) << a.out();
    ASSERT_TRUE(b.wait_for(Child::Stream::Out, "Tracking USB:4242 -> UDP 127.0.0.1:6242\n", 20s)) << b.out();
    sim.ok("send 1 5000 " + to_hex("video of A"));
    sim.ok("send 2 5000 " + to_hex("video of B"));
    sim.ok("send 1 4242 " + to_hex("tracking of A"));
    sim.ok("send 2 4242 " + to_hex("tracking of B"));
    EXPECT_EQ(video_a.receive(5s), "video of A");
    EXPECT_EQ(video_b.receive(5s), "video of B");
    EXPECT_EQ(tracking_a.receive(5s), "tracking of A");
    EXPECT_EQ(tracking_b.receive(5s), "tracking of B");
    EXPECT_EQ(video_a.receive(300ms), std::nullopt);
    EXPECT_EQ(video_b.receive(300ms), std::nullopt);
    stop(a);
    stop(b);
}

// Each new option and the environment variable refuse what they cannot use, before anything is
// printed: one line that names the option (or the variable) and the value, then where to look.
TEST(ProgramSetups, BadAddressesAndSerialsAreUsageErrors) {
    REQUIRE_PRIVATE_NAMESPACE();  // the name lookup must not leave this namespace
    const std::vector<std::pair<std::vector<std::string>, std::string>> refused{
        {{"--video-to", "::1:5000"}, "invalid value '::1:5000' for '--video-to': "},
        {{"--video-to", "[127.0.0.1]:5000"}, "invalid value '[127.0.0.1]:5000' for '--video-to': "},
        {{"--tracking-to", "127.0.0.1:http"}, "invalid value '127.0.0.1:http' for '--tracking-to': "},
        {{"--tracking-to", "127.0.0.1:0"}, "invalid value '127.0.0.1:0' for '--tracking-to': port 0"},
        {{"--video-to", "[::1]:65536"}, "invalid value '[::1]:65536' for '--video-to': port above 65535"},
        {{"--video-to", "no-such-host.invalid:5000"},
         "invalid value 'no-such-host.invalid:5000' for '--video-to': "},
        {{"--daemon", "[::1]:0"}, "invalid value '[::1]:0' for '--daemon': port 0"},
        {{"--udid", "---"}, "invalid value '---' for '--udid'"},
        {{"--list", "--plain"}, "option '--list' does not go with '--plain'"},
    };
    for (const auto& [args, problem] : refused) {
        Child bridge = spawn_bridge(args);
        EXPECT_EQ(bridge.wait_exit(10s), 2) << problem;
        EXPECT_EQ(bridge.out(), "") << problem;
        EXPECT_TRUE(bridge.err().starts_with("vantrel-usb: " + problem)) << bridge.err();
        EXPECT_TRUE(bridge.err().ends_with("\nTry 'vantrel-usb --help'.\n")) << bridge.err();
        EXPECT_EQ(std::ranges::count(bridge.err(), '\n'), 2) << bridge.err();
    }
    Child bridge = spawn_bridge({}, {"USBMUXD_SOCKET_ADDRESS=127.0.0.1"});
    EXPECT_EQ(bridge.wait_exit(10s), 2);
    EXPECT_TRUE(
        bridge.err().starts_with("vantrel-usb: invalid value '127.0.0.1' in USBMUXD_SOCKET_ADDRESS: "))
        << bridge.err();
}

// The device by its UDID: --list shows every entry with its connection type; -u matches without regard
// to case and hyphens; a network entry listed first loses to the same phone's USB entry, and is taken
// (and said to be) only when nothing else qualifies.
TEST(ProgramSetups, ListAndTheDeviceByItsUdid) {
    REQUIRE_PRIVATE_NAMESPACE();
    Sim sim;
    sim.ok("plug 00008030-001A2B3C4D5E6F70 network");
    sim.ok("plug 00008030-001A2B3C4D5E6F70 usb");
    sim.ok("plug-hex " + to_hex("OLD\x1bPHONE") + " none");
    Child list = spawn_bridge({"--list"});
    ASSERT_EQ(list.wait_exit(10s), 0);
    EXPECT_EQ(list.out(),
              "00008030-001A2B3C4D5E6F70 (Network)\n00008030-001A2B3C4D5E6F70 (USB)\nOLD?PHONE (unknown)\n");
    Child json = spawn_bridge({"-l", "--json"});
    ASSERT_EQ(json.wait_exit(10s), 0);
    EXPECT_EQ(json.out().substr(0, json.out().find('\n')),
              R"({"serial":"00008030-001A2B3C4D5E6F70","device_id":1,"connection":"Network"})");

    Child bridge = spawn_bridge({"--plain", "-u", "00008030001a2b3c4d5e6f70"});
    ASSERT_TRUE(bridge.wait_for(Child::Stream::Out, "Found 00008030-001...\n", 10s)) << bridge.out();
    EXPECT_TRUE(sim.wait_event("connect 2 5000", 10s)) << "not the USB entry";
    stop(bridge);
    sim.ok("unplug 2");
    Child network = spawn_bridge({"--plain", "--udid", "00008030-001A2B3C4D5E6F70"});
    EXPECT_TRUE(network.wait_for(Child::Stream::Out, "Found 00008030-001... (network)\n", 10s))
        << network.out();
    stop(network);

    sim.ok("list-reply close");
    Child failed = spawn_bridge({"--list"});
    EXPECT_EQ(failed.wait_exit(10s), 1);
    EXPECT_EQ(failed.out(), "");
    EXPECT_EQ(failed.err(), "vantrel-usb: I/O error: failed to fill whole buffer\n");
}

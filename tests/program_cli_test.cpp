// The command line and plain output of the real vantrel-usb, against vantrel-sim in this test's
// private namespace.
#include <gtest/gtest.h>
#include <signal.h>

#include <string>
#include <vector>

#include "support/namespace.h"
#include "support/process.h"
#include "support/sim.h"

using vantrel::test::Child;
using vantrel::test::Sim;
using vantrel::test::spawn_bridge;
using namespace std::chrono_literals;

namespace {

// Runs the bridge to its end with nothing else around: exit status, standard output, standard error.
struct Ended {
    std::optional<int> status;
    std::string out, err;
};
Ended run_to_end(std::vector<std::string> options) {
    Child bridge = spawn_bridge(std::move(options));
    auto status = bridge.wait_exit(10s);
    return {status, bridge.out(), bridge.err()};
}

}  // namespace

TEST(ProgramCli, HelpVersionAndBadCommandLinesTheGnuWay) {
    const Ended help = run_to_end({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_TRUE(help.out.starts_with("Usage: vantrel-usb [OPTION]...\n")) << help.out;
    for (const char* option :
         {"-u, --udid SERIAL", "--plain", "--status-interval SECS", "--daemon ADDRESS", "-V, --version"})
        EXPECT_NE(help.out.find(option), std::string::npos) << option;
    // Unique prefixes, bundled short options, values attached or apart.
    EXPECT_EQ(run_to_end({"--vers"}).out, "vantrel-usb 1.0.0\n");
    EXPECT_EQ(run_to_end({"-hV"}).out, help.out);
    EXPECT_EQ(run_to_end({"--plain", "--status-int=5", "--udid", "X", "-h"}).status, 0);

    const std::vector<std::pair<std::vector<std::string>, std::string>> refused{
        {{"--frobnicate"}, "unrecognized option '--frobnicate'"},
        {{"-x"}, "invalid option -- 'x'"},
        {{"--udid"}, "option '--udid' requires an argument"},
        {{"-u"}, "option requires an argument -- 'u'"},
        {{"--plain=yes"}, "option '--plain' doesn't allow an argument"},
        {{"--udid", ""}, "invalid value '' for '--udid'"},
        {{"--plain", "--status-interval", "soon"}, "invalid value 'soon' for '--status-interval'"},
        {{"--status-interval", "5"}, "option '--status-interval' goes with '--plain' or '--json'"},
        {{"--daemon", "127.0.0.1"}, "invalid value '127.0.0.1' for '--daemon': no port"},
        {{"extra"}, "extra operand 'extra'"},
        {{"--", "--plain"}, "extra operand '--plain'"},  // "--" ends the options
    };
    for (const auto& [args, problem] : refused) {
        const Ended ended = run_to_end(args);
        EXPECT_EQ(ended.status, 2) << problem;
        EXPECT_EQ(ended.out, "") << problem;
        EXPECT_EQ(ended.err, "vantrel-usb: " + problem + "\nTry 'vantrel-usb --help'.\n");
    }
}

// Plain output is the permanent lines as text, a state line when a state begins, the status now and
// then, and each error once however often it repeats; SIGTERM ends it as Ctrl+C does.
TEST(ProgramCli, PlainOutputSaysWhatChangedAsText) {
    REQUIRE_PRIVATE_NAMESPACE();
    Child bridge = spawn_bridge({"--plain", "--status-interval", "1"});
    // No daemon at all for 10 s: five failed searches, one error line.
    bridge.pump_for(10s);
    const std::string refused = "Error: I/O error: Connection refused (os error 111)\n";
    EXPECT_EQ(bridge.out(),
              "VantrelUSB v1.0.0\nUSB companion for Vantrel iOS\n\nSearching for iPhone...\n" + refused);

    Sim sim;
    ASSERT_TRUE(bridge.wait_for(Child::Stream::Out, refused + "Searching for iPhone...\n", 10s))
        << bridge.out();
    sim.ok("plug PLAINSERIAL");
    ASSERT_TRUE(bridge.wait_for(Child::Stream::Out, "Found PLAINSERIAL\n", 10s)) << bridge.out();
    ASSERT_TRUE(bridge.wait_for(
        Child::Stream::Out,
        "\n  Video    USB:5000 -> UDP 127.0.0.1:5000\n  Tracking USB:4242 -> UDP 127.0.0.1:4242\n\n", 10s));
    ASSERT_TRUE(bridge.wait_for(Child::Stream::Out, "  V --/0  T --/0  fb:0\n", 5s)) << bridge.out();
    sim.ok("close 1 4242");
    ASSERT_TRUE(bridge.wait_for(Child::Stream::Out, "Disconnected. Waiting for reconnect...\n", 10s));
    ASSERT_TRUE(
        bridge.wait_for(Child::Stream::Out, "Found PLAINSERIAL\n", 10s, bridge.out().find("Disconnected.")));
    bridge.signal(SIGTERM);
    ASSERT_EQ(bridge.wait_exit(10s), 0);
    EXPECT_TRUE(bridge.out().ends_with("Goodbye.\n"));
    EXPECT_EQ(bridge.out().find('\x1b'), std::string::npos);
    EXPECT_EQ(bridge.out().find('\r'), std::string::npos);
    EXPECT_EQ(bridge.err(), "");
}

TEST(ProgramCli, UdidChoosesItsDeviceAndSearchesWhileItIsAbsent) {
    REQUIRE_PRIVATE_NAMESPACE();
    Sim sim;
    sim.ok("plug FIRST");
    Child bridge = spawn_bridge({"--udid", "SECOND"});
    ASSERT_TRUE(sim.wait_event("list-devices", 10s));
    ASSERT_TRUE(sim.wait_event("list-devices", 10s));
    bridge.pump_for(100ms);
    EXPECT_EQ(bridge.count(Child::Stream::Out, "Found"), 0u) << "another device was taken";
    EXPECT_GE(bridge.count(Child::Stream::Err, "] Searching for iPhone..."), 2u);
    sim.ok("plug SECOND");
    ASSERT_TRUE(bridge.wait_for(Child::Stream::Out, "SECOND", 10s)) << bridge.out();
    ASSERT_TRUE(sim.wait_event("connect 2 5000", 10s)) << "the session is not with the second device";
    bridge.signal(SIGTERM);
    ASSERT_EQ(bridge.wait_exit(10s), 0);
    EXPECT_NE(bridge.out().find("Goodbye."), std::string::npos);
}

// --daemon pins the daemon's address: a daemon on the Unix socket is never asked.
TEST(ProgramCli, DaemonAddressIsTheOnlyOneUsed) {
    REQUIRE_PRIVATE_NAMESPACE();
    Sim on_unix({"--no-tcp"});
    on_unix.ok("plug UNIX-DEVICE");
    Sim on_tcp({"--no-unix", "--tcp", "127.0.0.1:27999"});
    on_tcp.ok("plug TCP-DEVICE");
    Child bridge = spawn_bridge({"--plain", "--daemon", "127.0.0.1:27999"});
    ASSERT_TRUE(bridge.wait_for(Child::Stream::Out, "Found TCP-DEVICE\n", 10s)) << bridge.out();
    ASSERT_TRUE(on_tcp.wait_event("connect 1 4242", 10s));
    EXPECT_TRUE(on_unix.events().empty()) << "the Unix socket was used";
    bridge.signal(SIGINT);
    ASSERT_EQ(bridge.wait_exit(10s), 0);
}

// The real vantrel-usb against vantrel-sim (playing usbmuxd and the app) and UDP receivers on 5000
// and 4242, all inside this test's private namespace: every transition of a session.
#include <arpa/inet.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/syscall.h>

#include <algorithm>
#include <fstream>
#include <set>
#include <sstream>
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

namespace {

const std::string E = "\x1b";
const std::string GOODBYE = E + "[2mGoodbye." + E + "[0m\n";
const std::string DISCONNECTED = E + "[33mDisconnected." + E + "[0m Waiting for reconnect...\n";
const std::string ROUTE_VIDEO = E + "[36mVideo" + E + "[0m    " + E + "[2mUSB:5000";
const std::string WAITING = "] Waiting for Vantrel USB mode...";

std::string found(const std::string& serial) {
    return E + "[32mFound" + E + "[0m " + E + "[1m" + serial + E + "[0m\n";
}

std::vector<std::string> thread_names(pid_t pid) {
    std::vector<std::string> names;
    std::string dir = "/proc/" + std::to_string(pid) + "/task";
    if (DIR* d = ::opendir(dir.c_str())) {
        while (dirent* e = ::readdir(d)) {
            if (e->d_name[0] == '.') continue;
            std::ifstream comm(dir + "/" + e->d_name + "/comm");
            std::string name;
            std::getline(comm, name);
            names.push_back(name);
        }
        ::closedir(d);
    }
    return names;
}

// Whether each thread (by name) has SIGINT blocked, from the SigBlk mask in its status.
// Each thread's name and whether it blocks both SIGINT and SIGTERM.
std::vector<std::pair<std::string, bool>> stop_signals_blocked_by_thread(pid_t pid) {
    std::vector<std::pair<std::string, bool>> threads;
    std::string dir = "/proc/" + std::to_string(pid) + "/task";
    if (DIR* d = ::opendir(dir.c_str())) {
        while (dirent* e = ::readdir(d)) {
            if (e->d_name[0] == '.') continue;
            std::ifstream status(dir + "/" + e->d_name + "/status");
            std::string line, name;
            bool blocked = false;
            while (std::getline(status, line)) {
                if (line.rfind("Name:\t", 0) == 0) name = line.substr(6);
                if (line.rfind("SigBlk:\t", 0) == 0) {
                    const auto mask = std::stoull(line.substr(8), nullptr, 16);
                    blocked = (mask >> (SIGINT - 1) & 1) != 0 && (mask >> (SIGTERM - 1) & 1) != 0;
                }
            }
            threads.emplace_back(name, blocked);
        }
        ::closedir(d);
    }
    return threads;
}

// Waits until the thread of that name sits in a receive call (what /proc shows of its system call).
bool waiting_in_receive(pid_t pid, const std::string& name) {
    const std::string dir = "/proc/" + std::to_string(pid) + "/task";
    for (auto deadline = std::chrono::steady_clock::now() + 10s;
         std::chrono::steady_clock::now() < deadline;) {
        if (DIR* d = ::opendir(dir.c_str())) {
            bool found = false;
            while (dirent* e = ::readdir(d)) {
                std::ifstream comm(dir + "/" + e->d_name + "/comm");
                std::string comm_name;
                std::getline(comm, comm_name);
                std::ifstream syscall(dir + "/" + e->d_name + "/syscall");
                long number = -1;
                if (comm_name == name && (syscall >> number) && number == SYS_recvfrom) found = true;
            }
            ::closedir(d);
            if (found) return true;
        }
        std::this_thread::sleep_for(5ms);
    }
    return false;
}

std::size_t count_entries(const std::string& dir) {
    std::size_t n = 0;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (dirent* e = ::readdir(d))
            if (e->d_name[0] != '.') ++n;
        ::closedir(d);
    }
    return n;
}

// Descriptors of the process that are sockets, and whether each is close-on-exec.
std::vector<std::pair<int, bool>> socket_fds(pid_t pid) {
    std::vector<std::pair<int, bool>> out;
    std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    if (DIR* d = ::opendir(dir.c_str())) {
        while (dirent* e = ::readdir(d)) {
            if (e->d_name[0] == '.') continue;
            char target[256] = {};
            ssize_t n = ::readlink((dir + "/" + e->d_name).c_str(), target, sizeof target - 1);
            if (n <= 0 || std::string(target).rfind("socket:", 0) != 0) continue;
            std::ifstream info("/proc/" + std::to_string(pid) + "/fdinfo/" + e->d_name);
            std::string key, flags;
            while (info >> key) {
                if (key == "flags:") {
                    info >> flags;
                    break;
                }
            }
            bool cloexec = (std::stoul(flags, nullptr, 8) & 02000000) != 0;
            out.emplace_back(std::atoi(e->d_name), cloexec);
        }
        ::closedir(d);
    }
    return out;
}

// A bridge that has found device 1 and streams; the receivers listen on 5000 and 4242.
struct Streaming {
    Sim sim;
    UdpReceiver video{5000};
    UdpReceiver tracking{4242};
    Child bridge;

    explicit Streaming(std::vector<std::string> sim_options = {}, const std::string& serial = "SIMSERIAL01",
                       bool stalled_stderr = false)
        : sim(std::move(sim_options)), bridge([&] {
              sim.ok("plug " + serial);
              return spawn_bridge({}, {}, stalled_stderr ? Child::Stalled::Err : Child::Stalled::None);
          }()) {}

    void wait_streaming() {
        ASSERT_TRUE(sim.wait_event("connect 1 4242", 20s)) << bridge.out();
        ASSERT_TRUE(bridge.wait_for(Child::Stream::Out, ROUTE_VIDEO, 20s)) << bridge.out();
    }

    // Sends one frame on a port and returns the datagram that arrives for it.
    std::optional<std::string> round_trip(int port, const std::string& payload, sockaddr_in* from = nullptr) {
        sim.ok("send 1 " + std::to_string(port) + " " + to_hex(payload));
        return (port == 5000 ? video : tracking).receive(5s, from);
    }
};

}  // namespace

TEST(ProgramSession, ForwardsEachPacketAsOneDatagramAndRelaysFeedback) {
    REQUIRE_PRIVATE_NAMESPACE();
    Streaming s;
    s.sim.ok("events feedback on");
    s.wait_streaming();
    EXPECT_EQ(s.bridge.count(Child::Stream::Out, found("SIMSERIAL01")), 1u);

    sockaddr_in bridge_video{};
    std::string video_payload(1400, 'v');
    video_payload[0] = 1;
    EXPECT_EQ(s.round_trip(5000, video_payload, &bridge_video), video_payload);
    EXPECT_EQ(s.round_trip(4242, "tracking-48-bytes-...........................!"),
              "tracking-48-bytes-...........................!");
    EXPECT_EQ(ntohl(bridge_video.sin_addr.s_addr), INADDR_LOOPBACK);

    // Feedback is counted when it arrives, waits for the next video packet, then reaches the app in
    // arrival order. (The datagram above reaches us before "video-fwd" looks at the queue: wait
    // until it is back in its read.)
    ASSERT_TRUE(waiting_in_receive(s.bridge.pid(), "video-fwd"));
    s.video.send_to("fb-one", bridge_video);
    s.video.send_to("fb-two", bridge_video);
    std::string status_tail = E + "[2mfb:" + E + "[0m2";
    ASSERT_TRUE(s.bridge.wait_for(Child::Stream::Err, status_tail, 5s)) << s.bridge.err();
    EXPECT_FALSE(s.sim.wait_event("feedback", 200ms)) << "nothing relayed before the next video packet";
    EXPECT_EQ(s.round_trip(5000, "next"), "next");
    EXPECT_TRUE(s.sim.wait_event("feedback 1 5000 6 " + to_hex("fb-one"), 5s)) << s.sim.child().out();
    EXPECT_TRUE(s.sim.wait_event("feedback 1 5000 6 " + to_hex("fb-two"), 5s)) << s.sim.child().out();

    auto names = thread_names(s.bridge.pid());
    std::multiset<std::string> set(names.begin(), names.end());
    for (const char* n : {"video-feedback", "video-fwd", "tracking-fwd"}) EXPECT_EQ(set.count(n), 1u) << n;
    auto sockets = socket_fds(s.bridge.pid());
    EXPECT_GE(sockets.size(), 6u);  // two tunnels, the writers, two UDP sockets and the duplicate
    for (auto [fd, cloexec] : sockets) EXPECT_TRUE(cloexec) << "socket descriptor " << fd;

    s.bridge.signal(SIGINT);
    ASSERT_EQ(s.bridge.wait_exit(10s), 0);
    EXPECT_TRUE(s.bridge.out().ends_with(GOODBYE));
    EXPECT_EQ(s.bridge.count(Child::Stream::Out, "Disconnected."), 0u);
}

TEST(ProgramSession, OverTheTcpFallbackDataFlowsTheSameWay) {
    REQUIRE_PRIVATE_NAMESPACE();
    Streaming s({"--no-unix"});
    s.wait_streaming();
    EXPECT_EQ(s.round_trip(5000, "over tcp"), "over tcp");
    EXPECT_EQ(s.round_trip(4242, "tracking over tcp"), "tracking over tcp");
    s.bridge.signal(SIGINT);
    EXPECT_EQ(s.bridge.wait_exit(10s), 0);
}

TEST(ProgramSession, RefusedConnectsWaitForTheAppWithoutASecondFoundLine) {
    REQUIRE_PRIVATE_NAMESPACE();
    Sim sim;
    sim.ok("plug WAITER");
    sim.ok("listen 1 5000 off");
    Child bridge = spawn_bridge();
    ASSERT_TRUE(bridge.wait_for(Child::Stream::Err, WAITING, 10s)) << bridge.err();
    ASSERT_TRUE(sim.wait_event("refused 1 5000", 10s));
    // The waiting spinner goes on from the frame the search left it at.
    ASSERT_TRUE(
        bridge.wait_for(Child::Stream::Err, "[" + E + "[33m-" + E + "[0m" + E + "[2m" + WAITING, 10s));
    sim.ok("listen 1 5000 on");
    ASSERT_TRUE(bridge.wait_for(Child::Stream::Out, ROUTE_VIDEO, 15s)) << bridge.out();
    EXPECT_EQ(bridge.count(Child::Stream::Out, "Found"), 1u);
    bridge.signal(SIGINT);
    EXPECT_EQ(bridge.wait_exit(10s), 0);
}

TEST(ProgramSession, DeviceVanishingWhileWaitingDisconnectsAndIsFoundAgain) {
    REQUIRE_PRIVATE_NAMESPACE();
    Sim sim;
    sim.ok("plug FIRST");
    sim.ok("listen 1 5000 off");
    Child bridge = spawn_bridge();
    ASSERT_TRUE(bridge.wait_for(Child::Stream::Err, WAITING, 10s));
    sim.ok("unplug 1");
    ASSERT_TRUE(bridge.wait_for(Child::Stream::Out, DISCONNECTED, 10s)) << bridge.out();
    sim.ok("plug SECOND");  // re-plugged devices get a new id
    ASSERT_TRUE(bridge.wait_for(Child::Stream::Out, found("SECOND"), 10s)) << bridge.out();
    ASSERT_TRUE(bridge.wait_for(Child::Stream::Out, ROUTE_VIDEO, 15s));
    bridge.signal(SIGINT);
    EXPECT_EQ(bridge.wait_exit(10s), 0);
}

TEST(ProgramSession, TrackingRefusedAfterVideoClosesTheVideoTunnelBeforeTheNextAttempt) {
    REQUIRE_PRIVATE_NAMESPACE();
    Sim sim;
    sim.ok("plug HALFWAY");
    sim.ok("listen 1 4242 off");
    Child bridge = spawn_bridge();
    // Let a few attempts happen.
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(sim.wait_event("refused 1 4242", 20s)) << "attempt " << i;
    sim.ok("listen 1 4242 on");
    ASSERT_TRUE(bridge.wait_for(Child::Stream::Out, ROUTE_VIDEO, 20s));
    // Every video tunnel of a failed attempt was gone before the next attempt connected again.
    int open_video = 0, max_open_video = 0;
    for (const auto& e : sim.events()) {
        if (e == "connect 1 5000") ++open_video;
        if (e == "disconnect 1 5000") --open_video;
        max_open_video = std::max(max_open_video, open_video);
    }
    EXPECT_EQ(max_open_video, 1);
    EXPECT_EQ(bridge.count(Child::Stream::Out, "Found"), 1u);
    // And the session that finally started forwards normally.
    UdpReceiver video(5000);
    sim.ok("send 1 5000 " + to_hex("after"));
    EXPECT_EQ(video.receive(5s), "after");
    bridge.signal(SIGINT);
    EXPECT_EQ(bridge.wait_exit(10s), 0);
}

TEST(ProgramSession, UnansweredHealthChecksDelayButDoNotStopTheSession) {
    REQUIRE_PRIVATE_NAMESPACE();
    Streaming s;
    s.sim.ok("health 1 5000 ignore");
    s.sim.ok("health 1 4242 ignore");
    auto t0 = std::chrono::steady_clock::now();
    ASSERT_TRUE(s.sim.wait_event("connect 1 5000", 10s));
    auto connected = std::chrono::steady_clock::now();
    ASSERT_TRUE(s.bridge.wait_for(Child::Stream::Out, ROUTE_VIDEO, 20s));
    auto setup = std::chrono::steady_clock::now() - connected;
    EXPECT_GT(setup, 3500ms) << "two 2 s health-check waits";
    EXPECT_LT(setup, 10s);
    (void)t0;
    EXPECT_EQ(s.round_trip(5000, "late but fine"), "late but fine");
    s.bridge.signal(SIGINT);
    EXPECT_EQ(s.bridge.wait_exit(10s), 0);
}

// A stream closed or a bad length on either path ends the session: Disconnected, a 2 s pause, then
// the device is found again and a new session starts.
class ProgramSessionFault : public ::testing::TestWithParam<std::pair<const char*, const char*>> {};

TEST_P(ProgramSessionFault, EndsTheSessionAndReconnects) {
    REQUIRE_PRIVATE_NAMESPACE();
    Streaming s;
    s.wait_streaming();
    EXPECT_EQ(s.round_trip(5000, "before"), "before");
    auto [command, port] = GetParam();
    s.sim.ok(std::string(command) + " 1 " + port + (std::string(command) == "raw" ? " 00000000" : ""));
    auto t0 = std::chrono::steady_clock::now();
    ASSERT_TRUE(s.bridge.wait_for(Child::Stream::Out, DISCONNECTED, 10s)) << s.bridge.out();
    ASSERT_TRUE(
        s.bridge.wait_for(Child::Stream::Out, found("SIMSERIAL01"), 10s, s.bridge.out().find(DISCONNECTED)));
    EXPECT_GT(std::chrono::steady_clock::now() - t0, 1800ms) << "2 s pause before searching again";
    ASSERT_TRUE(s.bridge.wait_for(Child::Stream::Out, ROUTE_VIDEO, 15s, s.bridge.out().find(DISCONNECTED)));
    ASSERT_TRUE(s.sim.wait_event("connect 1 4242", 10s));
    EXPECT_EQ(s.round_trip(5000, "after"), "after");
    s.bridge.signal(SIGINT);
    EXPECT_EQ(s.bridge.wait_exit(10s), 0);
}

INSTANTIATE_TEST_SUITE_P(Faults, ProgramSessionFault,
                         ::testing::Values(std::pair{"close", "5000"}, std::pair{"close", "4242"},
                                           std::pair{"raw", "5000"}, std::pair{"raw", "4242"}),
                         [](const auto& param_info) {
                             return std::string(std::string(param_info.param.first) == "raw" ? "ZeroLength"
                                                                                             : "Closed") +
                                    (std::string(param_info.param.second) == "5000" ? "Video" : "Tracking");
                         });

TEST(ProgramSession, StopSignalsAreBlockedInEveryThreadAndReadByTheDriver) {
    REQUIRE_PRIVATE_NAMESPACE();
    // A SIGINT must never interrupt a forwarding thread's call or land on a thread that cannot pass
    // it on: every thread blocks it from the start, and the driver reads it from a signalfd.
    Streaming s;
    s.sim.ok("autostream 1 5000 rate=100 size=100");  // data on both ports: the end comes at once
    s.sim.ok("autostream 1 4242 rate=100 size=48");
    s.wait_streaming();
    // Each thread names itself once it runs, which can be a moment after the route lines.
    // The session's threads once each; the driver is the process's own (a sanitizer's threads are
    // named after the process too), and nothing else, no "ctrl-c" thread in particular.
    const std::set<std::string> session{"video-fwd", "video-feedback", "tracking-fwd"};
    std::vector<std::pair<std::string, bool>> threads;
    std::multiset<std::string> names;
    for (auto deadline = std::chrono::steady_clock::now() + 10s;
         std::chrono::steady_clock::now() < deadline;) {
        threads = stop_signals_blocked_by_thread(s.bridge.pid());
        names.clear();
        for (const auto& thread : threads) names.insert(thread.first);
        if (std::ranges::all_of(session, [&](const auto& n) { return names.count(n) == 1; })) break;
        std::this_thread::sleep_for(20ms);
    }
    for (const auto& name : session) EXPECT_EQ(names.count(name), 1u) << name;
    EXPECT_GE(names.count("vantrel-usb"), 1u);
    EXPECT_EQ(names.size(), session.size() + names.count("vantrel-usb")) << "a thread of another name";
    for (const auto& [name, blocked] : threads) EXPECT_TRUE(blocked) << name;
    s.bridge.signal(SIGTERM);
    ASSERT_EQ(s.bridge.wait_exit(10s), 0);
    EXPECT_TRUE(s.bridge.out().ends_with(GOODBYE));
}

TEST(ProgramSession, TwentyReconnectsLeaveDescriptorsAndThreadsAsInTheFirstSession) {
    REQUIRE_PRIVATE_NAMESPACE();
    Streaming s;
    // Both streams carry data, so every thread sees the end of a session at once.
    s.sim.ok("autostream 1 5000 rate=200 size=100");
    s.sim.ok("autostream 1 4242 rate=200 size=48");
    s.wait_streaming();
    auto drain_then_receive = [&s] {
        while (s.video.receive(0ms)) {
        }
        return s.video.receive(5s).has_value();
    };
    ASSERT_TRUE(drain_then_receive());
    const std::string fd_dir = "/proc/" + std::to_string(s.bridge.pid()) + "/fd";
    const std::string task_dir = "/proc/" + std::to_string(s.bridge.pid()) + "/task";
    const std::size_t fds = count_entries(fd_dir), threads = count_entries(task_dir);
    for (int cycle = 0; cycle < 20; ++cycle) {
        std::size_t mark = s.bridge.out().size();
        s.sim.ok(cycle % 2 == 0 ? "close 1 5000" : "close 1 4242");
        ASSERT_TRUE(s.bridge.wait_for(Child::Stream::Out, DISCONNECTED, 10s, mark)) << "cycle " << cycle;
        ASSERT_TRUE(s.bridge.wait_for(Child::Stream::Out, ROUTE_VIDEO, 20s, mark)) << "cycle " << cycle;
        ASSERT_TRUE(drain_then_receive()) << "cycle " << cycle;
    }
    EXPECT_EQ(count_entries(fd_dir), fds);
    EXPECT_EQ(count_entries(task_dir), threads);
    EXPECT_EQ(s.bridge.count(Child::Stream::Out, "Found"), 21u);
    s.bridge.signal(SIGINT);
    EXPECT_EQ(s.bridge.wait_exit(10s), 0);
}

using Clock = std::chrono::steady_clock;

// Ctrl+C ends the bridge at once wherever it is, and a failed stream ends the session at once even
// when the other stream is silent: nobody waits for a receive timeout.
TEST(ProgramSession, StopsWithinASecondInEveryState) {
    REQUIRE_PRIVATE_NAMESPACE();
    auto expect_quick_goodbye = [](Child& bridge, const char* state) {
        // Timed to the goodbye line: the process's own end may take longer under a sanitizer.
        const auto t0 = Clock::now();
        bridge.signal(SIGINT);
        ASSERT_TRUE(bridge.wait_for(Child::Stream::Out, GOODBYE, 10s)) << state;
        EXPECT_LT(Clock::now() - t0, 1s) << state;
        ASSERT_EQ(bridge.wait_exit(10s), 0) << state;
        EXPECT_TRUE(bridge.out().ends_with(GOODBYE)) << state;
        EXPECT_EQ(bridge.count(Child::Stream::Out, "Disconnected."), 0u) << state;
    };
    {
        Sim sim;
        Child bridge = spawn_bridge();
        ASSERT_TRUE(bridge.wait_for(Child::Stream::Err, "] Searching for iPhone...", 10s));
        std::this_thread::sleep_for(300ms);  // inside the wait between two searches
        expect_quick_goodbye(bridge, "searching");
    }
    {
        Sim sim;
        sim.ok("plug WAITER");
        sim.ok("listen 1 5000 off");
        Child bridge = spawn_bridge();
        ASSERT_TRUE(bridge.wait_for(Child::Stream::Err, WAITING, 10s));
        expect_quick_goodbye(bridge, "waiting for USB mode");
    }
    {
        Streaming s;
        s.sim.ok("autostream 1 5000 rate=2000 size=1200");
        s.sim.ok("autostream 1 4242 rate=100 size=48");
        s.wait_streaming();
        ASSERT_TRUE(s.video.receive(5s).has_value());
        expect_quick_goodbye(s.bridge, "streaming with data");
    }
    {
        Streaming s;
        s.wait_streaming();
        std::this_thread::sleep_for(500ms);
        expect_quick_goodbye(s.bridge, "streaming with a silent app");
    }
    {
        Streaming s;
        s.wait_streaming();
        const std::size_t mark = s.bridge.out().size();
        s.sim.ok("close 1 4242");  // video stays connected and silent
        const auto t0 = Clock::now();
        ASSERT_TRUE(s.bridge.wait_for(Child::Stream::Out, DISCONNECTED, 10s, mark));
        EXPECT_LT(Clock::now() - t0, 1s) << "the silent video stream was waited for";
    }
}

// A usbmuxd that accepts and then never answers, ListDevices first and then Connect: each request
// gives up after 5 s (ListDevices with its error line) and is retried, nothing is left open, and
// Ctrl+C during such a request ends the bridge once the request has given up.
TEST(ProgramSession, WedgedDaemonGivesUpAfterFiveSecondsAndRetries) {
    REQUIRE_PRIVATE_NAMESPACE();
    const std::string no_answer =
        E + "[31mError:" + E + "[0m " + E + "[2mI/O error: no answer from usbmuxd within 5 s" + E + "[0m\n";
    Sim sim({"--list-reply", "silent"});
    sim.ok("plug WEDGED");
    Child bridge = spawn_bridge();
    const auto t0 = Clock::now();
    ASSERT_TRUE(bridge.wait_for(Child::Stream::Out, no_answer, 15s)) << bridge.out();
    EXPECT_GT(Clock::now() - t0, 4s);
    const std::string fd_dir = "/proc/" + std::to_string(bridge.pid()) + "/fd";
    EXPECT_TRUE(sim.wait_event("list-devices", 10s)) << "no retry after the error";
    const std::size_t fds = count_entries(fd_dir);

    // The device list comes back; Connect is never answered: the app counts as not accepting yet
    // (the waiting line, no session), and the attempt is repeated.
    sim.ok("list-reply normal");
    sim.ok("connect-reply silent");
    ASSERT_TRUE(bridge.wait_for(Child::Stream::Out, found("WEDGED"), 10s, bridge.out().size()));
    std::size_t err_mark = bridge.err().size();
    const auto t1 = Clock::now();
    ASSERT_TRUE(bridge.wait_for(Child::Stream::Err, WAITING, 15s, err_mark)) << bridge.err();
    EXPECT_GT(Clock::now() - t1, 4s);
    err_mark = bridge.err().size();
    ASSERT_TRUE(bridge.wait_for(Child::Stream::Err, WAITING, 15s, err_mark))
        << "the attempt was not repeated";
    EXPECT_EQ(bridge.count(Child::Stream::Out, "Video"), 0u);
    EXPECT_LE(count_entries(fd_dir), fds + 1) << "a connection to the daemon was left open";

    // Ctrl+C while a Connect waits: the goodbye line comes once the request gave up (5 s at most).
    const auto stop = Clock::now();
    bridge.signal(SIGINT);
    ASSERT_EQ(bridge.wait_exit(15s), 0);
    EXPECT_LT(Clock::now() - stop, 7s);
    EXPECT_TRUE(bridge.out().ends_with(GOODBYE));
}

// Feedback flows while the app no longer reads: the video stream fails after the 5 s write limit and
// the bridge reconnects; Ctrl+C in that blocked state ends it at once.
TEST(ProgramSession, AppThatStopsReadingEndsTheSessionInsteadOfHangingIt) {
    REQUIRE_PRIVATE_NAMESPACE();
    Streaming s;
    s.sim.ok("autostream 1 5000 rate=200 size=1000");
    s.wait_streaming();
    sockaddr_in bridge_video{};
    ASSERT_TRUE(s.video.receive(5s, &bridge_video).has_value());
    // Feedback in bursts the bridge can take in (a single flood would overflow its socket), for as
    // long as `duration` or until `done`.
    const std::string big(2048, 'f');
    auto flood_feedback = [&](std::chrono::milliseconds duration, auto done) {
        for (const auto end = Clock::now() + duration; Clock::now() < end && !done();) {
            for (int i = 0; i < 20; ++i) s.video.send_to(big, bridge_video);
            s.bridge.pump_for(10ms);
        }
    };

    std::size_t mark = s.bridge.out().size();
    s.sim.ok("read 1 5000 off");
    const auto t0 = Clock::now();
    // No progress on the feedback for 5 s ends the session (generous bounds: a loaded machine).
    flood_feedback(20s, [&] { return s.bridge.out().find(DISCONNECTED, mark) != std::string::npos; });
    ASSERT_TRUE(s.bridge.wait_for(Child::Stream::Out, DISCONNECTED, 1s, mark)) << s.bridge.out();
    EXPECT_LT(Clock::now() - t0, 14s);
    ASSERT_TRUE(s.bridge.wait_for(Child::Stream::Out, ROUTE_VIDEO, 20s, mark)) << "no new session";

    ASSERT_TRUE(s.video.receive(5s, &bridge_video).has_value());
    mark = s.bridge.out().size();
    s.sim.ok("read 1 5000 off");
    flood_feedback(1500ms, [] { return false; });  // feedback waiting for the app, well inside its 5 s
    const auto stop = Clock::now();
    s.bridge.signal(SIGINT);
    ASSERT_TRUE(s.bridge.wait_for(Child::Stream::Out, GOODBYE, 10s));
    EXPECT_LT(Clock::now() - stop, 1s);
    ASSERT_EQ(s.bridge.wait_exit(10s), 0);
    EXPECT_EQ(s.bridge.count(Child::Stream::Out, "Disconnected."), 1u);
}

// Standard error is a full pipe that nobody reads: the transient lines are skipped, and the bridge
// still streams, reconnects after a failed stream and ends on Ctrl+C.
TEST(ProgramSession, ConsoleNobodyReadsHoldsNothingUp) {
    REQUIRE_PRIVATE_NAMESPACE();
    Streaming s({}, "SIMSERIAL01", /*stalled_stderr=*/true);
    s.wait_streaming();
    ASSERT_EQ(s.round_trip(5000, "through"), "through");
    const std::size_t mark = s.bridge.out().size();
    s.sim.ok("close 1 5000");
    ASSERT_TRUE(s.bridge.wait_for(Child::Stream::Out, DISCONNECTED, 10s, mark));
    ASSERT_TRUE(s.bridge.wait_for(Child::Stream::Out, ROUTE_VIDEO, 20s, mark)) << "no reconnect";
    s.bridge.signal(SIGINT);
    ASSERT_EQ(s.bridge.wait_exit(10s), 0);
    EXPECT_TRUE(s.bridge.out().ends_with(GOODBYE));
}

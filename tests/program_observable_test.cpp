// The real vantrel-usb as programs and service managers see it: --json events, systemd's notify
// socket, NO_COLOR, the journal's priorities and the stall timeout. In this test's private namespace,
// against vantrel-sim.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "support/namespace.h"
#include "support/process.h"
#include "support/sim.h"

using json = nlohmann::ordered_json;
using vantrel::test::Child;
using vantrel::test::Sim;
using vantrel::test::spawn_bridge;
using vantrel::test::to_hex;
using vantrel::test::UdpReceiver;
using namespace std::chrono_literals;

namespace {

// Every line of standard output, each of which must be a JSON object.
std::vector<json> events_of(const std::string& out) {
    std::vector<json> events;
    std::size_t at = 0;
    for (std::size_t end; (end = out.find('\n', at)) != std::string::npos; at = end + 1) {
        json event = json::parse(out.substr(at, end - at), nullptr, /*allow_exceptions=*/false);
        EXPECT_TRUE(event.is_object()) << out.substr(at, end - at);
        events.push_back(std::move(event));
    }
    EXPECT_EQ(at, out.size()) << "a line without its newline";
    return events;
}

std::vector<std::string> keys_of(const json& event) {
    std::vector<std::string> keys;
    for (const auto& [key, value] : event.items()) keys.push_back(key);
    return keys;
}

}  // namespace

// A whole --json run: start, searching, found (the serial whole), session, status with the exact
// totals the app sent, a disconnect with its stream and reason, goodbye last; every line is one JSON
// object with exactly its event's keys, and nothing else reaches standard output or standard error.
TEST(ProgramObservable, JsonEventsTellAWholeSession) {
    REQUIRE_PRIVATE_NAMESPACE();
    Sim sim;
    UdpReceiver video(5000), tracking(4242);
    const std::string serial = "00008030-001A2B3C4D5E6F70\"\x01";
    sim.ok("plug-hex " + to_hex(serial));
    Child bridge = spawn_bridge({"--json", "--status-interval", "1"});
    ASSERT_TRUE(bridge.wait_for(Child::Stream::Out, R"("event":"session")", 20s)) << bridge.out();
    for (std::size_t i = 0; i < 3; ++i) sim.ok("send 1 5000 " + to_hex(std::string(1000 + i, 'v')));
    sim.ok("send 1 4242 " + to_hex(std::string(48, 't')));
    ASSERT_TRUE(bridge.wait_for(Child::Stream::Out, R"("packets":3,"bytes":3003)", 10s)) << bridge.out();
    const std::size_t mark = bridge.out().size();
    sim.ok("close 1 4242");
    ASSERT_TRUE(bridge.wait_for(Child::Stream::Out, R"("event":"disconnected")", 10s, mark));
    bridge.signal(SIGTERM);
    ASSERT_EQ(bridge.wait_exit(10s), 0);
    EXPECT_EQ(bridge.err(), "");

    const auto events = events_of(bridge.out());
    ASSERT_GE(events.size(), 7u);
    std::vector<std::string> names;
    for (const auto& event : events) {
        names.push_back(event.value("event", "?"));
        const std::string time = event.value("time", "");
        EXPECT_EQ(time.size(), 24u) << time;  // 2026-12-09T06:16:31.123Z
        EXPECT_TRUE(time.ends_with("Z") && time[10] == 'T' && time[19] == '.') << time;
    }
    EXPECT_EQ(std::vector<std::string>(names.begin(), names.begin() + 4),
              (std::vector<std::string>{"start", "searching", "found", "session"}));
    EXPECT_EQ(names.back(), "goodbye");
    EXPECT_EQ(events[0]["version"], "1.0.0");
    EXPECT_EQ(events[2]["serial"], serial);
    EXPECT_EQ(events[2]["device_id"], 1);
    EXPECT_EQ(events[2]["connection"], "USB");
    EXPECT_EQ(events[3]["video"], "127.0.0.1:5000");
    EXPECT_EQ(events[3]["tracking"], "127.0.0.1:4242");
    const auto status =
        std::find_if(events.rbegin(), events.rend(), [](const json& e) { return e["event"] == "status"; });
    ASSERT_NE(status, events.rend());
    EXPECT_EQ(keys_of(*status), (std::vector<std::string>{"event", "time", "video", "tracking", "feedback"}));
    EXPECT_EQ((*status)["video"]["packets"], 3);
    EXPECT_EQ((*status)["video"]["bytes"], 3003);
    EXPECT_EQ((*status)["video"]["dropped"], 0);
    EXPECT_EQ((*status)["tracking"]["packets"], 1);
    EXPECT_EQ((*status)["tracking"]["bytes"], 48);
    EXPECT_TRUE((*status)["video"]["bytes_per_s"].is_number());
    EXPECT_EQ((*status)["feedback"], 0);
    const auto ended = std::find_if(events.begin(), events.end(),
                                    [](const json& e) { return e["event"] == "disconnected"; });
    ASSERT_NE(ended, events.end());
    EXPECT_EQ(keys_of(*ended), (std::vector<std::string>{"event", "time", "stream", "reason", "detail"}));
    EXPECT_EQ((*ended)["stream"], "tracking");
    EXPECT_EQ((*ended)["reason"], "end of stream");
}

// A daemon that stays missing is one error event, however often the search is retried.
TEST(ProgramObservable, AMissingDaemonIsOneErrorEvent) {
    REQUIRE_PRIVATE_NAMESPACE();
    Child bridge = spawn_bridge({"--json"});
    bridge.pump_for(5s);
    bridge.signal(SIGINT);
    ASSERT_EQ(bridge.wait_exit(10s), 0);
    const auto events = events_of(bridge.out());
    ASSERT_EQ(events.size(), 4u) << bridge.out();
    EXPECT_EQ(events[1]["event"], "searching");
    EXPECT_EQ(events[2]["event"], "error");
    EXPECT_EQ(events[2]["message"], "I/O error: Connection refused (os error 111)");
    EXPECT_EQ(events[3]["event"], "goodbye");
}

// A datagram socket as NOTIFY_SOCKET, with a watchdog of 1 s: READY=1 first, the state in words,
// keep-alives at least every half second, STOPPING=1 at the end.
TEST(ProgramObservable, SystemdHearsReadyStatusWatchdogAndStopping) {
    REQUIRE_PRIVATE_NAMESPACE();
    const std::string path = "/run/notify.sock";
    const int notify = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, path.size());
    ASSERT_EQ(::bind(notify, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    Sim sim;
    sim.ok("plug NOTIFIED");
    Child bridge = spawn_bridge({"--plain"}, {"NOTIFY_SOCKET=" + path, "WATCHDOG_USEC=1000000"});
    std::vector<std::pair<std::chrono::steady_clock::time_point, std::string>> messages;
    const auto collect = [&](std::chrono::milliseconds duration) {
        for (const auto end = std::chrono::steady_clock::now() + duration;
             std::chrono::steady_clock::now() < end;) {
            char buffer[4096];
            const ssize_t n = ::recv(notify, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n > 0)
                messages.emplace_back(std::chrono::steady_clock::now(),
                                      std::string(buffer, static_cast<std::size_t>(n)));
            else
                bridge.pump_for(20ms);
        }
    };
    collect(4s);
    bridge.signal(SIGTERM);
    ASSERT_EQ(bridge.wait_exit(10s), 0);
    collect(100ms);
    ::close(notify);

    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages.front().second, "READY=1");
    EXPECT_EQ(messages.back().second, "STOPPING=1");
    std::vector<std::string> statuses;
    std::vector<std::chrono::steady_clock::time_point> pings;
    for (const auto& [when, text] : messages) {
        if (text.starts_with("STATUS=")) statuses.push_back(text.substr(7));
        if (text == "WATCHDOG=1") pings.push_back(when);
    }
    EXPECT_NE(std::find(statuses.begin(), statuses.end(), "searching"), statuses.end());
    EXPECT_NE(std::find(statuses.begin(), statuses.end(), "found NOTIFIED"), statuses.end());
    EXPECT_TRUE(std::any_of(statuses.begin(), statuses.end(), [](const auto& s) {
        return s.starts_with("  V ");
    })) << "no status of the streaming session";
    ASSERT_GE(pings.size(), 6u) << "fewer keep-alives than every half second";
    for (std::size_t i = 1; i < pings.size(); ++i) EXPECT_LT(pings[i] - pings[i - 1], 900ms);
}

// NO_COLOR: no style sequence at all, the spinner still redraws its line; --plain output into the
// journal: error lines at priority 3.
TEST(ProgramObservable, NoColorAndTheJournalsPriorities) {
    REQUIRE_PRIVATE_NAMESPACE();
    Child plain_colours = spawn_bridge({}, {"NO_COLOR=1"});
    ASSERT_TRUE(plain_colours.wait_for(Child::Stream::Out, "Error: I/O error", 10s)) << plain_colours.out();
    plain_colours.signal(SIGINT);
    ASSERT_EQ(plain_colours.wait_exit(10s), 0);
    EXPECT_EQ(plain_colours.out(),
              "VantrelUSB v1.0.0\nUSB companion for Vantrel iOS\n\nError: I/O error: Connection refused (os "
              "error 111)\nGoodbye.\n");
    EXPECT_TRUE(plain_colours.err().starts_with("\x1b[2K\r[|] Searching for iPhone..."))
        << plain_colours.err();
    EXPECT_EQ(plain_colours.err().find("m"), std::string::npos) << "a style sequence";

    // The journal is recognised by the device and inode of standard output.
    Child journal =
        Child::spawn({"sh", "-c", "JOURNAL_STREAM=$(stat -L -c %d:%i /proc/$$/fd/1) exec \"$0\" --plain",
                      vantrel::test::built_program("vantrel-usb")});
    ASSERT_TRUE(journal.wait_for(Child::Stream::Out, "Error:", 10s)) << journal.out();
    journal.signal(SIGINT);
    ASSERT_EQ(journal.wait_exit(10s), 0);
    EXPECT_NE(journal.out().find("\n<3>Error: I/O error: Connection refused (os error 111)\n"),
              std::string::npos)
        << journal.out();
}

// A session whose app sends nothing ends after --stall-timeout, and the device is found again.
TEST(ProgramObservable, StalledSessionEndsAndIsFoundAgain) {
    REQUIRE_PRIVATE_NAMESPACE();
    Sim sim;
    sim.ok("plug QUIET");
    Child bridge = spawn_bridge({"--json", "--stall-timeout", "2"});
    ASSERT_TRUE(bridge.wait_for(Child::Stream::Out, R"("reason":"stalled")", 15s)) << bridge.out();
    const std::size_t mark = bridge.out().find(R"("reason":"stalled")");
    EXPECT_TRUE(bridge.wait_for(Child::Stream::Out, R"("event":"session")", 15s, mark)) << bridge.out();
    bridge.signal(SIGINT);
    ASSERT_EQ(bridge.wait_exit(10s), 0);
    EXPECT_NE(bridge.out().find(R"("stream":null)"), std::string::npos) << bridge.out();
}

// scripts/demo as a user meets it: it streams real video through the bridge, a Ctrl+C ends it with
// status 0 and leaves no process behind, and bad conditions get one line of explanation and start
// nothing.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "support/namespace.h"
#include "support/process.h"
#include "support/sim.h"

using vantrel::test::Child;
using vantrel::test::in_path;
using vantrel::test::UdpReceiver;
using namespace std::chrono_literals;

namespace {

const std::string DEMO = std::string(VANTREL_SOURCE_DIR) + "/scripts/demo";
const std::string BUILD_DIR = VANTREL_BUILD_DIR;
const std::string E = "\x1b";

struct ProcessInfo {
    pid_t ppid = 0;
    std::string start_time;  // with the pid, tells a process from a later one that reuses the pid
    std::string name;
};

// Every process now running, by pid.
std::map<pid_t, ProcessInfo> processes() {
    std::map<pid_t, ProcessInfo> all;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        std::ifstream stat(entry.path() / "stat");
        std::string line;
        if (!std::getline(stat, line)) continue;
        // pid (comm) state ppid ... ; comm may hold blanks, so fields are counted after the last ')'.
        auto close = line.rfind(')');
        if (close == std::string::npos) continue;
        ProcessInfo info;
        info.name = line.substr(line.find('(') + 1, close - line.find('(') - 1);
        std::istringstream rest(line.substr(close + 2));
        std::vector<std::string> fields;
        for (std::string f; rest >> f;) fields.push_back(f);
        if (fields.size() < 20) continue;
        info.ppid = std::stoi(fields[1]);
        info.start_time = fields[19];
        all[std::stoi(name)] = info;
    }
    return all;
}

// The processes whose parent chain leads to `root`.
std::map<pid_t, ProcessInfo> descendants(pid_t root) {
    auto all = processes();
    std::map<pid_t, ProcessInfo> found;
    for (const auto& [pid, info] : all) {
        for (pid_t p = info.ppid; p > 1; p = all.contains(p) ? all[p].ppid : 0) {
            if (p == root) {
                found[pid] = info;
                break;
            }
        }
    }
    return found;
}

// Reaps children that ended, then lists the ones still there (orphans come to this process, the
// subreaper) and kills them, so that a failing test leaves nothing behind either.
std::vector<std::string> remaining_children() {
    while (::waitpid(-1, nullptr, WNOHANG) > 0) {
    }
    std::vector<std::string> left;
    for (const auto& [pid, info] : processes()) {
        if (info.ppid != ::getpid()) continue;
        left.push_back(info.name + " (pid " + std::to_string(pid) + ")");
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
    return left;
}

// Whatever way a test ends, kills every process it left behind (with this process as the
// subreaper, that includes the orphans).
struct KillLeftovers {
    KillLeftovers() { EXPECT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0); }
    ~KillLeftovers() {
        for (const auto& [pid, info] : descendants(::getpid())) ::kill(pid, SIGKILL);
        while (::waitpid(-1, nullptr, 0) > 0) {
        }
    }
};

}  // namespace

TEST(DemoScript, StreamsVideoAndEndsCleanlyOnCtrlC) {
    REQUIRE_PRIVATE_NAMESPACE();
    if (!in_path("ffmpeg")) GTEST_SKIP() << "needs ffmpeg in PATH (scripts/setup installs it)";
    KillLeftovers guard;

    // setsid gives the demo a process group of its own, as a shell gives a foreground job: the
    // SIGINT below reaches the whole group, as Ctrl+C on a terminal does.
    Child demo = Child::spawn({"setsid", "bash", DEMO, "--no-setup"}, {"BUILD_DIR=" + BUILD_DIR});
    demo.close_stdin();

    // A status line with video at a real rate and tracking flowing.
    const std::regex streaming(E + "\\[32mV" + E + "\\[0m (\\d+KB/s|" + E + "\\[1m[\\d.]+MB/s).*" + E +
                               "\\[32mT" + E + "\\[0m ");
    bool seen = false;
    for (int i = 0; i < 240 && !seen && demo.running(); ++i) {
        demo.pump_for(500ms);
        seen = std::regex_search(demo.err(), streaming);
    }
    ASSERT_TRUE(seen) << "stdout:\n" << demo.out() << "\nstderr:\n" << demo.err();
    demo.pump_for(3s);  // a few seconds of watching, as a user would
    EXPECT_NE(demo.out().find(E + "[32mFound" + E + "[0m " + E + "[1mVANTREL-DEMO" + E + "[0m\n"),
              std::string::npos);

    auto started = descendants(demo.pid());
    std::multiset<std::string> names;
    for (const auto& [pid, info] : started) names.insert(info.name);
    EXPECT_EQ(names.count("vantrel-usb"), 1u);
    EXPECT_EQ(names.count("vantrel-sim"), 2u) << "the simulator and the tracking consumer";
    EXPECT_EQ(names.count("ffmpeg"), 2u) << "the encoder and the decoder";

    ASSERT_EQ(::kill(-demo.pid(), SIGINT), 0);
    ASSERT_EQ(demo.wait_exit(30s), 0) << demo.out() << demo.err();
    EXPECT_NE(demo.out().find(E + "[2mGoodbye." + E + "[0m\n"), std::string::npos) << demo.out();
    std::smatch summary;
    ASSERT_TRUE(
        std::regex_search(demo.out(), summary,
                          std::regex("\ndemo: the decoder decoded (\\d+) frames; the tracking consumer "
                                     "received (\\d+) packets\\.\n$")))
        << demo.out();
    EXPECT_GT(std::stoi(summary[1]), 0);
    EXPECT_GT(std::stoi(summary[2]), 0);

    auto now = processes();
    for (const auto& [pid, info] : started)
        EXPECT_FALSE(now.contains(pid) && now[pid].start_time == info.start_time)
            << info.name << " (pid " << pid << ") is still running";
    EXPECT_EQ(remaining_children(), std::vector<std::string>{});
}

TEST(DemoScript, ExplainsATakenPortInOneLineAndStartsNothing) {
    REQUIRE_PRIVATE_NAMESPACE();
    KillLeftovers guard;
    for (std::uint16_t port : {std::uint16_t{5000}, std::uint16_t{4242}}) {
        SCOPED_TRACE("port " + std::to_string(port));
        UdpReceiver squatter(port);
        // The part of the demo that runs inside its namespace, here run in this test's namespace.
        Child demo = Child::spawn({"bash", DEMO, "--inside", BUILD_DIR});
        demo.close_stdin();
        ASSERT_EQ(demo.wait_exit(30s), 1) << demo.err();
        EXPECT_EQ(demo.out(), "");
        const std::string prefix =
            "demo: UDP port " + std::to_string(port) + " is already taken in the demo's namespace by ";
        EXPECT_TRUE(demo.err().starts_with(prefix)) << demo.err();
        EXPECT_TRUE(demo.err().ends_with("; stop that program and try again\n")) << demo.err();
        EXPECT_EQ(std::count(demo.err().begin(), demo.err().end(), '\n'), 1) << demo.err();
        EXPECT_EQ(remaining_children(), std::vector<std::string>{});
    }
}

TEST(DemoScript, RefusesToRunWithoutRootInOneLine) {
    REQUIRE_PRIVATE_NAMESPACE();
    if (!in_path("setpriv")) GTEST_SKIP() << "needs setpriv (util-linux)";
    // A copy that an unprivileged user can read, wherever the source tree lives.
    std::filesystem::create_directories("/run/demo-copy/scripts");
    std::filesystem::copy_file(DEMO, "/run/demo-copy/scripts/demo",
                               std::filesystem::copy_options::overwrite_existing);
    Child demo = Child::spawn({"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "bash",
                               "/run/demo-copy/scripts/demo"});
    demo.close_stdin();
    ASSERT_EQ(demo.wait_exit(30s), 1) << demo.err();
    EXPECT_EQ(demo.out(), "");
    EXPECT_EQ(demo.err(),
              "demo: must run as root: it installs packages and needs a private network namespace (sudo "
              "scripts/demo)\n");
}

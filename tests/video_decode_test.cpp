// Real H.264 through the whole chain: ffmpeg encodes a test pattern to a file, vantrel-sim cuts the
// file into the app's packets, vantrel-usb forwards them to UDP 5000, and the datagrams, concatenated
// in arrival order, must be the file again and decode to every frame without an error, also while
// feedback flows back to the app.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "support/namespace.h"
#include "support/process.h"
#include "support/sim.h"

using vantrel::test::Child;
using vantrel::test::in_path;
using vantrel::test::Sim;
using vantrel::test::to_hex;
using vantrel::test::UdpReceiver;
using namespace std::chrono_literals;

namespace {

constexpr int FRAMES = 90;
// The test's private tmpfs: nothing written there outlives the test.
const std::string WORK_DIR = "/run";
const std::string E = "\x1b";
const std::string ROUTE_VIDEO = E + "[36mVideo" + E + "[0m    " + E + "[2mUSB:5000";

#define REQUIRE_FFMPEG()                                                                        \
    do {                                                                                        \
        if (!in_path("ffmpeg") || !in_path("ffprobe"))                                          \
            GTEST_SKIP() << "needs ffmpeg and ffprobe in PATH (scripts/setup installs ffmpeg)"; \
    } while (0)

struct Finished {
    int status;
    std::string out, err;
};

Finished run(const std::vector<std::string>& argv) {
    Child child = Child::spawn(argv);
    child.close_stdin();
    auto status = child.wait_exit(180s);
    return {status.value_or(-1), child.out(), child.err()};
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void write_file(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// FRAMES frames of a moving test pattern as a raw H.264 stream (Annex B, with B-frames).
std::string encode_test_video(const std::string& path) {
    Finished f = run({"ffmpeg",
                      "-nostdin",
                      "-v",
                      "error",
                      "-y",
                      "-f",
                      "lavfi",
                      "-i",
                      "testsrc2=size=320x240:rate=30",
                      "-frames:v",
                      std::to_string(FRAMES),
                      "-c:v",
                      "libx264",
                      "-preset",
                      "veryfast",
                      "-g",
                      "30",
                      "-bf",
                      "2",
                      "-f",
                      "h264",
                      path});
    EXPECT_EQ(f.status, 0) << f.err;
    return read_file(path);
}

// The number of frames that ffprobe decodes, as it prints it.
std::string decoded_frame_count(const std::string& path) {
    Finished f = run({"ffprobe", "-v", "error", "-count_frames", "-select_streams", "v:0", "-show_entries",
                      "stream=nb_read_frames", "-of", "default=noprint_wrappers=1:nokey=1", path});
    EXPECT_EQ(f.status, 0) << f.err;
    return f.out;
}

// Decodes the whole file, stopping at the first error; returns what the decoder reported.
Finished decode(const std::string& path) {
    return run({"ffmpeg", "-nostdin", "-v", "error", "-xerror", "-f", "h264", "-i", path, "-f", "null", "-"});
}

// The position of the first byte that differs, for a readable failure instead of two dumps.
std::string first_difference(const std::string& a, const std::string& b) {
    std::size_t i = 0;
    while (i < a.size() && i < b.size() && a[i] == b[i]) ++i;
    return "sizes " + std::to_string(a.size()) + " and " + std::to_string(b.size()) +
           ", first difference at byte " + std::to_string(i);
}

// The simulator with one attached phone, the receivers on 5000 and 4242, and the bridge streaming.
class VideoThroughBridge : public ::testing::Test {
protected:
    void SetUp() override {
        REQUIRE_PRIVATE_NAMESPACE();
        REQUIRE_FFMPEG();
        sim_.emplace();
        video_.emplace(5000);
        tracking_.emplace(4242);
        // Holds the whole stream even if this thread falls behind (root may exceed the system limit).
        int size = 32 << 20;
        ::setsockopt(video_->fd(), SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size);
        sim_->ok("plug VIDEO-PHONE");
        bridge_.emplace(vantrel::test::spawn_bridge());
        ASSERT_TRUE(sim_->wait_event("connect 1 4242", 20s)) << bridge_->out();
        ASSERT_TRUE(bridge_->wait_for(Child::Stream::Out, ROUTE_VIDEO, 20s)) << bridge_->out();
    }

    void TearDown() override {
        if (!bridge_) return;
        bridge_->signal(SIGINT);
        EXPECT_EQ(bridge_->wait_exit(15s), 0);
    }

    // The datagrams put together are the encoded file, byte for byte, and ffmpeg decodes all FRAMES
    // frames of them (written to `path`) without an error.
    static void expect_decodes_as_sent(const std::vector<std::string>& datagrams, const std::string& source,
                                       const std::string& path) {
        std::string received;
        for (const auto& d : datagrams) received += d;
        ASSERT_TRUE(received == source) << first_difference(received, source);
        write_file(path, received);
        EXPECT_EQ(decoded_frame_count(path), std::to_string(FRAMES) + "\n");
        Finished decoded = decode(path);
        EXPECT_EQ(decoded.status, 0);
        EXPECT_EQ(decoded.err, "") << "decode errors";
    }

    // Receives video datagrams until `expected_bytes` have arrived; `on_datagram` sees each one.
    template <typename OnDatagram>
    std::vector<std::string> receive_stream(std::size_t expected_bytes, OnDatagram on_datagram) {
        std::vector<std::string> datagrams;
        std::size_t total = 0;
        sockaddr_in from{};
        while (total < expected_bytes) {
            auto datagram = video_->receive(15s, &from);
            if (!datagram) break;
            total += datagram->size();
            datagrams.push_back(std::move(*datagram));
            on_datagram(datagrams.size(), total, from);
        }
        return datagrams;
    }

    std::optional<Sim> sim_;
    std::optional<UdpReceiver> video_, tracking_;
    std::optional<Child> bridge_;
};

TEST_F(VideoThroughBridge, EveryEncodedFrameDecodesAfterTheBridge) {
    const std::string source_path = WORK_DIR + "/encoded.h264";
    const std::string received_path = WORK_DIR + "/received.h264";
    const std::string source = encode_test_video(source_path);
    ASSERT_GT(source.size(), 10'000u);
    ASSERT_EQ(decoded_frame_count(source_path), std::to_string(FRAMES) + "\n") << "the encoder's own output";

    constexpr std::size_t CUT = 1000;
    sim_->ok("stream 1 5000 rate=1000 size=" + std::to_string(CUT) + " file=" + source_path);
    auto datagrams = receive_stream(source.size(), [](std::size_t, std::size_t, const sockaddr_in&) {});
    ASSERT_EQ(sim_->command("wait-stream 1 5000 30000", 35s), "ok");

    // One datagram per packet, cut where the simulator cut the file.
    const std::size_t packets = (source.size() + CUT - 1) / CUT;
    EXPECT_TRUE(sim_->wait_event("stream-done 1 5000 sent=" + std::to_string(packets), 5s));
    ASSERT_EQ(datagrams.size(), packets);
    for (std::size_t i = 0; i + 1 < datagrams.size(); ++i)
        ASSERT_EQ(datagrams[i].size(), CUT) << "datagram " << i;
    EXPECT_EQ(datagrams.back().size(), source.size() - (packets - 1) * CUT);
    EXPECT_FALSE(video_->receive(300ms)) << "nothing after the last packet";

    expect_decodes_as_sent(datagrams, source, received_path);
}

TEST_F(VideoThroughBridge, DecodesWhileFeedbackFlowsBackToTheApp) {
    const std::string source_path = WORK_DIR + "/encoded.h264";
    const std::string received_path = WORK_DIR + "/received.h264";
    const std::string source = encode_test_video(source_path);
    ASSERT_EQ(decoded_frame_count(source_path), std::to_string(FRAMES) + "\n") << "the encoder's own output";

    // Random cuts between 200 and 1400 bytes; feedback for every fifth datagram, as a decoder's
    // receiver reports would go, until shortly before the end (feedback waits for a video packet).
    constexpr std::size_t MAX_CUT = 1400;
    sim_->ok("events feedback on");
    sim_->ok("stream 1 5000 rate=1000 size=200-" + std::to_string(MAX_CUT) + " seed=7 file=" + source_path);
    std::vector<std::string> feedback_sent;
    auto datagrams =
        receive_stream(source.size(), [&](std::size_t index, std::size_t total, const sockaddr_in& from) {
            if (index % 5 != 0 || total + 20 * MAX_CUT > source.size()) return;
            char text[32];
            std::snprintf(text, sizeof text, "receiver-report-%05zu", index);
            feedback_sent.emplace_back(text);
            video_->send_to(feedback_sent.back(), from);
        });
    ASSERT_EQ(sim_->command("wait-stream 1 5000 30000", 35s), "ok");
    ASSERT_GE(feedback_sent.size(), 10u);

    // One more video packet drains whatever feedback is still queued in the bridge.
    sim_->ok("send 1 5000 " + to_hex("flush"));
    EXPECT_EQ(video_->receive(10s), "flush");
    const std::string count = std::to_string(feedback_sent.size());
    ASSERT_EQ(sim_->command("wait-feedback 1 5000 " + count + " 20000", 25s), "ok");

    // Every feedback datagram reached the app as one frame, in the order sent.
    std::vector<std::string> expected, relayed;
    for (const auto& f : feedback_sent)
        expected.push_back("feedback 1 5000 " + std::to_string(f.size()) + " " + to_hex(f.substr(0, 16)));
    for (const auto& e : sim_->events())
        if (e.starts_with("feedback ")) relayed.push_back(e);
    EXPECT_EQ(relayed, expected);
    std::string stats = sim_->ok("stats 1 5000");
    EXPECT_NE(stats.find(" feedback=" + count + " "), std::string::npos) << stats;
    EXPECT_TRUE(bridge_->wait_for(Child::Stream::Err, E + "[2mfb:" + E + "[0m" + count, 5s)) << "status line";

    for (const auto& d : datagrams) ASSERT_LE(d.size(), MAX_CUT);
    expect_decodes_as_sent(datagrams, source, received_path);
}

}  // namespace

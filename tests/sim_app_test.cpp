// vantrel-sim's app side: the health check, feedback, echo, streams and every fault, seen from the
// bridge's end of a tunnel through the simulated daemon.
#include <gtest/gtest.h>

#include <fstream>
#include <thread>

#include "sim/stamp.h"
#include "sim_support.h"
#include "support/namespace.h"

namespace vantrel::test {
namespace {

using Clock = std::chrono::steady_clock;

// A simulator with device 1 ("A") plugged and a tunnel to `port` open.
struct Rig {
    explicit Rig(std::uint16_t device_port = 5000) : port(device_port) {
        EXPECT_EQ(sim.command("plug A"), "ok id=1");
        tunnel = open_tunnel(1, port);
        EXPECT_TRUE(tunnel);
        EXPECT_EQ(sim.command("wait-connect 1 " + std::to_string(port)), "ok");
    }
    std::string cmd(const std::string& verb, const std::string& rest = "") {
        return sim.command(verb + " 1 " + std::to_string(port) + (rest.empty() ? "" : " " + rest));
    }
    int fd() const { return tunnel.get(); }

    std::uint16_t port;
    Sim sim;
    net::Fd tunnel;
};

TEST(SimApp, AnswersTheHealthCheckWithAFrame) {
    REQUIRE_PRIVATE_NAMESPACE();
    Rig rig;
    send_bytes(rig.fd(), HEALTH_REQUEST_FRAME);
    EXPECT_EQ(receive_bytes(rig.fd(), 7), HEALTH_REQUEST_FRAME);
    EXPECT_TRUE(rig.sim.saw_event("health 1 5000"));
    EXPECT_EQ(rig.cmd("wait-health"), "ok");
    EXPECT_EQ(rig.cmd("stats"), "ok connected=1 sent=0 bytes=0 feedback=0 feedback_bytes=0 health=1");
}

TEST(SimApp, HealthAnswerPayloadCanBeChosen) {
    REQUIRE_PRIVATE_NAMESPACE();
    Rig rig(4242);
    ASSERT_EQ(rig.cmd("health", "answer 0a0b0c0d"), "ok");
    send_bytes(rig.fd(), HEALTH_REQUEST_FRAME);
    EXPECT_EQ(receive_bytes(rig.fd(), 8), (Bytes{0, 0, 0, 4, 0x0A, 0x0B, 0x0C, 0x0D}));
}

TEST(SimApp, IgnoresTheHealthCheckWhenTold) {
    REQUIRE_PRIVATE_NAMESPACE();
    Rig rig;
    ASSERT_EQ(rig.cmd("health", "ignore"), "ok");
    send_bytes(rig.fd(), HEALTH_REQUEST_FRAME);
    EXPECT_TRUE(rig.sim.saw_event("health 1 5000"));
    EXPECT_EQ(receive_bytes(rig.fd(), 1, 1500ms), Bytes{});
}

TEST(SimApp, AnswersTheHealthCheckLateWhenTold) {
    REQUIRE_PRIVATE_NAMESPACE();
    Rig rig;
    ASSERT_EQ(rig.cmd("health", "late 1000"), "ok");
    auto sent = Clock::now();
    send_bytes(rig.fd(), HEALTH_REQUEST_FRAME);
    EXPECT_EQ(receive_bytes(rig.fd(), 7, 10s), HEALTH_REQUEST_FRAME);
    EXPECT_GE(Clock::now() - sent, 900ms);
}

TEST(SimApp, SplitsTheHealthAnswerInTimeWhenTold) {
    REQUIRE_PRIVATE_NAMESPACE();
    Rig rig;
    ASSERT_EQ(rig.cmd("health", "split 1000 0a0b0c0d0e"), "ok");
    auto sent = Clock::now();
    send_bytes(rig.fd(), HEALTH_REQUEST_FRAME);
    EXPECT_EQ(receive_bytes(rig.fd(), 7, 800ms), (Bytes{0, 0, 0, 5, 0x0A, 0x0B}))
        << "prefix and half at once";
    EXPECT_EQ(receive_bytes(rig.fd(), 3, 10s), (Bytes{0x0C, 0x0D, 0x0E}));
    EXPECT_GE(Clock::now() - sent, 900ms);
}

TEST(SimApp, ReportsEveryFrameAfterTheHealthCheckAsFeedback) {
    REQUIRE_PRIVATE_NAMESPACE();
    Rig rig;
    send_bytes(rig.fd(), HEALTH_REQUEST_FRAME);
    Bytes payload(20);
    for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<std::uint8_t>(0xA0 + i);
    Bytes frames = frame(payload);
    Bytes second =
        frame(Bytes{0xFE, 0x00, 0x01});  // a health-check payload after the first frame is feedback
    frames.insert(frames.end(), second.begin(), second.end());
    send_bytes(rig.fd(), frames);
    EXPECT_EQ(rig.cmd("wait-feedback", "2"), "ok");
    EXPECT_TRUE(rig.sim.saw_event("feedback 1 5000 20 a0a1a2a3a4a5a6a7a8a9aaabacadaeaf"));
    EXPECT_TRUE(rig.sim.saw_event("feedback 1 5000 3 fe0001"));
    EXPECT_EQ(rig.sim.count_events("health 1 5000"), 1u);
    EXPECT_EQ(rig.cmd("stats"), "ok connected=1 sent=0 bytes=0 feedback=2 feedback_bytes=23 health=1");

    ASSERT_EQ(rig.sim.command("events feedback off"), "ok");
    send_bytes(rig.fd(), frame(Bytes{0x77}));
    EXPECT_EQ(rig.cmd("wait-feedback", "3"), "ok");
    EXPECT_EQ(rig.sim.count_events("feedback 1 5000 1 77"), 0u);
}

TEST(SimApp, EchoesFramesAndInRawModeReportsAndEchoesBytes) {
    REQUIRE_PRIVATE_NAMESPACE();
    Rig rig;
    ASSERT_EQ(rig.cmd("echo", "on"), "ok");
    send_bytes(rig.fd(), frame(Bytes{1, 2, 3}));
    EXPECT_EQ(receive_bytes(rig.fd(), 7), (Bytes{0, 0, 0, 3, 1, 2, 3}));

    ASSERT_EQ(rig.cmd("mode", "raw"), "ok");
    send_bytes(rig.fd(), bytes_of("plain bytes"));
    EXPECT_EQ(receive_bytes(rig.fd(), 11), bytes_of("plain bytes"));
    EXPECT_TRUE(rig.sim.saw_event("data 1 5000 11 706c61696e206279746573"));
}

TEST(SimApp, AFrameAboveOneMebibyteFromTheBridgeClosesTheTunnel) {
    REQUIRE_PRIVATE_NAMESPACE();
    Rig rig;
    send_bytes(rig.fd(), Bytes{0x00, 0x10, 0x00, 0x01});
    EXPECT_TRUE(peer_closed(rig.fd()));
    EXPECT_TRUE(rig.sim.saw_event("bad-frame 1 5000 1048577"));
    EXPECT_TRUE(rig.sim.saw_event("disconnect 1 5000"));
}

TEST(SimApp, ANewTunnelToAPortReplacesTheOldOne) {
    REQUIRE_PRIVATE_NAMESPACE();
    Rig rig;
    net::Fd second = open_tunnel(1, 5000);
    ASSERT_TRUE(second);
    EXPECT_TRUE(peer_closed(rig.fd()));
    EXPECT_TRUE(rig.sim.saw_event("disconnect 1 5000"));
    ASSERT_EQ(rig.cmd("send", "aa"), "ok");
    EXPECT_EQ(receive_bytes(second.get(), 5), (Bytes{0, 0, 0, 1, 0xAA}));
}

TEST(SimStream, StampedStreamWithCountAndSkipLeavesExactlyThatGap) {
    REQUIRE_PRIVATE_NAMESPACE();
    Rig rig;
    ASSERT_EQ(rig.cmd("stream", "rate=0 size=30-60 count=20 stamp skip=5-9"), "ok");
    std::vector<std::uint64_t> sequences;
    for (int i = 0; i < 15; ++i) {
        auto payload = read_frame(rig.fd());
        ASSERT_TRUE(payload) << i;
        EXPECT_GE(payload->size(), 30u);
        EXPECT_LE(payload->size(), 60u);
        auto stamp = sim::read_stamp(payload->data(), payload->size());
        ASSERT_TRUE(stamp);
        EXPECT_EQ(stamp->stream_id, 5000u);
        EXPECT_LE(stamp->sent_ns, sim::monotonic_ns());
        sequences.push_back(stamp->sequence);
    }
    EXPECT_EQ(sequences, (std::vector<std::uint64_t>{0, 1, 2, 3, 4, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19}));
    EXPECT_EQ(rig.cmd("wait-stream"), "ok");
    EXPECT_TRUE(rig.sim.saw_event("stream-done 1 5000 sent=15"));
    EXPECT_EQ(receive_bytes(rig.fd(), 1, 300ms), Bytes{});
}

TEST(SimStream, SameSeedGivesTheSameSizesAndIdCanBeChosen) {
    REQUIRE_PRIVATE_NAMESPACE();
    Rig rig;
    std::vector<std::size_t> first, second;
    for (auto* sizes : {&first, &second}) {
        ASSERT_EQ(rig.cmd("stream", "size=24-1400 count=50 seed=7 stamp id=77"), "ok");
        for (int i = 0; i < 50; ++i) {
            auto payload = read_frame(rig.fd());
            ASSERT_TRUE(payload);
            EXPECT_EQ(sim::read_stamp(payload->data(), payload->size())->stream_id, 77u);
            sizes->push_back(payload->size());
        }
        ASSERT_EQ(rig.cmd("wait-stream"), "ok");
    }
    EXPECT_EQ(first, second);
    EXPECT_GT(*std::max_element(first.begin(), first.end()), *std::min_element(first.begin(), first.end()));
}

TEST(SimStream, RateLimitedStreamCannotRunAhead) {
    REQUIRE_PRIVATE_NAMESPACE();
    Rig rig;
    auto start = Clock::now();
    ASSERT_EQ(rig.cmd("stream", "rate=50 size=100 count=25"), "ok");
    for (int i = 0; i < 25; ++i) ASSERT_TRUE(read_frame(rig.fd()));
    // The 25th packet is due 480 ms after the first.
    EXPECT_GE(Clock::now() - start, 450ms);
    EXPECT_EQ(rig.cmd("wait-stream"), "ok");
}

TEST(SimStream, StopEndsAStreamWithoutItsDoneEvent) {
    REQUIRE_PRIVATE_NAMESPACE();
    Rig rig;
    ASSERT_EQ(rig.cmd("stream", "rate=200 size=10"), "ok");
    ASSERT_TRUE(read_frame(rig.fd()));
    ASSERT_EQ(rig.cmd("stop"), "ok");
    EXPECT_EQ(rig.cmd("wait-stream", "100"), "ok");
    EXPECT_EQ(rig.sim.count_events("stream-done 1 5000"), 0u);
}

TEST(SimStream, FileIsCutIntoPacketsOfTheGivenSize) {
    REQUIRE_PRIVATE_NAMESPACE();
    {
        std::ofstream out("/run/payload.bin", std::ios::binary);
        out << "0123456789";
    }
    Rig rig;
    ASSERT_EQ(rig.cmd("stream", "size=4 file=/run/payload.bin"), "ok");
    EXPECT_EQ(read_frame(rig.fd()), bytes_of("0123"));
    EXPECT_EQ(read_frame(rig.fd()), bytes_of("4567"));
    EXPECT_EQ(read_frame(rig.fd()), bytes_of("89"));
    EXPECT_TRUE(rig.sim.saw_event("stream-done 1 5000 sent=3"));

    ASSERT_EQ(rig.cmd("stream", "size=4 count=4 file=/run/payload.bin loop"), "ok");
    for (auto expected : {"0123", "4567", "89", "0123"}) EXPECT_EQ(read_frame(rig.fd()), bytes_of(expected));
    EXPECT_EQ(rig.cmd("stream", "file=/run/missing.bin").rfind("error: cannot open /run/missing.bin: ", 0),
              0u);
}

TEST(SimStream, AutostreamStartsOnEveryNewTunnelAfterTheHealthCheck) {
    REQUIRE_PRIVATE_NAMESPACE();
    Sim sim;
    ASSERT_EQ(sim.command("plug A"), "ok id=1");
    ASSERT_EQ(sim.command("autostream 1 4242 size=48 count=3 stamp"), "ok");
    for (int round = 0; round < 2; ++round) {
        net::Fd t = open_tunnel(1, 4242);
        ASSERT_TRUE(t);
        EXPECT_EQ(receive_bytes(t.get(), 1, 300ms), Bytes{}) << "nothing before the health check";
        send_bytes(t.get(), HEALTH_REQUEST_FRAME);
        EXPECT_EQ(read_frame(t.get()), (Bytes{0xFE, 0x00, 0x01}));
        for (std::uint64_t seq = 0; seq < 3; ++seq) {
            auto p = read_frame(t.get());
            ASSERT_TRUE(p);
            EXPECT_EQ(sim::read_stamp(p->data(), p->size())->sequence, seq);
        }
    }
}

TEST(SimFaults, LengthZeroAndAboveTheLimitArriveAfterTheQueuedFrames) {
    REQUIRE_PRIVATE_NAMESPACE();
    {
        Rig rig;
        ASSERT_EQ(rig.cmd("send", "01"), "ok");
        ASSERT_EQ(rig.cmd("fault", "zero-length"), "ok");
        EXPECT_EQ(receive_bytes(rig.fd(), 9), (Bytes{0, 0, 0, 1, 1, 0, 0, 0, 0}));
    }
    {
        Rig video(5000);
        ASSERT_EQ(video.cmd("fault", "over-length"), "ok");
        EXPECT_EQ(receive_bytes(video.fd(), 4), (Bytes{0x00, 0x01, 0x00, 0x01}));
    }
    {
        Rig tracking(4242);
        ASSERT_EQ(tracking.cmd("fault", "over-length"), "ok");
        EXPECT_EQ(receive_bytes(tracking.fd(), 4), (Bytes{0x00, 0x00, 0x04, 0x01}));
        // A fault leaves the app silent: no health answer any more, but the connection stays.
        send_bytes(tracking.fd(), HEALTH_REQUEST_FRAME);
        EXPECT_TRUE(tracking.sim.saw_event("health 1 4242"));
        EXPECT_EQ(receive_bytes(tracking.fd(), 1, 500ms), Bytes{});
    }
}

TEST(SimFaults, StopsInTheMiddleOfAPrefixOrAFrameAndStaysConnected) {
    REQUIRE_PRIVATE_NAMESPACE();
    {
        Rig rig;
        ASSERT_EQ(rig.cmd("fault", "half-prefix"), "ok");
        EXPECT_EQ(receive_bytes(rig.fd(), 3, 1s), (Bytes{0, 0}));
        EXPECT_EQ(rig.cmd("stats"), "ok connected=1 sent=0 bytes=0 feedback=0 feedback_bytes=0 health=0");
    }
    {
        Rig rig;
        ASSERT_EQ(rig.cmd("fault", "half-frame"), "ok");
        Bytes expected{0, 0, 0, 100};
        for (std::uint8_t i = 0; i < 50; ++i) expected.push_back(i);
        EXPECT_EQ(receive_bytes(rig.fd(), 55, 1s), expected);
        EXPECT_EQ(rig.cmd("wait-disconnect", "300"), "error: timeout");
    }
}

TEST(SimFaults, CloseAndSilentOnDemand) {
    REQUIRE_PRIVATE_NAMESPACE();
    {
        Rig rig;
        ASSERT_EQ(rig.cmd("stream", "rate=0 size=1000 count=100"), "ok");
        ASSERT_EQ(rig.cmd("close"), "ok");
        EXPECT_TRUE(rig.sim.saw_event("disconnect 1 5000"));
        // Whole frames only: the stream stopped at a frame boundary before the close.
        Bytes rest = receive_bytes(rig.fd(), 1 << 20, 2s);
        EXPECT_EQ(rest.size() % 1004, 0u);
        EXPECT_EQ(rig.cmd("close"), "error: no tunnel to 1 5000");
    }
    {
        Rig rig;
        send_bytes(rig.fd(), HEALTH_REQUEST_FRAME);
        ASSERT_EQ(receive_bytes(rig.fd(), 7), HEALTH_REQUEST_FRAME);
        ASSERT_EQ(rig.cmd("stream", "rate=100 size=10"), "ok");
        ASSERT_TRUE(read_frame(rig.fd()));
        ASSERT_EQ(rig.cmd("silent"), "ok");
        receive_bytes(rig.fd(), 1 << 16, 200ms);  // what was already on its way
        EXPECT_EQ(receive_bytes(rig.fd(), 1, 500ms), Bytes{});
        EXPECT_EQ(rig.cmd("wait-stream", "100"), "ok");
        send_bytes(rig.fd(), frame(Bytes{9}));
        EXPECT_EQ(rig.cmd("wait-feedback", "1"), "ok") << "a silent app still reads";
    }
}

TEST(SimFaults, AnAppThatStopsReadingLetsTheBridgesWritesBlockAndKeepsStreaming) {
    REQUIRE_PRIVATE_NAMESPACE();
    Rig rig;
    send_bytes(rig.fd(), HEALTH_REQUEST_FRAME);
    ASSERT_EQ(receive_bytes(rig.fd(), 7), HEALTH_REQUEST_FRAME);
    ASSERT_EQ(rig.cmd("read", "off"), "ok");
    ASSERT_EQ(rig.cmd("stream", "rate=100 size=10"), "ok");
    const Bytes one = frame(Bytes(1000, 7));
    std::uint64_t frames = 0;
    for (; frames < 100'000; ++frames)
        if (::send(rig.fd(), one.data(), one.size(), MSG_DONTWAIT | MSG_NOSIGNAL) != ssize_t(one.size()))
            break;
    EXPECT_LT(frames, 100'000u) << "the socket never filled up";
    EXPECT_TRUE(read_frame(rig.fd())) << "the stream goes on while the app does not read";
    std::string stats = rig.cmd("stats");
    EXPECT_NE(stats.find(" feedback=0 "), std::string::npos) << stats;

    ASSERT_EQ(rig.cmd("read", "on"), "ok");
    EXPECT_EQ(rig.cmd("wait-feedback", std::to_string(frames)), "ok");
    EXPECT_EQ(rig.cmd("read", "sometimes"), "error: usage: read N PORT on|off|rate BPS");
}

TEST(SimFaults, StreamThenActionFollowsTheLastPacket) {
    REQUIRE_PRIVATE_NAMESPACE();
    {
        Rig rig;
        ASSERT_EQ(rig.cmd("stream", "size=8 count=3 then=close"), "ok");
        for (int i = 0; i < 3; ++i) EXPECT_TRUE(read_frame(rig.fd()));
        EXPECT_TRUE(peer_closed(rig.fd()));
        EXPECT_TRUE(rig.sim.saw_event("stream-done 1 5000 sent=3"));
    }
    {
        Rig rig(4242);
        ASSERT_EQ(rig.cmd("stream", "size=8 count=2 then=zero-length"), "ok");
        for (int i = 0; i < 2; ++i) EXPECT_TRUE(read_frame(rig.fd()));
        EXPECT_EQ(receive_bytes(rig.fd(), 4), (Bytes{0, 0, 0, 0}));
    }
    {
        Rig rig;
        ASSERT_EQ(rig.cmd("stream", "size=8 count=2 then=unplug"), "ok");
        for (int i = 0; i < 2; ++i) EXPECT_TRUE(read_frame(rig.fd()));
        EXPECT_TRUE(peer_closed(rig.fd()));
        EXPECT_EQ(rig.sim.command("devices"), "ok count=0");
    }
}

TEST(SimDemo, OptionsDescribeADeviceThatStreamsStampedPackets) {
    REQUIRE_PRIVATE_NAMESPACE();
    Sim sim({"--no-tcp", "--stamp", "--video-rate", "200", "--video-size", "100", "--tracking-count", "2",
             "--tracking-then", "close", "--duration", "20"},
            false);
    net::Fd list = connect_unix();
    send_bytes(list.get(), message(1, xml_request("ListDevices")));
    auto r = read_reply(list.get());
    ASSERT_TRUE(r);
    plist_t entry =
        plist_array_get_item(plist_dict_get_item(static_cast<plist_t>(r->plist.get()), "DeviceList"), 0);
    EXPECT_EQ(plist_string(plist_dict_get_item(entry, "Properties"), "SerialNumber"), "VANTREL-SIM-0001");

    net::Fd video = open_tunnel(1, 5000);
    send_bytes(video.get(), HEALTH_REQUEST_FRAME);
    EXPECT_EQ(read_frame(video.get()), (Bytes{0xFE, 0x00, 0x01}));
    for (std::uint64_t seq = 0; seq < 3; ++seq) {
        auto p = read_frame(video.get());
        ASSERT_TRUE(p);
        EXPECT_EQ(p->size(), 100u);
        EXPECT_EQ(sim::read_stamp(p->data(), p->size())->sequence, seq);
    }
    net::Fd tracking = open_tunnel(1, 4242);
    send_bytes(tracking.get(), HEALTH_REQUEST_FRAME);
    EXPECT_EQ(read_frame(tracking.get()), (Bytes{0xFE, 0x00, 0x01}));
    EXPECT_EQ(read_frame(tracking.get())->size(), 48u);
    EXPECT_EQ(read_frame(tracking.get())->size(), 48u);
    EXPECT_TRUE(peer_closed(tracking.get()));
    EXPECT_TRUE(sim.saw_event("connect 1 5000"));
    EXPECT_EQ(sim.child().count(Child::Stream::Out, "event feedback"), 0u);
}

TEST(SimDemo, VideoFromStandardInputIsCutIntoPackets) {
    REQUIRE_PRIVATE_NAMESPACE();
    Sim sim({"--no-tcp", "--video-file", "-", "--video-size", "3", "--video-rate", "0", "--no-tracking"},
            false);
    net::Fd video = open_tunnel(1, 5000);
    send_bytes(video.get(), HEALTH_REQUEST_FRAME);
    EXPECT_EQ(read_frame(video.get()), (Bytes{0xFE, 0x00, 0x01}));
    EXPECT_EQ(receive_bytes(video.get(), 1, 300ms), Bytes{}) << "nothing on standard input yet";
    sim.child().write_stdin("abcde");
    EXPECT_EQ(read_frame(video.get()), bytes_of("abc"));
    sim.child().write_stdin("fg");
    EXPECT_EQ(read_frame(video.get()), bytes_of("def"));
    sim.child().close_stdin();
    EXPECT_EQ(read_frame(video.get()), bytes_of("g"));
    EXPECT_TRUE(sim.saw_event("stream-done 1 5000 sent=3"));
}

TEST(SimDemo, RefuseUntilAndHealthOptionsApplyToBothPorts) {
    REQUIRE_PRIVATE_NAMESPACE();
    Sim sim({"--no-tcp", "--refuse-until", "1", "--health", "ignore", "--no-video", "--no-tracking"}, false);
    for (std::uint16_t port : {std::uint16_t{5000}, std::uint16_t{4242}}) {
        net::Fd early = connect_unix();
        EXPECT_EQ(connect_result(early.get(), 1, port), 3u) << port;
    }
    std::this_thread::sleep_for(1500ms);
    net::Fd video = open_tunnel(1, 5000);
    ASSERT_TRUE(video);
    send_bytes(video.get(), HEALTH_REQUEST_FRAME);
    EXPECT_TRUE(sim.saw_event("health 1 5000"));
    EXPECT_EQ(receive_bytes(video.get(), 1, 500ms), Bytes{});
}

}  // namespace
}  // namespace vantrel::test

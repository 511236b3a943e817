// `vantrel-sim receive`: the statistics of stamped datagrams and the feedback it sends.
#include <gtest/gtest.h>
#include <signal.h>

#include "sim/stamp.h"
#include "sim_support.h"
#include "support/namespace.h"

namespace vantrel::test {
namespace {

Child start_receiver(std::vector<std::string> args) {
    std::vector<std::string> argv{built_program("vantrel-sim"), "receive"};
    argv.insert(argv.end(), args.begin(), args.end());
    Child c = Child::spawn(argv);
    EXPECT_TRUE(c.wait_for(Child::Stream::Out, "ready", 10s));
    return c;
}

Bytes stamped(std::uint32_t stream_id, std::uint64_t sequence, std::size_t size, std::uint64_t sent_ns = 0) {
    Bytes payload(size, 0x55);
    sim::write_stamp(payload.data(),
                     sim::Stamp{stream_id, sequence, sent_ns ? sent_ns : sim::monotonic_ns()});
    return payload;
}

// A UDP socket connected to a receiver port, as the bridge's sending socket.
net::Fd udp_to(std::uint16_t port) {
    return connect_tcp(port, SOCK_DGRAM);
}

void send_datagram(int fd, const Bytes& payload) {
    ::send(fd, payload.data(), payload.size(), 0);
}

std::string final_line(const Child& c, std::string_view stream) {
    auto pos = c.out().find("final " + std::string(stream) + " ");
    if (pos == std::string::npos) return "";
    return c.out().substr(pos, c.out().find('\n', pos) - pos);
}

TEST(SimReceiver, CountsAKnownGapAsExactlyThatLoss) {
    REQUIRE_PRIVATE_NAMESPACE();
    Child rx = start_receiver({"--quiet"});
    net::Fd video = udp_to(5000), tracking = udp_to(4242);
    for (std::uint64_t seq = 0; seq < 100; ++seq)
        if (seq < 40 || seq >= 50) send_datagram(video.get(), stamped(5000, seq, 1000));
    for (std::uint64_t seq = 0; seq < 20; ++seq) send_datagram(tracking.get(), stamped(4242, seq, 48));
    send_datagram(tracking.get(), bytes_of("no stamp here"));
    rx.signal(SIGTERM);
    ASSERT_EQ(rx.wait_exit(10s), 0);
    EXPECT_TRUE(final_line(rx, "video")
                    .starts_with("final video received=90 bytes=90000 lost=10 out_of_order=0 duplicates=0 "
                                 "restarts=0 unstamped=0 p50_us="))
        << rx.out();
    EXPECT_TRUE(final_line(rx, "tracking")
                    .starts_with("final tracking received=21 bytes=973 lost=0 out_of_order=0 duplicates=0 "
                                 "restarts=0 unstamped=1 p50_us="))
        << rx.out();
    EXPECT_NE(rx.out().find("final feedback sent=0\n"), std::string::npos);
    EXPECT_EQ(rx.out().find("t=1 "), std::string::npos) << "--quiet prints only the final lines";
}

TEST(SimReceiver, ReorderingRestartsAndDuplicatesAreToldApart) {
    REQUIRE_PRIVATE_NAMESPACE();
    Child rx = start_receiver({"--quiet"});
    net::Fd video = udp_to(5000);
    for (std::uint64_t seq : std::vector<std::uint64_t>{0, 1, 3, 2, 4, 4, 7, 0, 1, 2})
        send_datagram(video.get(), stamped(5000, seq, 100));
    rx.signal(SIGINT);
    ASSERT_EQ(rx.wait_exit(10s), 0);
    // 3 before 2 is one out of order (and no loss); 4 twice is a duplicate; 7 loses 5 and 6; the
    // second 0 is the sender starting over.
    EXPECT_TRUE(final_line(rx, "video")
                    .starts_with("final video received=10 bytes=1000 lost=2 out_of_order=1 duplicates=1 "
                                 "restarts=1 unstamped=0"))
        << rx.out();
}

TEST(SimReceiver, MeasuresLatencyFromTheStampAndWritesJson) {
    REQUIRE_PRIVATE_NAMESPACE();
    Child rx = start_receiver({"--json", "--duration", "1.5"});
    EXPECT_TRUE(rx.out().starts_with("{\"type\":\"ready\"}\n"));
    net::Fd video = udp_to(5000);
    // Stamped as sent 20 ms ago: every latency is at least that.
    for (std::uint64_t seq = 0; seq < 5; ++seq)
        send_datagram(video.get(), stamped(5000, seq, 64, sim::monotonic_ns() - 20'000'000));
    ASSERT_EQ(rx.wait_exit(10s), 0);
    EXPECT_NE(rx.out().find(R"({"type":"second","t":1,"stream":"video","received":5,"bytes":320,"lost":0,)"),
              std::string::npos)
        << rx.out();
    auto pos = rx.out().find(R"({"type":"final","stream":"video","received":5,)");
    ASSERT_NE(pos, std::string::npos) << rx.out();
    std::string line = rx.out().substr(pos, rx.out().find('\n', pos) - pos);
    auto p50 = line.find("\"p50_us\":");
    ASSERT_NE(p50, std::string::npos);
    EXPECT_GE(std::stod(line.substr(p50 + 9)), 19000.0) << line;
    EXPECT_NE(rx.out().find(R"({"type":"final","stream":"tracking","received":0,"bytes":0,"lost":0,)"
                            R"("out_of_order":0,"duplicates":0,"restarts":0,"unstamped":0,"p50_us":null,)"
                            R"("p99_us":null,"max_us":null})"),
              std::string::npos)
        << rx.out();
}

TEST(SimReceiver, SendsStampedFeedbackToTheSenderOfTheVideoDatagrams) {
    REQUIRE_PRIVATE_NAMESPACE();
    Child rx = start_receiver({"--feedback-rate", "20", "--feedback-size", "40", "--quiet"});
    net::Fd video = udp_to(5000);
    send_datagram(video.get(), stamped(5000, 0, 100));
    for (std::uint64_t seq = 0; seq < 3; ++seq) {
        Bytes got = receive_datagram(video.get(), 5s).value_or(Bytes{});
        ASSERT_EQ(got.size(), 40u);
        auto stamp = sim::read_stamp(got.data(), got.size());
        ASSERT_TRUE(stamp);
        EXPECT_EQ(stamp->stream_id, sim::FEEDBACK_STREAM_ID);
        EXPECT_EQ(stamp->sequence, seq);
    }
    rx.signal(SIGTERM);
    ASSERT_EQ(rx.wait_exit(10s), 0);
    EXPECT_NE(rx.out().find("final feedback sent="), std::string::npos);
}

TEST(SimReceiver, ReceiverAndDaemonServeOnIpv6Loopback) {
    REQUIRE_PRIVATE_NAMESPACE();
    Child rx = start_receiver(
        {"--video", "[::1]:5000", "--tracking=[::1]:4242", "--feedback-rate", "20", "--quiet"});
    net::Fd video = connect_to("[::1]:5000", SOCK_DGRAM);
    send_datagram(video.get(), stamped(5000, 0, 100));
    Bytes feedback = receive_datagram(video.get(), 5s).value_or(Bytes{});
    EXPECT_EQ(feedback.size(), 64u) << "feedback reaches the IPv6 sender";
    send_datagram(connect_to("[::1]:4242", SOCK_DGRAM).get(), stamped(4242, 0, 48));
    rx.signal(SIGTERM);
    ASSERT_EQ(rx.wait_exit(10s), 0);
    EXPECT_TRUE(final_line(rx, "tracking").starts_with("final tracking received=1 bytes=48 ")) << rx.out();

    Sim sim({"--no-unix", "--tcp", "[::1]:27015"});
    ASSERT_EQ(sim.command("plug V6"), "ok id=1");
    net::Fd client = connect_to("[::1]:27015");
    ASSERT_TRUE(client);
    EXPECT_EQ(connect_result(client.get(), 1, 5000), 0u);
    EXPECT_TRUE(sim.saw_event("connect 1 5000"));
}

TEST(SimReceiver, PrintsALinePerStreamEverySecond) {
    REQUIRE_PRIVATE_NAMESPACE();
    Child rx = start_receiver({"--duration", "2.2"});
    net::Fd tracking = udp_to(4242);
    send_datagram(tracking.get(), stamped(4242, 0, 48));
    ASSERT_EQ(rx.wait_exit(10s), 0);
    EXPECT_NE(rx.out().find("t=1 tracking received=1 bytes=48 lost=0 out_of_order=0 p50_us="),
              std::string::npos)
        << rx.out();
    EXPECT_NE(
        rx.out().find("t=2 video received=0 bytes=0 lost=0 out_of_order=0 p50_us=- p99_us=- max_us=-\n"),
        std::string::npos)
        << rx.out();
}

TEST(SimReceiver, PortInUseIsAnErrorWithStatusOne) {
    REQUIRE_PRIVATE_NAMESPACE();
    Child first = start_receiver({});
    Child second = Child::spawn({built_program("vantrel-sim"), "receive"});
    EXPECT_EQ(second.wait_exit(10s), 1);
    EXPECT_TRUE(
        second.err().starts_with("vantrel-sim receive: cannot bind 127.0.0.1:5000: Address already in use"))
        << second.err();
}

}  // namespace
}  // namespace vantrel::test

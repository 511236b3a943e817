#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <chrono>
#include <thread>
#include <variant>

#include "forwarder/setup.h"
#include "support/sockets.h"

using namespace vantrel;
using namespace vantrel::forwarder;
using namespace vantrel::test;
using namespace std::chrono_literals;

namespace {

const Bytes REQUEST_ON_WIRE = {0x00, 0x00, 0x00, 0x03, 0xFE, 0x00, 0x01};

PacketStream open_stream(net::Fd fd, std::size_t capacity) {
    auto stream = PacketStream::open(mux::DeviceStream{std::move(fd)}, capacity);
    EXPECT_TRUE(stream.has_value()) << stream.error().text();
    return std::move(*stream);
}

long receive_timeout_seconds(const PacketStream& stream) {
    timeval tv{};
    socklen_t len = sizeof tv;
    EXPECT_EQ(::getsockopt(stream.reader_fd(), SOL_SOCKET, SO_RCVTIMEO, &tv, &len), 0);
    EXPECT_EQ(tv.tv_usec, 0);
    return tv.tv_sec;
}

// The packet of a read's outcome, as bytes of its own (the stream's buffer is reused).
Bytes bytes_of(const std::variant<Packet, NoPacket>& outcome) {
    const auto* packet = std::get_if<Packet>(&outcome);
    return packet ? Bytes(packet->begin(), packet->end()) : Bytes{};
}

}  // namespace

TEST(HealthCheck, AnyReplyIsSuccessAndTheTimeoutIsFiveSecondsAgain) {
    for (const Bytes& reply : {Bytes{0x00}, Bytes{'n', 'o', 'p', 'e'}, pattern(1024, 1)}) {
        auto [program, app] = unix_stream_pair();
        auto stream = open_stream(std::move(program), MAX_TRACKING_PACKET);
        std::thread peer([&reply, fd = app.get()] {
            EXPECT_EQ(receive_bytes(fd, REQUEST_ON_WIRE.size()), REQUEST_ON_WIRE);
            send_bytes(fd, frame(reply));
        });
        const auto result = health_check(stream);
        peer.join();
        EXPECT_TRUE(result.has_value()) << result.error().text();
        EXPECT_EQ(receive_timeout_seconds(stream), 5);
    }
}

TEST(HealthCheck, SilentAppTimesOutAfterAboutTwoSeconds) {
    auto [program, app] = unix_stream_pair();
    auto stream = open_stream(std::move(program), MAX_VIDEO_PACKET);
    const auto start = std::chrono::steady_clock::now();
    const auto result = health_check(stream);
    const auto elapsed = std::chrono::steady_clock::now() - start;

    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().kind(), net::ErrorKind::TimedOut);
    EXPECT_EQ(result.error().text(), "health check timed out");
    EXPECT_GE(elapsed, 1500ms);
    EXPECT_LT(elapsed, 10s);
    EXPECT_EQ(receive_timeout_seconds(stream), 5);
    EXPECT_EQ(receive_bytes(app.get(), 7), REQUEST_ON_WIRE);
}

TEST(HealthCheck, LateReplyIsReadLaterAsAnOrdinaryPacketAndTheStreamStaysInStep) {
    const Bytes reply = frame(Bytes{'l', 'a', 't', 'e', '!'});
    // The reply is cut inside its prefix, then inside its payload; the rest comes after the check
    // has given up, followed by the next frame.
    for (const std::size_t in_time : {2u, 6u}) {
        auto [program, app] = unix_stream_pair();
        auto stream = open_stream(std::move(program), MAX_TRACKING_PACKET);
        send_bytes(app.get(), Bytes(reply.begin(), reply.begin() + static_cast<std::ptrdiff_t>(in_time)));
        const auto result = health_check(stream);
        ASSERT_FALSE(result.has_value()) << in_time;
        EXPECT_EQ(result.error().text(), "health check timed out");
        EXPECT_EQ(receive_timeout_seconds(stream), 5);

        Bytes rest(reply.begin() + static_cast<std::ptrdiff_t>(in_time), reply.end());
        const Bytes next = frame(Bytes{0x00, 0x00, 0x00, 0x07});  // looks like a prefix if read out of step
        rest.insert(rest.end(), next.begin(), next.end());
        send_bytes(app.get(), rest);
        const auto late = stream.read_packet();
        ASSERT_TRUE(late.has_value()) << late.error().text();
        ASSERT_TRUE(std::holds_alternative<Packet>(*late));
        EXPECT_EQ(bytes_of(*late), (Bytes{'l', 'a', 't', 'e', '!'})) << in_time;
        const auto after = stream.read_packet();
        ASSERT_TRUE(after.has_value()) << after.error().text();
        EXPECT_EQ(bytes_of(*after), (Bytes{0x00, 0x00, 0x00, 0x07})) << in_time;
    }
}

TEST(HealthCheck, TricklingReplyIsGivenUpAfterTwoSecondsInAllAndCompletedLater) {
    auto [program, app] = unix_stream_pair();
    auto stream = open_stream(std::move(program), MAX_TRACKING_PACKET);
    const Bytes payload = pattern(8, 0x61);
    std::thread peer([&payload, fd = app.get()] {
        EXPECT_EQ(receive_bytes(fd, REQUEST_ON_WIRE.size()), REQUEST_ON_WIRE);
        // One byte every 0.7 s, 8.4 s in all: no gap reaches 2 s, but the whole does.
        for (std::uint8_t byte : frame(payload)) {
            std::this_thread::sleep_for(700ms);
            send_bytes(fd, std::span(&byte, 1));
        }
    });
    const auto start = std::chrono::steady_clock::now();
    const auto result = health_check(stream);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 6s) << "the check waited for the trickle";
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().text(), "health check timed out");
    // What arrived is kept: the forwarding read completes the reply as one packet.
    const auto late = stream.read_packet();
    peer.join();
    ASSERT_TRUE(late.has_value()) << late.error().text();
    EXPECT_EQ(bytes_of(*late), payload);
}

TEST(HealthCheck, GivesWayAtOnceToTheInterrupt) {
    auto [program, app] = unix_stream_pair();
    auto stream = open_stream(std::move(program), MAX_TRACKING_PACKET);
    auto [interrupt, trigger] = unix_stream_pair();
    std::thread stopper([fd = trigger.get()] {
        std::this_thread::sleep_for(200ms);
        send_bytes(fd, Bytes{1});
    });
    const auto start = std::chrono::steady_clock::now();
    const auto result = health_check(stream, interrupt.get());
    stopper.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1500ms);
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().kind(), net::ErrorKind::Interrupted);
}

TEST(HealthCheck, BadReplyLengthFailsAndTheNextReadFollowsThePrefix) {
    auto [program, app] = unix_stream_pair();
    auto stream = open_stream(std::move(program), MAX_TRACKING_PACKET);
    send_bytes(app.get(), Bytes{0x00, 0x00, 0x04, 0x01, 0x00, 0x00, 0x00, 0x01, 0x2A});
    const auto result = health_check(stream);
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().kind(), net::ErrorKind::InvalidData);
    EXPECT_EQ(result.error().text(), "bad packet length");
    EXPECT_EQ(receive_timeout_seconds(stream), 5);

    const auto next = stream.read_packet();
    ASSERT_TRUE(next.has_value());
    EXPECT_EQ(bytes_of(*next), Bytes{0x2A});
}

TEST(HealthCheck, GoneAppFailsWithoutTouchingTheTimeout) {
    auto [program, app] = unix_stream_pair();
    auto stream = open_stream(std::move(program), MAX_TRACKING_PACKET);
    app.reset();
    const auto result = health_check(stream);
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().text(), "Broken pipe (os error 32)");
    EXPECT_EQ(receive_timeout_seconds(stream), 5);
}

TEST(HealthCheck, AppClosingAfterTheRequestGivesEndOfStream) {
    auto [program, app] = unix_stream_pair();
    auto stream = open_stream(std::move(program), MAX_TRACKING_PACKET);
    std::thread peer([&app] {
        EXPECT_EQ(receive_bytes(app.get(), REQUEST_ON_WIRE.size()), REQUEST_ON_WIRE);
        app.reset();
    });
    const auto result = health_check(stream);
    peer.join();
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().kind(), net::ErrorKind::UnexpectedEof);
    EXPECT_EQ(result.error().text(), "failed to fill whole buffer");
    EXPECT_EQ(receive_timeout_seconds(stream), 5);
}

TEST(CreateUdpSocket, BindsABlockingCloseOnExecSocketToAnEphemeralPort) {
    const auto video = create_udp_socket("127.0.0.1:0");
    ASSERT_TRUE(video.has_value()) << video.error().text();
    const sockaddr_in bound = local_address(video->get());
    EXPECT_EQ(ntohl(bound.sin_addr.s_addr), INADDR_LOOPBACK);
    EXPECT_NE(bound.sin_port, 0);
    int type = 0;
    socklen_t len = sizeof type;
    ASSERT_EQ(::getsockopt(video->get(), SOL_SOCKET, SO_TYPE, &type, &len), 0);
    EXPECT_EQ(type, SOCK_DGRAM);
    EXPECT_TRUE(::fcntl(video->get(), F_GETFD) & FD_CLOEXEC);
    EXPECT_FALSE(::fcntl(video->get(), F_GETFL) & O_NONBLOCK);

    const auto tracking = create_udp_socket("0.0.0.0:0");
    ASSERT_TRUE(tracking.has_value()) << tracking.error().text();
    EXPECT_EQ(local_address(tracking->get()).sin_addr.s_addr, htonl(INADDR_ANY));
    EXPECT_NE(local_address(tracking->get()).sin_port, 0);
}

TEST(CreateUdpSocket, BindFailureIsTheOsErrorAndLeavesNothingOpen) {
    const int next = ::fcntl(0, F_DUPFD_CLOEXEC, 3);
    ::close(next);
    // 192.0.2.1 (TEST-NET-1) is on no local interface.
    const auto socket = create_udp_socket("192.0.2.1:0");
    ASSERT_FALSE(socket.has_value());
    EXPECT_EQ(socket.error().raw_os_error(), EADDRNOTAVAIL);
    EXPECT_EQ(socket.error().text(), "Cannot assign requested address (os error 99)");
    EXPECT_FALSE(is_open(next));

    const auto unparsable = create_udp_socket("nowhere");
    ASSERT_FALSE(unparsable.has_value());
    EXPECT_EQ(unparsable.error().text(), "invalid socket address");
}

TEST(SetNonblocking, MakesReceivesReturnAtOnce) {
    auto socket = create_udp_socket("127.0.0.1:0");
    ASSERT_TRUE(socket.has_value());
    ASSERT_TRUE(set_nonblocking(socket->get()).has_value());
    EXPECT_TRUE(::fcntl(socket->get(), F_GETFL) & O_NONBLOCK);
    std::uint8_t byte = 0;
    EXPECT_EQ(::recv(socket->get(), &byte, 1, 0), -1);
    EXPECT_EQ(errno, EAGAIN);

    // A duplicate shares the mode, as the feedback thread's descriptor does.
    auto copy = socket->duplicate();
    ASSERT_TRUE(copy.has_value());
    EXPECT_TRUE(::fcntl(copy->get(), F_GETFL) & O_NONBLOCK);

    const auto bad = set_nonblocking(-1);
    ASSERT_FALSE(bad.has_value());
    EXPECT_EQ(bad.error().text(), "Bad file descriptor (os error 9)");
}

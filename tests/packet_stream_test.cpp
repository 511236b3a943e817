#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <random>
#include <thread>
#include <variant>

#include "forwarder/packet_stream.h"
#include "support/sockets.h"

using namespace vantrel;
using namespace vantrel::forwarder;
using namespace vantrel::test;

namespace {

PacketStream open_stream(net::Fd fd, std::size_t capacity) {
    auto stream = PacketStream::open(mux::DeviceStream{std::move(fd)}, capacity);
    EXPECT_TRUE(stream.has_value()) << stream.error().text();
    return std::move(*stream);
}

Bytes expect_packet(const ReadOutcome& outcome) {
    if (!outcome) {
        ADD_FAILURE() << "error: " << outcome.error().text();
        return {};
    }
    if (!std::holds_alternative<Packet>(*outcome)) {
        ADD_FAILURE() << "NoPacket";
        return {};
    }
    const Packet packet = std::get<Packet>(*outcome);
    return Bytes(packet.begin(), packet.end());
}

bool is_no_packet(const ReadOutcome& outcome) {
    return outcome.has_value() && std::holds_alternative<NoPacket>(*outcome);
}

void expect_error(const ReadOutcome& outcome, net::ErrorKind kind, std::string_view text) {
    ASSERT_FALSE(outcome.has_value());
    EXPECT_EQ(outcome.error().kind(), kind);
    EXPECT_EQ(outcome.error().text(), text);
}

timeval receive_timeout(int fd) {
    timeval tv{};
    socklen_t len = sizeof tv;
    EXPECT_EQ(::getsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, &len), 0);
    return tv;
}

// The descriptor number F_DUPFD_CLOEXEC would hand out next, from 3 up.
int lowest_free_descriptor() {
    int probe = ::fcntl(0, F_DUPFD_CLOEXEC, 3);
    ::close(probe);
    return probe;
}

}  // namespace

TEST(PacketStreamOpen, SetsFiveSecondTimeoutAndLowestCloseOnExecWriter) {
    auto [program, app] = unix_stream_pair();
    const int reader = program.get();
    const int expected_writer = lowest_free_descriptor();
    auto stream = open_stream(std::move(program), MAX_TRACKING_PACKET);

    EXPECT_EQ(stream.reader_fd(), reader);
    EXPECT_EQ(stream.writer_fd(), expected_writer);
    EXPECT_GE(stream.writer_fd(), 3);
    EXPECT_TRUE(::fcntl(stream.writer_fd(), F_GETFD) & FD_CLOEXEC);
    EXPECT_EQ(stream.capacity(), 1024u);
    const timeval tv = receive_timeout(stream.reader_fd());
    EXPECT_EQ(tv.tv_sec, 5);
    EXPECT_EQ(tv.tv_usec, 0);
}

TEST(PacketStreamOpen, ClosesTheStreamWhenTheTimeoutCannotBeSet) {
    int pipe_fds[2];
    ASSERT_EQ(::pipe2(pipe_fds, O_CLOEXEC), 0);
    net::Fd write_end(pipe_fds[1]);
    auto stream = PacketStream::open(mux::DeviceStream{net::Fd(pipe_fds[0])}, 16);
    ASSERT_FALSE(stream.has_value());
    EXPECT_EQ(stream.error().raw_os_error(), ENOTSOCK);
    EXPECT_EQ(stream.error().text(), "Socket operation on non-socket (os error 88)");
    EXPECT_FALSE(is_open(pipe_fds[0]));
}

TEST(PacketStreamOpen, ClosingReleasesBothDescriptors) {
    auto [program, app] = unix_stream_pair();
    int reader = -1, writer = -1;
    {
        auto stream = open_stream(std::move(program), 16);
        reader = stream.reader_fd();
        writer = stream.writer_fd();
        EXPECT_TRUE(is_open(reader));
        EXPECT_TRUE(is_open(writer));
    }
    EXPECT_FALSE(is_open(reader));
    EXPECT_FALSE(is_open(writer));
}

TEST(ReadPacket, DeliversFramesSentOneByteAtATime) {
    auto [program, app] = unix_stream_pair();
    auto stream = open_stream(std::move(program), MAX_VIDEO_PACKET);
    const std::vector<Bytes> payloads = {pattern(1, 9), pattern(300, 1), pattern(5, 200)};
    std::thread writer([&, fd = app.get()] {
        for (const auto& payload : payloads)
            for (std::uint8_t byte : frame(payload)) send_bytes(fd, std::span(&byte, 1));
    });
    for (const auto& payload : payloads) EXPECT_EQ(expect_packet(stream.read_packet()), payload);
    writer.join();
}

TEST(ReadPacket, DeliversFramesSentInRandomSizeChunksOverTcp) {
    auto [program, app] = tcp_stream_pair();
    auto stream = open_stream(std::move(program), MAX_VIDEO_PACKET);
    std::mt19937 random(20240611);
    std::vector<Bytes> payloads = {pattern(MAX_VIDEO_PACKET, 3), pattern(1, 4)};
    for (int i = 0; i < 40; ++i) {
        const auto size = std::uniform_int_distribution<std::size_t>(1, 5000)(random);
        payloads.push_back(pattern(size, static_cast<std::uint8_t>(i)));
    }
    Bytes wire;
    for (const auto& payload : payloads) {
        const auto framed = frame(payload);
        wire.insert(wire.end(), framed.begin(), framed.end());
    }
    std::thread writer([&, fd = app.get()] {
        std::mt19937 chunks(7);
        for (std::size_t at = 0; at < wire.size();) {
            const auto n =
                std::min(wire.size() - at, std::uniform_int_distribution<std::size_t>(1, 9000)(chunks));
            send_bytes(fd, std::span(wire).subspan(at, n));
            at += n;
            if (n % 3 == 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    for (const auto& payload : payloads) {
        const Bytes packet = expect_packet(stream.read_packet());
        ASSERT_EQ(packet.size(), payload.size());
        EXPECT_EQ(packet, payload);
    }
    writer.join();
}

TEST(ReadPacket, HandsOutFramesThatArrivedTogetherOneByOneAndStopsAtAPartialOne) {
    auto [program, app] = unix_stream_pair();
    auto stream = open_stream(std::move(program), MAX_TRACKING_PACKET);
    ASSERT_TRUE(stream.set_receive_timeout(1).has_value());
    // Three frames and the first two bytes of a fourth's prefix in one piece: one receive takes
    // them all in, and the packets come out whole, in order, each of its exact size.
    Bytes wire;
    for (const std::uint8_t seed : Bytes{1, 2, 3}) {
        const auto framed = frame(pattern(10u + seed, seed));
        wire.insert(wire.end(), framed.begin(), framed.end());
    }
    wire.insert(wire.end(), {0x00, 0x00});
    send_bytes(app.get(), wire);
    for (const std::uint8_t seed : Bytes{1, 2, 3})
        EXPECT_EQ(expect_packet(stream.read_packet()), pattern(10u + seed, seed));
    EXPECT_TRUE(is_no_packet(stream.read_packet()));
    send_bytes(app.get(), Bytes{0x00, 0x02, 0xAA, 0xBB});
    EXPECT_EQ(expect_packet(stream.read_packet()), (Bytes{0xAA, 0xBB}));
}

TEST(ReadPacket, AcceptsExactlyTheVideoCapacity) {
    auto [program, app] = unix_stream_pair();
    auto stream = open_stream(std::move(program), MAX_VIDEO_PACKET);
    std::thread writer([fd = app.get()] { send_bytes(fd, frame(pattern(65536, 5))); });
    EXPECT_EQ(expect_packet(stream.read_packet()), pattern(65536, 5));
    writer.join();

    send_bytes(app.get(), Bytes{0x00, 0x01, 0x00, 0x01});
    expect_error(stream.read_packet(), net::ErrorKind::InvalidData, "bad packet length");
}

TEST(ReadPacket, AcceptsExactlyTheTrackingCapacity) {
    auto [program, app] = unix_stream_pair();
    auto stream = open_stream(std::move(program), MAX_TRACKING_PACKET);
    send_bytes(app.get(), frame(pattern(1024, 6)));
    EXPECT_EQ(expect_packet(stream.read_packet()), pattern(1024, 6));

    send_bytes(app.get(), Bytes{0x00, 0x00, 0x04, 0x01});
    expect_error(stream.read_packet(), net::ErrorKind::InvalidData, "bad packet length");
}

TEST(ReadPacket, RejectsZeroLengthAndReadsNothingBeyondThePrefix) {
    auto [program, app] = unix_stream_pair();
    auto stream = open_stream(std::move(program), MAX_TRACKING_PACKET);
    Bytes wire = {0x00, 0x00, 0x00, 0x00};
    const auto next = frame(Bytes{0xAB, 0xCD});
    wire.insert(wire.end(), next.begin(), next.end());
    send_bytes(app.get(), wire);

    expect_error(stream.read_packet(), net::ErrorKind::InvalidData, "bad packet length");
    // The bytes after the rejected prefix are still there and form the next frame.
    EXPECT_EQ(expect_packet(stream.read_packet()), (Bytes{0xAB, 0xCD}));
}

TEST(ReadPacket, TimeoutBetweenFramesIsNoPacket) {
    auto [program, app] = unix_stream_pair();
    auto stream = open_stream(std::move(program), 64);
    ASSERT_TRUE(stream.set_receive_timeout(1).has_value());
    EXPECT_TRUE(is_no_packet(stream.read_packet()));
    send_bytes(app.get(), frame(Bytes{1, 2, 3}));
    EXPECT_EQ(expect_packet(stream.read_packet()), (Bytes{1, 2, 3}));
}

TEST(ReadPacket, KeepsPartialPrefixAcrossTimeout) {
    auto [program, app] = unix_stream_pair();
    auto stream = open_stream(std::move(program), 64);
    ASSERT_TRUE(stream.set_receive_timeout(1).has_value());

    send_bytes(app.get(), Bytes{0x00});
    EXPECT_TRUE(is_no_packet(stream.read_packet()));
    send_bytes(app.get(), Bytes{0x00, 0x00});
    EXPECT_TRUE(is_no_packet(stream.read_packet()));
    send_bytes(app.get(), Bytes{0x05, 'h', 'e', 'l', 'l', 'o'});
    EXPECT_EQ(expect_packet(stream.read_packet()), (Bytes{'h', 'e', 'l', 'l', 'o'}));

    // After a completed prefix the next frame starts afresh.
    send_bytes(app.get(), frame(Bytes{7}));
    EXPECT_EQ(expect_packet(stream.read_packet()), (Bytes{7}));
}

TEST(ReadPacket, KeptPrefixStillChecksTheLength) {
    auto [program, app] = unix_stream_pair();
    auto stream = open_stream(std::move(program), 64);
    ASSERT_TRUE(stream.set_receive_timeout(1).has_value());
    send_bytes(app.get(), Bytes{0x00, 0x00, 0x00});
    EXPECT_TRUE(is_no_packet(stream.read_packet()));
    send_bytes(app.get(), Bytes{0x41});
    expect_error(stream.read_packet(), net::ErrorKind::InvalidData, "bad packet length");
}

TEST(ReadPacket, TimeoutInsidePayloadIsAnError) {
    auto [program, app] = unix_stream_pair();
    auto stream = open_stream(std::move(program), 64);
    ASSERT_TRUE(stream.set_receive_timeout(1).has_value());
    send_bytes(app.get(), Bytes{0x00, 0x00, 0x00, 0x0A, 1, 2, 3});
    expect_error(stream.read_packet(), net::ErrorKind::WouldBlock,
                 "Resource temporarily unavailable (os error 11)");
}

TEST(ReadPacket, EndOfStreamAfterAFrameThenError) {
    auto [program, app] = unix_stream_pair();
    auto stream = open_stream(std::move(program), 64);
    send_bytes(app.get(), frame(Bytes{9, 8, 7}));
    app.reset();
    EXPECT_EQ(expect_packet(stream.read_packet()), (Bytes{9, 8, 7}));
    expect_error(stream.read_packet(), net::ErrorKind::UnexpectedEof, "failed to fill whole buffer");
}

TEST(ReadPacket, EndOfStreamInsideAFrameIsAnError) {
    {
        auto [program, app] = unix_stream_pair();
        auto stream = open_stream(std::move(program), 64);
        send_bytes(app.get(), Bytes{0x00, 0x00, 0x00, 0x08, 1, 2});
        app.reset();
        expect_error(stream.read_packet(), net::ErrorKind::UnexpectedEof, "failed to fill whole buffer");
    }
    {
        auto [program, app] = unix_stream_pair();
        auto stream = open_stream(std::move(program), 64);
        send_bytes(app.get(), Bytes{0x00, 0x00});
        app.reset();
        expect_error(stream.read_packet(), net::ErrorKind::UnexpectedEof, "failed to fill whole buffer");
    }
}

TEST(WritePacket, PutsPrefixThenPayloadOnTheWire) {
    auto [program, app] = unix_stream_pair();
    auto stream = open_stream(std::move(program), 64);
    const Bytes request = {0xFE, 0x00, 0x01};
    ASSERT_TRUE(stream.write_packet(request).has_value());
    EXPECT_EQ(receive_bytes(app.get(), 7), (Bytes{0x00, 0x00, 0x00, 0x03, 0xFE, 0x00, 0x01}));
    // Nothing follows the frame.
    EXPECT_EQ(receive_bytes(app.get(), 1, std::chrono::milliseconds(100)), Bytes{});

    ASSERT_TRUE(stream.write_packet(pattern(2048, 3)).has_value());
    Bytes expected = {0x00, 0x00, 0x08, 0x00};
    const auto payload = pattern(2048, 3);
    expected.insert(expected.end(), payload.begin(), payload.end());
    EXPECT_EQ(receive_bytes(app.get(), expected.size()), expected);
}

TEST(WritePacket, GoneAppIsABrokenPipeNotASignal) {
    auto [program, app] = unix_stream_pair();
    auto stream = open_stream(std::move(program), 64);
    app.reset();
    const auto written = stream.write_packet(Bytes{1});
    ASSERT_FALSE(written.has_value());
    EXPECT_EQ(written.error().raw_os_error(), EPIPE);
    EXPECT_EQ(written.error().text(), "Broken pipe (os error 32)");
}

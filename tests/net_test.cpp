#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <thread>
#include <vector>

#include "net/address.h"
#include "net/fd.h"
#include "net/io.h"
#include "net/io_error.h"
#include "net/wire.h"

using namespace vantrel::net;

namespace {

std::pair<Fd, Fd> stream_pair() {
    int sv[2];
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
    return {Fd(sv[0]), Fd(sv[1])};
}

bool is_open(int fd) {
    return ::fcntl(fd, F_GETFD) != -1;
}

// recv_resume from the start of `buffer`.
IoResult<void> receive_whole(int fd, std::span<std::uint8_t> buffer) {
    std::size_t filled = 0;
    return recv_resume(fd, buffer, filled);
}

}  // namespace

TEST(IoError, OsErrorTextIsDescriptionAndNumber) {
    EXPECT_EQ(IoError::from_errno(ECONNREFUSED).text(), "Connection refused (os error 111)");
    EXPECT_EQ(IoError::from_errno(EACCES).text(), "Permission denied (os error 13)");
    EXPECT_EQ(IoError::from_errno(ENOENT).raw_os_error(), ENOENT);
}

TEST(IoError, KindsFollowFromErrno) {
    EXPECT_EQ(IoError::from_errno(ECONNREFUSED).kind(), ErrorKind::Other);
    EXPECT_EQ(IoError::from_errno(EAGAIN).kind(), ErrorKind::WouldBlock);
    EXPECT_EQ(IoError::from_errno(EWOULDBLOCK).kind(), ErrorKind::WouldBlock);
    EXPECT_EQ(IoError::from_errno(ETIMEDOUT).kind(), ErrorKind::TimedOut);
    EXPECT_EQ(IoError::from_errno(EPROTO).kind(), ErrorKind::Other);
}

TEST(IoError, OwnMessagesHaveNoOsNumber) {
    IoError e(ErrorKind::InvalidData, "bad packet length");
    EXPECT_EQ(e.text(), "bad packet length");
    EXPECT_EQ(e.kind(), ErrorKind::InvalidData);
    EXPECT_FALSE(e.raw_os_error().has_value());
}

TEST(Fd, MoveLeavesEmptyAndClosesOnRelease) {
    auto [a, b] = stream_pair();
    int raw = a.get();
    Fd moved(std::move(a));
    EXPECT_EQ(a.get(), -1);
    EXPECT_EQ(moved.get(), raw);
    Fd other = std::move(b);
    int other_raw = other.get();
    other = std::move(moved);  // closes the descriptor `other` held
    EXPECT_FALSE(is_open(other_raw));
    EXPECT_TRUE(is_open(raw));
    other.reset();
    EXPECT_FALSE(is_open(raw));
}

TEST(Fd, DuplicateIsCloseOnExecAndAtLeastThree) {
    auto [a, b] = stream_pair();
    auto dup = a.duplicate();
    ASSERT_TRUE(dup.has_value());
    EXPECT_GE(dup->get(), 3);
    EXPECT_NE(dup->get(), a.get());
    EXPECT_TRUE(::fcntl(dup->get(), F_GETFD) & FD_CLOEXEC);
    Fd bad;
    auto fail = bad.duplicate();
    ASSERT_FALSE(fail.has_value());
    EXPECT_EQ(fail.error().raw_os_error(), EBADF);
}

TEST(RecvResume, FillsFromManySmallWrites) {
    auto [a, b] = stream_pair();
    std::thread writer([fd = b.get()] {
        for (std::uint8_t i = 0; i < 10; ++i) {
            ASSERT_EQ(::send(fd, &i, 1, 0), 1);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    std::vector<std::uint8_t> buf(10);
    auto r = receive_whole(a.get(), buf);
    writer.join();
    ASSERT_TRUE(r.has_value());
    for (std::uint8_t i = 0; i < 10; ++i) EXPECT_EQ(buf[i], i);
}

TEST(RecvResume, PeerClosingEarlyIsUnexpectedEof) {
    auto [a, b] = stream_pair();
    std::uint8_t two[2] = {1, 2};
    ASSERT_EQ(::send(b.get(), two, 2, 0), 2);
    b.reset();
    std::uint8_t buf[4];
    auto r = receive_whole(a.get(), buf);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().kind(), ErrorKind::UnexpectedEof);
    EXPECT_EQ(r.error().text(), "failed to fill whole buffer");
}

TEST(RecvResume, KeepsWhatArrivedBeforeATimeout) {
    auto [a, b] = stream_pair();
    timeval tv{0, 100000};
    ASSERT_EQ(::setsockopt(a.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv), 0);
    std::uint8_t part[3] = {7, 8, 9};
    ASSERT_EQ(::send(b.get(), part, 3, 0), 3);
    std::uint8_t buf[5] = {};
    std::size_t filled = 0;
    auto r = recv_resume(a.get(), buf, filled);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().kind(), ErrorKind::WouldBlock);
    EXPECT_EQ(filled, 3u);
    std::uint8_t rest[2] = {10, 11};
    ASSERT_EQ(::send(b.get(), rest, 2, 0), 2);
    ASSERT_TRUE(recv_resume(a.get(), buf, filled).has_value());
    EXPECT_EQ(std::vector<std::uint8_t>(buf, buf + 5), (std::vector<std::uint8_t>{7, 8, 9, 10, 11}));
}

TEST(SendAll, DeadPeerGivesBrokenPipeNotASignal) {
    auto [a, b] = stream_pair();
    b.reset();
    // With SIGPIPE at its default, a send without MSG_NOSIGNAL would end this process.
    std::signal(SIGPIPE, SIG_DFL);
    std::vector<std::uint8_t> data(1000, 0x55);
    auto r = send_all(a.get(), data);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().raw_os_error(), EPIPE);
    EXPECT_EQ(r.error().text(), "Broken pipe (os error 32)");
}

TEST(SendAll, LargeBufferArrivesWhole) {
    auto [a, b] = stream_pair();
    std::vector<std::uint8_t> data(4 << 20);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 31);
    std::vector<std::uint8_t> got(data.size());
    std::thread reader([&, fd = b.get()] { ASSERT_TRUE(receive_whole(fd, got).has_value()); });
    ASSERT_TRUE(send_all(a.get(), data).has_value());
    reader.join();
    EXPECT_EQ(got, data);
}
TEST(SocketAddressParse, ReadsNumericIpv4AndBracketedIpv6AndSaysThemBackTheSame) {
    const auto video = parse_socket_address("127.0.0.1:5000");
    ASSERT_TRUE(video.has_value());
    EXPECT_EQ(video->family(), AF_INET);
    EXPECT_EQ(video->size(), sizeof(sockaddr_in));
    EXPECT_EQ(ntohl(reinterpret_cast<const sockaddr_in*>(video->get())->sin_addr.s_addr), 0x7F000001u);
    EXPECT_EQ(video->port(), 5000);
    EXPECT_TRUE(video->is_loopback());
    for (std::string_view text :
         {"0.0.0.0:0", "10.1.2.3:65535", "[::1]:6000", "[::]:0", "[2001:db8::7]:1", "[::ffff:127.0.0.2]:9"}) {
        const auto parsed = parse_socket_address(text);
        ASSERT_TRUE(parsed.has_value()) << text;
        EXPECT_EQ(parsed->text(), text);
    }
    EXPECT_EQ(parse_socket_address("[::1]:6000")->family(), AF_INET6);
    EXPECT_TRUE(parse_socket_address("[::ffff:127.0.0.2]:9")->is_loopback());
    EXPECT_FALSE(parse_socket_address("[2001:db8::7]:1")->is_loopback());
    EXPECT_FALSE(parse_socket_address("192.0.2.10:5000")->is_loopback());
}

TEST(SocketAddressParse, RejectsNamesAndMalformedForms) {
    for (std::string_view text : {"localhost:5000", "127.0.0.1", "127.0.0.1:", ":5000", "127.0.0.1:65536",
                                  "127.0.0.1:-1", "127.0.0.1:+5", "127.0.0.1:50x", "1.2.3:5", "::1:5000",
                                  "[127.0.0.1]:5000", "[::1]", "[::1:5000", "127.0.0.1:http", ""}) {
        const auto parsed = parse_socket_address(text);
        ASSERT_FALSE(parsed.has_value()) << text;
        EXPECT_EQ(parsed.error().kind(), ErrorKind::InvalidInput) << text;
        EXPECT_EQ(parsed.error().text(), "invalid socket address") << text;
    }
    // Looking up: port 0 is nobody's, and what cannot be a name says why.
    EXPECT_EQ(resolve_socket_address("[::1]:0").error(), "port 0");
    EXPECT_EQ(resolve_socket_address("[::1]:65536").error(), "port above 65535");
    EXPECT_EQ(resolve_socket_address("[localhost]:5").error(), "not an IPv6 address in brackets");
    EXPECT_EQ(resolve_socket_address("1.2.3:5").error(), "not an IPv4 address");
}

TEST(Wire, FixedWidthIntegersInBothByteOrders) {
    std::uint8_t bytes[4];
    store_be32(bytes, 0x01020304);
    EXPECT_EQ(std::vector<std::uint8_t>(bytes, bytes + 4), (std::vector<std::uint8_t>{1, 2, 3, 4}));
    EXPECT_EQ(load_be32(bytes), 0x01020304u);
    EXPECT_EQ(load_le32(bytes), 0x04030201u);
    store_le32(bytes, 0xFFEE0011);
    EXPECT_EQ(std::vector<std::uint8_t>(bytes, bytes + 4), (std::vector<std::uint8_t>{0x11, 0, 0xEE, 0xFF}));
    std::uint8_t wide[8];
    store_le64(wide, 0x0102030405060708);
    EXPECT_EQ(std::vector<std::uint8_t>(wide, wide + 8), (std::vector<std::uint8_t>{8, 7, 6, 5, 4, 3, 2, 1}));
    EXPECT_EQ(load_le64(wide), 0x0102030405060708u);
    static_assert(swap_port(swap_port(5000)) == 5000);
}

TEST(DeadlineIo, CompletesInPiecesAndTimesOutWithTheGivenError) {
    using namespace std::chrono_literals;
    auto [a, b] = stream_pair();
    const IoError late(ErrorKind::TimedOut, "too late");
    std::thread writer([fd = b.get()] {
        for (char c : std::string("abcd")) {
            std::this_thread::sleep_for(20ms);
            ASSERT_EQ(::send(fd, &c, 1, 0), 1);
        }
    });
    std::uint8_t buf[4] = {};
    EXPECT_TRUE(recv_all_until(a.get(), buf, std::chrono::steady_clock::now() + 10s, late).has_value());
    writer.join();
    EXPECT_EQ(std::string(buf, buf + 4), "abcd");

    // Nothing more arrives, and a writer whose peer never reads fills the socket: both give `late`.
    auto got = recv_all_until(a.get(), buf, std::chrono::steady_clock::now() + 50ms, late);
    ASSERT_FALSE(got.has_value());
    EXPECT_EQ(got.error(), late);
    std::vector<std::uint8_t> big(16 << 20);
    auto sent = send_all_until(a.get(), big, std::chrono::steady_clock::now() + 100ms, late);
    ASSERT_FALSE(sent.has_value());
    EXPECT_EQ(sent.error(), late);

    // A shutdown wakes a waiting receive at once with end of stream.
    std::thread closer([fd = b.get()] {
        std::this_thread::sleep_for(50ms);
        ::shutdown(fd, SHUT_RDWR);
    });
    got = recv_all_until(a.get(), buf, std::chrono::steady_clock::now() + 10s, late);
    closer.join();
    ASSERT_FALSE(got.has_value());
    EXPECT_EQ(got.error().kind(), ErrorKind::UnexpectedEof);
}

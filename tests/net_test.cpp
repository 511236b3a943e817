#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <thread>
#include <vector>

#include "net/fd.h"
#include "net/io.h"
#include "net/io_error.h"

using namespace vantrel::net;

namespace {

std::pair<Fd, Fd> stream_pair() {
    int sv[2];
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
    return {Fd(sv[0]), Fd(sv[1])};
}

bool is_open(int fd) { return ::fcntl(fd, F_GETFD) != -1; }

}  // namespace

TEST(IoError, OsErrorTextIsDescriptionAndNumber) {
    EXPECT_EQ(IoError::from_errno(ECONNREFUSED).text(), "Connection refused (os error 111)");
    EXPECT_EQ(IoError::from_errno(EACCES).text(), "Permission denied (os error 13)");
    EXPECT_EQ(IoError::from_errno(ENOENT).raw_os_error(), ENOENT);
}

TEST(IoError, KindsFollowFromErrno) {
    EXPECT_EQ(IoError::from_errno(ECONNREFUSED).kind(), ErrorKind::ConnectionRefused);
    EXPECT_EQ(IoError::from_errno(EAGAIN).kind(), ErrorKind::WouldBlock);
    EXPECT_EQ(IoError::from_errno(EWOULDBLOCK).kind(), ErrorKind::WouldBlock);
    EXPECT_EQ(IoError::from_errno(ETIMEDOUT).kind(), ErrorKind::TimedOut);
    EXPECT_EQ(IoError::from_errno(EPIPE).kind(), ErrorKind::BrokenPipe);
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

TEST(RecvAll, FillsFromManySmallWrites) {
    auto [a, b] = stream_pair();
    std::thread writer([fd = b.get()] {
        for (std::uint8_t i = 0; i < 10; ++i) {
            ASSERT_EQ(::send(fd, &i, 1, 0), 1);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    std::vector<std::uint8_t> buf(10);
    auto r = recv_all(a.get(), buf);
    writer.join();
    ASSERT_TRUE(r.has_value());
    for (std::uint8_t i = 0; i < 10; ++i) EXPECT_EQ(buf[i], i);
}

TEST(RecvAll, PeerClosingEarlyIsUnexpectedEof) {
    auto [a, b] = stream_pair();
    std::uint8_t two[2] = {1, 2};
    ASSERT_EQ(::send(b.get(), two, 2, 0), 2);
    b.reset();
    std::uint8_t buf[4];
    auto r = recv_all(a.get(), buf);
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
    EXPECT_EQ(r.error().kind(), ErrorKind::BrokenPipe);
    EXPECT_EQ(r.error().text(), "Broken pipe (os error 32)");
}

TEST(SendAll, LargeBufferArrivesWhole) {
    auto [a, b] = stream_pair();
    std::vector<std::uint8_t> data(4 << 20);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 31);
    std::vector<std::uint8_t> got(data.size());
    std::thread reader([&, fd = b.get()] { ASSERT_TRUE(recv_all(fd, got).has_value()); });
    ASSERT_TRUE(send_all(a.get(), data).has_value());
    reader.join();
    EXPECT_EQ(got, data);
}

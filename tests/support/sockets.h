// The tests' one set of socket helpers: stream pairs standing in for the app's tunnel, connections to
// the simulated daemon, UDP consumers on ephemeral loopback ports, whole sends, bounded reads, frames
// of the device protocol, and small waits.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "net/address.h"
#include "net/fd.h"
#include "net/wire.h"

namespace vantrel::test {

using Bytes = std::vector<std::uint8_t>;

// A connected pair of Unix stream sockets: {program's end, app's end}.
inline std::pair<net::Fd, net::Fd> unix_stream_pair() {
    int sv[2];
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
    return {net::Fd(sv[0]), net::Fd(sv[1])};
}

inline sockaddr_in local_address(int fd) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    EXPECT_EQ(::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length), 0);
    return address;
}

// A connected pair of loopback TCP sockets with TCP_NODELAY: {program's end, app's end}.
inline std::pair<net::Fd, net::Fd> tcp_stream_pair() {
    net::Fd listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::bind(listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(::listen(listener.get(), 1), 0);
    address = local_address(listener.get());
    net::Fd client(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    EXPECT_EQ(::connect(client.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    net::Fd server(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
    int one = 1;
    ::setsockopt(client.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    ::setsockopt(server.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return {std::move(client), std::move(server)};
}

// A UDP socket on 127.0.0.1 with a port chosen by the system.
inline net::Fd udp_on_loopback() {
    net::Fd socket(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::bind(socket.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    return socket;
}

inline void send_datagram(int fd, const sockaddr_in& to, std::span<const std::uint8_t> payload) {
    ASSERT_EQ(
        ::sendto(fd, payload.data(), payload.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to),
        static_cast<ssize_t>(payload.size()));
}

// The next datagram on `fd`, or nothing when none arrives within `timeout`.
inline std::optional<Bytes> receive_datagram(int fd,
                                             std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    pollfd p{.fd = fd, .events = POLLIN, .revents = 0};
    if (::poll(&p, 1, static_cast<int>(timeout.count())) != 1) return std::nullopt;
    Bytes buffer(70000);
    ssize_t n = ::recv(fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
    if (n < 0) return std::nullopt;
    buffer.resize(static_cast<std::size_t>(n));
    return buffer;
}

// Everything that arrives on a stream socket until `count` bytes are in, the peer closes or `timeout`
// passes.
inline Bytes receive_bytes(int fd, std::size_t count,
                           std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    Bytes out;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (out.size() < count) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd p{.fd = fd, .events = POLLIN, .revents = 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) != 1) break;
        std::uint8_t buffer[65536];
        ssize_t n = ::recv(fd, buffer, std::min(sizeof buffer, count - out.size()), MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        if (n <= 0) break;
        out.insert(out.end(), buffer, buffer + n);
    }
    return out;
}

// True when the peer has closed (end of stream) within `timeout`, with no byte before it.
inline bool peer_closed(int fd, std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    pollfd p{.fd = fd, .events = POLLIN, .revents = 0};
    if (::poll(&p, 1, static_cast<int>(timeout.count())) <= 0) return false;
    std::uint8_t b = 0;
    return ::recv(fd, &b, 1, 0) == 0;
}

// A socket connected to a Unix socket path, or to a numeric address ("127.0.0.1:5000", "[::1]:5000"),
// or to a port of 127.0.0.1; empty when refused.
inline net::Fd connect_unix(const std::string& path = "/var/run/usbmuxd") {
    net::Fd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return net::Fd();
    return fd;
}
inline net::Fd connect_to(std::string_view address, int type = SOCK_STREAM) {
    const auto parsed = net::parse_socket_address(address);
    EXPECT_TRUE(parsed) << "not a numeric address: " << address;
    if (!parsed) return net::Fd();
    net::Fd fd(::socket(parsed->family(), type | SOCK_CLOEXEC, 0));
    if (::connect(fd.get(), parsed->get(), parsed->size()) != 0) return net::Fd();
    return fd;
}
inline net::Fd connect_tcp(std::uint16_t port, int type = SOCK_STREAM) {
    return connect_to("127.0.0.1:" + std::to_string(port), type);
}

// Sends every byte; a send that fails fails the test, with the system's reason.
inline void send_bytes(int fd, std::span<const std::uint8_t> bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        ASSERT_GT(n, 0) << "send of " << bytes.size() - sent << " bytes to descriptor " << fd
                        << " failed: " << std::strerror(errno);
        sent += static_cast<std::size_t>(n);
    }
}

// A frame as the app writes it: the 4-byte big-endian length, then the payload.
inline Bytes frame(std::span<const std::uint8_t> payload) {
    Bytes out(4 + payload.size());
    net::store_be32(out.data(), static_cast<std::uint32_t>(payload.size()));
    std::ranges::copy(payload, out.begin() + 4);
    return out;
}

// Reads one frame; nullopt on timeout or end of stream.
inline std::optional<Bytes> read_frame(int fd, std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    Bytes prefix = receive_bytes(fd, 4, timeout);
    if (prefix.size() != 4) return std::nullopt;
    const std::size_t n = net::load_be32(prefix.data());
    Bytes payload = receive_bytes(fd, n, timeout);
    if (payload.size() != n) return std::nullopt;
    return payload;
}

// `size` bytes of a recognisable pattern that starts at `seed`.
inline Bytes pattern(std::size_t size, std::uint8_t seed = 0) {
    Bytes out(size);
    for (std::size_t i = 0; i < size; ++i) out[i] = static_cast<std::uint8_t>(seed + i * 7);
    return out;
}

inline bool is_open(int fd) {
    return ::fcntl(fd, F_GETFD) != -1;
}

// Polls `condition` every millisecond until it holds or `timeout` passes; returns its last value.
template <typename Condition>
bool eventually(Condition condition, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return condition();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace vantrel::test

// Real sockets for forwarding tests: stream pairs standing in for the app's tunnel, UDP consumers on
// ephemeral loopback ports, and small waits.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <thread>
#include <utility>
#include <vector>

#include "net/fd.h"

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

// Everything that arrives on a stream socket until `count` bytes are in or `timeout` passes.
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
        std::uint8_t buffer[4096];
        ssize_t n = ::recv(fd, buffer, std::min(sizeof buffer, count - out.size()), MSG_DONTWAIT);
        if (n <= 0) break;
        out.insert(out.end(), buffer, buffer + n);
    }
    return out;
}

inline void send_bytes(int fd, std::span<const std::uint8_t> bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        ASSERT_GT(n, 0) << "send failed";
        sent += static_cast<std::size_t>(n);
    }
}

// A frame as the app writes it: the 4-byte big-endian length, then the payload.
inline Bytes frame(std::span<const std::uint8_t> payload) {
    const auto n = static_cast<std::uint32_t>(payload.size());
    Bytes out;
    out.reserve(4 + payload.size());
    for (int shift : {24, 16, 8, 0}) out.push_back(static_cast<std::uint8_t>(n >> shift));
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
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

// IPv4 and IPv6 socket addresses as the command line gives them and as lines show them.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

#include "net/io_error.h"

namespace vantrel::net {

inline constexpr std::string_view MSG_INVALID_SOCKET_ADDRESS = "invalid socket address";

class SocketAddress {
public:
    SocketAddress() = default;
    // A copy of an IPv4 or IPv6 address as the socket API gives it (`size` at most sockaddr_storage's).
    static SocketAddress from(const sockaddr* address, socklen_t size);

    const sockaddr* get() const { return reinterpret_cast<const sockaddr*>(&storage_); }
    socklen_t size() const { return size_; }
    int family() const { return storage_.ss_family; }
    std::uint16_t port() const;
    bool is_loopback() const;
    // Whether `other` (as recvfrom gives it) has the same host, whatever its port.
    bool same_host(const sockaddr_storage& other) const;
    // Numeric, IPv6 in brackets: "127.0.0.1:5000", "[::1]:6000".
    std::string text() const;

private:
    sockaddr_storage storage_{};
    socklen_t size_ = 0;
};

// "a.b.c.d:port" or "[v6]:port", numeric, never looked up, port 0 to 65535 in digits; anything else
// (an IPv6 host without brackets, an IPv4 host in brackets, a service name) is InvalidInput
// "invalid socket address".
IoResult<SocketAddress> parse_socket_address(std::string_view text);

// As parse_socket_address, with a host name besides, looked up once (the first address getaddrinfo
// gives); port 0 is refused. The error says what is wrong, for a usage error.
std::expected<SocketAddress, std::string> resolve_socket_address(std::string_view text);

}  // namespace vantrel::net

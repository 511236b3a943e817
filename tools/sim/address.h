// Numeric socket addresses of the simulator's TCP listener and the receiver's UDP sockets:
// "a.b.c.d:port" or "[v6-address]:port" (never looked up).
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "net/fd.h"

namespace vantrel::sim {

struct SocketAddress {
    sockaddr_storage storage{};
    socklen_t length = 0;

    int family() const { return storage.ss_family; }
    const sockaddr* get() const { return reinterpret_cast<const sockaddr*>(&storage); }
    sockaddr* get() { return reinterpret_cast<sockaddr*>(&storage); }
};

std::optional<SocketAddress> parse_address(std::string_view text);

// A non-blocking socket of `type` (SOCK_STREAM or SOCK_DGRAM) bound to the address `text`: an IPv6 one
// takes IPv6 only, a stream one may take its port again at once (SO_REUSEADDR). The error text says
// why, after "cannot VERB TEXT: ".
std::expected<net::Fd, std::string> bound_socket(const std::string& text, int type, std::string_view verb);

}  // namespace vantrel::sim

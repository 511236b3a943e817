// The bound sockets of the simulator's TCP listener and the receiver's UDP sockets, at numeric addresses
// ("a.b.c.d:port" or "[v6-address]:port", never looked up).
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "net/fd.h"

namespace vantrel::sim {

// A non-blocking socket of `type` (SOCK_STREAM or SOCK_DGRAM) bound to the address `text`: an IPv6 one
// takes IPv6 only, a stream one may take its port again at once (SO_REUSEADDR). The error text says
// why, after "cannot VERB TEXT: ".
std::expected<net::Fd, std::string> bound_socket(const std::string& text, int type, std::string_view verb);

}  // namespace vantrel::sim

// Preparing a path: the health check and the UDP sockets.
#pragma once

#include <netinet/in.h>

#include <chrono>
#include <cstdint>
#include <string_view>

#include "forwarder/packet_stream.h"
#include "net/fd.h"
#include "net/io_error.h"

namespace vantrel::forwarder {

inline constexpr int RECEIVE_TIMEOUT_SECONDS = 5;
// The health check waits this long in all for its reply.
inline constexpr std::chrono::seconds HEALTH_CHECK_TIMEOUT{2};

inline constexpr std::uint8_t HEALTH_CHECK_REQUEST[] = {0xFE, 0x00, 0x01};
inline constexpr std::string_view MSG_HEALTH_CHECK_TIMED_OUT = "health check timed out";

// Writes the request FE 00 01 and waits up to 2 s in all for any packet back, however its bytes
// trickle in. "health check timed out" (TimedOut) when no whole reply arrives in time; a reply cut
// off by the time is kept in the stream and completed by its next read_packet. Gives up at once
// (Interrupted) when `interrupt_fd` (if not -1) becomes readable. The receive timeout is untouched.
net::IoResult<void> health_check(PacketStream& stream, int interrupt_fd = -1);

// A close-on-exec UDP socket bound to the numeric address text ("127.0.0.1:0", "[::]:0").
net::IoResult<net::Fd> create_udp_socket(std::string_view address);

// FIONBIO, value 1.
net::IoResult<void> set_nonblocking(int fd);

}  // namespace vantrel::forwarder

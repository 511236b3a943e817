// Preparing a path: the health check and the UDP sockets.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <string_view>

#include "forwarder/packet_stream.h"
#include "net/fd.h"
#include "net/io_error.h"

namespace vantrel::forwarder {

inline constexpr int RECEIVE_TIMEOUT_SECONDS = 5;
inline constexpr int HEALTH_CHECK_TIMEOUT_SECONDS = 2;

inline constexpr std::uint8_t HEALTH_CHECK_REQUEST[] = {0xFE, 0x00, 0x01};
inline constexpr std::string_view MSG_HEALTH_CHECK_TIMED_OUT = "health check timed out";

// Writes the request FE 00 01 and waits up to 2 s for any packet back; the receive timeout is 5 s
// again afterwards. "health check timed out" (TimedOut) when no whole reply arrives; a reply cut off
// by the timeout is kept in the stream and completed by its next read_packet.
net::IoResult<void> health_check(PacketStream& stream);

// A close-on-exec UDP socket bound to the address text.
net::IoResult<net::Fd> create_udp_socket(std::string_view address);

// FIONBIO, value 1.
net::IoResult<void> set_nonblocking(int fd);

}  // namespace vantrel::forwarder

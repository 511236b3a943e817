// Complete receive and complete send on stream sockets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "net/io_error.h"

namespace vantrel::net {

// Receives until `buf` is full: recv() with flags 0 for the bytes still missing, EINTR repeated.
// Fails with UnexpectedEof "failed to fill whole buffer" when the peer closes first.
IoResult<void> recv_all(int fd, std::span<std::uint8_t> buf);

// As recv_all, but resumes at `filled` and leaves in it how many bytes of `buf` hold data, also
// when it fails, so that a caller can keep what arrived before a receive timeout.
IoResult<void> recv_resume(int fd, std::span<std::uint8_t> buf, std::size_t& filled);

// Sends until every byte is accepted: send() with MSG_NOSIGNAL, EINTR repeated.
// Fails with WriteZero "failed to write whole buffer" when a call accepts nothing.
IoResult<void> send_all(int fd, std::span<const std::uint8_t> buf);

}  // namespace vantrel::net

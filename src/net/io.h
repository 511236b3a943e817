// Complete receive and complete send on stream sockets.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>

#include "net/io_error.h"

namespace vantrel::net {

// Receives until `buf` is full: recv() with flags 0 for the bytes still missing, EINTR repeated,
// resuming at `filled` and leaving in it how many bytes of `buf` hold data, also when it fails, so
// that a caller can keep what arrived before a receive timeout. Fails with UnexpectedEof "failed to
// fill whole buffer" when the peer closes first.
IoResult<void> recv_resume(int fd, std::span<std::uint8_t> buf, std::size_t& filled);

// Sends until every byte is accepted: send() with MSG_NOSIGNAL, EINTR repeated.
// Fails with WriteZero "failed to write whole buffer" when a call accepts nothing.
IoResult<void> send_all(int fd, std::span<const std::uint8_t> buf);

using Deadline = std::chrono::steady_clock::time_point;

// As recv_resume and send_all, but every byte must be through by `deadline`: each call is made with
// MSG_DONTWAIT and waits in poll() for the time that is left. Running out of time is `on_timeout`,
// and the descriptor's own blocking mode and timeouts play no part. When `interrupt_fd` (if not -1)
// becomes readable the wait gives up at once with Interrupted.
IoResult<void> recv_all_until(int fd, std::span<std::uint8_t> buf, Deadline deadline,
                              const IoError& on_timeout, int interrupt_fd = -1);
IoResult<void> send_all_until(int fd, std::span<const std::uint8_t> buf, Deadline deadline,
                              const IoError& on_timeout, int interrupt_fd = -1);

// Waits in poll() for `events` on `fd` until `deadline`: true when they came (or the descriptor
// failed or hung up, which the next call on it reports), false when the time ran out, Interrupted
// when `interrupt_fd` (if not -1) became readable first.
IoResult<bool> wait_until(int fd, short events, Deadline deadline, int interrupt_fd = -1);

// The error of a wait that gave way to `interrupt_fd`.
IoError interrupted();

}  // namespace vantrel::net

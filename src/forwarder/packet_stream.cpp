#include "forwarder/packet_stream.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <utility>

#include "forwarder/setup.h"
#include "net/io.h"
#include "net/wire.h"

namespace vantrel::forwarder {

namespace {

constexpr std::size_t PREFIX_SIZE = 4;
// Below this, a receive reads ahead over many small frames at once.
constexpr std::size_t MIN_BUFFER = std::size_t{64} * 1024;

net::IoResult<void> set_receive_timeout_on(int fd, int seconds) {
    timeval timeout{.tv_sec = seconds, .tv_usec = 0};
    if (::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) != 0)
        return std::unexpected(net::IoError::last_os_error());
    return {};
}

bool is_receive_timeout(int err) {
    return err == EAGAIN || err == ETIMEDOUT;
}

}  // namespace

// Two whole frames fit the buffer, so the frame in progress is moved to the front only when the one
// before it ended in the buffer's second half.
PacketStream::PacketStream(net::Fd reader, net::Fd writer, std::size_t capacity)
    : capacity_(capacity),
      buffer_(std::max(2 * (capacity + PREFIX_SIZE), MIN_BUFFER)),
      reader_(std::move(reader)),
      writer_(std::move(writer)) {}

net::IoResult<PacketStream> PacketStream::open(mux::DeviceStream stream, std::size_t capacity) {
    // On an early return `stream.fd` still owns the connection and closes it.
    if (auto set = set_receive_timeout_on(stream.fd.get(), RECEIVE_TIMEOUT_SECONDS); !set)
        return std::unexpected(set.error());
    auto writer = stream.fd.duplicate();
    if (!writer) return std::unexpected(writer.error());
    return PacketStream(std::move(stream.fd), std::move(*writer), capacity);
}

std::optional<net::IoResult<Packet>> PacketStream::take_frame() {
    const std::size_t held = end_ - begin_;
    if (held < PREFIX_SIZE) return std::nullopt;
    const std::uint32_t length = net::load_be32(buffer_.data() + begin_);
    if (length == 0 || length > capacity_) {
        // The frame ends with its prefix: the next call reads the bytes after it as a new frame.
        begin_ += PREFIX_SIZE;
        return std::unexpected(net::IoError(net::ErrorKind::InvalidData, MSG_BAD_PACKET_LENGTH));
    }
    if (held < PREFIX_SIZE + length) return std::nullopt;
    const Packet packet(buffer_.data() + begin_ + PREFIX_SIZE, length);
    begin_ += PREFIX_SIZE + length;
    // An empty buffer starts over at its front; the packet's bytes stay until the next receive.
    if (begin_ == end_) begin_ = end_ = 0;
    return packet;
}

std::size_t PacketStream::room_for_next_receive() {
    const std::size_t held = end_ - begin_;
    const std::size_t frame =
        held < PREFIX_SIZE ? PREFIX_SIZE : PREFIX_SIZE + net::load_be32(buffer_.data() + begin_);
    if (begin_ + frame > buffer_.size()) {
        std::memmove(buffer_.data(), buffer_.data() + begin_, held);
        begin_ = 0;
        end_ = held;
    }
    // With its length known, only the rest of this frame: a large frame then ends the buffer's
    // content, which starts over at the front. Before that, as much as has arrived.
    return held < PREFIX_SIZE ? buffer_.size() - end_ : begin_ + frame - end_;
}

// The loop both reads share: a whole frame is handed out, else more is received with `flags`; a
// receive that brings nothing is left to `on_nothing` (with its errno), which gives the outcome, or
// nullopt to receive again.
template <typename OnNothing>
ReadOutcome PacketStream::read_with(int flags, OnNothing on_nothing) {
    for (;;) {
        if (auto frame = take_frame()) {
            if (!*frame) return std::unexpected(frame->error());
            return **frame;
        }
        const std::size_t want = room_for_next_receive();
        const ssize_t n = ::recv(reader_.get(), buffer_.data() + end_, want, flags);
        if (n > 0) {
            end_ += static_cast<std::size_t>(n);
            continue;
        }
        if (n == 0)
            return std::unexpected(net::IoError(net::ErrorKind::UnexpectedEof, net::MSG_FILL_WHOLE_BUFFER));
        const int err = errno;
        if (err == EINTR) continue;
        if (auto outcome = on_nothing(err)) return std::move(*outcome);
    }
}

ReadOutcome PacketStream::read_packet() {
    return read_with(0, [this](int err) -> std::optional<ReadOutcome> {
        // A receive timeout keeps what arrived: inside a prefix that is never an error.
        if (is_receive_timeout(err) && end_ - begin_ < PREFIX_SIZE) return NoPacket{};
        return std::unexpected(net::IoError::from_errno(err));
    });
}

ReadOutcome PacketStream::read_packet_until(net::Deadline deadline, int interrupt_fd) {
    return read_with(MSG_DONTWAIT, [&](int err) -> std::optional<ReadOutcome> {
        if (err != EAGAIN) return std::unexpected(net::IoError::from_errno(err));
        auto ready = net::wait_until(reader_.get(), POLLIN, deadline, interrupt_fd);
        if (!ready) return std::unexpected(ready.error());
        if (!*ready) return NoPacket{};
        return std::nullopt;
    });
}

namespace {

template <typename Send>
net::IoResult<void> send_frame(std::span<const std::uint8_t> payload, Send send) {
    if (payload.size() > std::numeric_limits<std::uint32_t>::max())
        return std::unexpected(net::IoError(net::ErrorKind::InvalidInput, MSG_BAD_PACKET_LENGTH));
    std::uint8_t prefix[PREFIX_SIZE];
    net::store_be32(prefix, static_cast<std::uint32_t>(payload.size()));
    if (auto sent = send(std::span<const std::uint8_t>(prefix)); !sent) return sent;
    return send(payload);
}

}  // namespace

net::IoResult<void> PacketStream::write_packet(std::span<const std::uint8_t> payload) {
    return send_frame(payload, [this](auto bytes) { return net::send_all(writer_.get(), bytes); });
}

net::IoResult<void> PacketStream::write_packet(std::span<const std::uint8_t> payload, net::Deadline deadline,
                                               int interrupt_fd) {
    static const net::IoError timed_out(net::ErrorKind::TimedOut, MSG_WRITE_TIMED_OUT);
    return send_frame(payload, [this, deadline, interrupt_fd](auto bytes) {
        return net::send_all_until(writer_.get(), bytes, deadline, timed_out, interrupt_fd);
    });
}

net::IoResult<void> PacketStream::set_receive_timeout(int seconds) {
    return set_receive_timeout_on(reader_.get(), seconds);
}

}  // namespace vantrel::forwarder

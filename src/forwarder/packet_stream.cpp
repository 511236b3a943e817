#include "forwarder/packet_stream.h"

#include <sys/socket.h>
#include <sys/time.h>

#include <cstddef>
#include <limits>
#include <utility>

#include "forwarder/setup.h"
#include "net/io.h"
#include "net/wire.h"

namespace vantrel::forwarder {

namespace {

net::IoResult<void> set_receive_timeout_on(int fd, int seconds) {
    timeval timeout{.tv_sec = seconds, .tv_usec = 0};
    if (::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) != 0)
        return std::unexpected(net::IoError::last_os_error());
    return {};
}

bool is_receive_timeout(const net::IoError& error) {
    return error.kind() == net::ErrorKind::WouldBlock || error.kind() == net::ErrorKind::TimedOut;
}

}  // namespace

PacketStream::PacketStream(net::Fd reader, net::Fd writer, mux::ConnectionKind kind, std::size_t capacity)
    : buffer_(capacity), reader_(std::move(reader)), writer_(std::move(writer)), kind_(kind) {}

net::IoResult<PacketStream> PacketStream::open(mux::DeviceStream stream, std::size_t capacity) {
    // On an early return `stream.fd` still owns the connection and closes it.
    if (auto set = set_receive_timeout_on(stream.fd.get(), RECEIVE_TIMEOUT_SECONDS); !set)
        return std::unexpected(set.error());
    auto writer = stream.fd.duplicate();
    if (!writer) return std::unexpected(writer.error());
    return PacketStream(std::move(stream.fd), std::move(*writer), stream.kind, capacity);
}

ReadOutcome PacketStream::read_packet(PayloadTimeout payload_timeout) {
    if (prefix_filled_ < sizeof prefix_) {
        if (auto prefix = net::recv_resume(reader_.get(), prefix_, prefix_filled_); !prefix) {
            // The bytes of a partly received prefix stay in prefix_ for the next call.
            if (is_receive_timeout(prefix.error())) return NoPacket{};
            return std::unexpected(prefix.error());
        }
        const std::uint32_t length = net::load_be32(prefix_);
        if (length == 0 || length > buffer_.size()) {
            // The frame ends with its prefix: the next call reads the bytes after it as a new frame.
            prefix_filled_ = 0;
            return std::unexpected(net::IoError(net::ErrorKind::InvalidData, MSG_BAD_PACKET_LENGTH));
        }
        payload_filled_ = 0;
    }

    const auto payload = std::span(buffer_).first(net::load_be32(prefix_));
    if (auto received = net::recv_resume(reader_.get(), payload, payload_filled_); !received) {
        if (payload_timeout == PayloadTimeout::Keeps && is_receive_timeout(received.error()))
            return NoPacket{};
        return std::unexpected(received.error());
    }
    prefix_filled_ = 0;
    return Packet(payload.begin(), payload.end());
}

namespace {

template <typename Send>
net::IoResult<void> send_frame(std::span<const std::uint8_t> payload, Send send) {
    if (payload.size() > std::numeric_limits<std::uint32_t>::max())
        return std::unexpected(net::IoError(net::ErrorKind::InvalidInput, MSG_BAD_PACKET_LENGTH));
    std::uint8_t prefix[4];
    net::store_be32(prefix, static_cast<std::uint32_t>(payload.size()));
    if (auto sent = send(std::span<const std::uint8_t>(prefix)); !sent) return sent;
    return send(payload);
}

}  // namespace

net::IoResult<void> PacketStream::write_packet(std::span<const std::uint8_t> payload) {
    return send_frame(payload, [this](auto bytes) { return net::send_all(writer_.get(), bytes); });
}

net::IoResult<void> PacketStream::write_packet(std::span<const std::uint8_t> payload,
                                               net::Deadline deadline) {
    static const net::IoError timed_out(net::ErrorKind::TimedOut, MSG_WRITE_TIMED_OUT);
    return send_frame(payload, [this, deadline](auto bytes) {
        return net::send_all_until(writer_.get(), bytes, deadline, timed_out);
    });
}

net::IoResult<void> PacketStream::set_receive_timeout(int seconds) {
    return set_receive_timeout_on(reader_.get(), seconds);
}

}  // namespace vantrel::forwarder

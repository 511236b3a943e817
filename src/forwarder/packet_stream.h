// The app's framing: a 4-byte big-endian payload length, then the payload, in both directions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <variant>
#include <vector>

#include "mux/connect.h"
#include "net/fd.h"
#include "net/io.h"
#include "net/io_error.h"

namespace vantrel::forwarder {

inline constexpr std::size_t MAX_VIDEO_PACKET = 65536;
inline constexpr std::size_t MAX_TRACKING_PACKET = 1024;

using Packet = std::vector<std::uint8_t>;
// The receive timeout ran out between packets or inside a length prefix (whose bytes are kept), or
// inside a payload that the caller asked to keep.
struct NoPacket {
    friend bool operator==(NoPacket, NoPacket) = default;
};
using ReadOutcome = net::IoResult<std::variant<Packet, NoPacket>>;

// What a receive timeout inside a payload means to read_packet.
enum class PayloadTimeout {
    Fails,  // an error, as for forwarding: a packet that stops halfway for 5 s ends the session
    Keeps,  // NoPacket, the bytes so far kept: the health check gives up on its 2 s wait, and the
            // next call completes the reply as an ordinary packet
};

inline constexpr std::string_view MSG_BAD_PACKET_LENGTH = "bad packet length";
inline constexpr std::string_view MSG_WRITE_TIMED_OUT = "write timed out";

class PacketStream {
public:
    // Sets the 5-second receive timeout, duplicates the descriptor (close-on-exec) as the writer and
    // allocates a zeroed receive buffer of `capacity` bytes. On failure the stream is closed.
    static net::IoResult<PacketStream> open(mux::DeviceStream stream, std::size_t capacity);

    PacketStream(PacketStream&&) noexcept = default;
    PacketStream& operator=(PacketStream&&) noexcept = default;

    // A whole packet, NoPacket (timeout while a length prefix was awaited), or an error:
    // "bad packet length" for 0 or above the capacity, UnexpectedEof on end of stream, and the
    // socket error otherwise (a timeout inside a payload too, unless `payload_timeout` keeps it).
    // Prefix bytes that arrived before a timeout are kept, and so are a kept payload's: the next
    // call completes that frame, so no payload byte is ever taken for a prefix.
    ReadOutcome read_packet(PayloadTimeout payload_timeout = PayloadTimeout::Fails);

    // The prefix and the payload as two complete writes through the writer.
    net::IoResult<void> write_packet(std::span<const std::uint8_t> payload);
    // The same, but the whole frame must be out by `deadline`, else TimedOut "write timed out".
    net::IoResult<void> write_packet(std::span<const std::uint8_t> payload, net::Deadline deadline);

    // Sets SO_RCVTIMEO on the connection (shared by both descriptors).
    net::IoResult<void> set_receive_timeout(int seconds);

    std::size_t capacity() const { return buffer_.size(); }
    mux::ConnectionKind kind() const { return kind_; }
    int reader_fd() const { return reader_.get(); }
    int writer_fd() const { return writer_.get(); }

private:
    PacketStream(net::Fd reader, net::Fd writer, mux::ConnectionKind kind, std::size_t capacity);

    std::vector<std::uint8_t> buffer_;
    net::Fd reader_;
    net::Fd writer_;
    mux::ConnectionKind kind_;
    std::uint8_t prefix_[4] = {};
    std::size_t prefix_filled_ = 0;   // bytes of a prefix that arrived before a receive timeout
    std::size_t payload_filled_ = 0;  // with a whole prefix: bytes of its payload that arrived
};

}  // namespace vantrel::forwarder

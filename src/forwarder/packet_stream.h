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

// A payload as it lies in the stream's own buffer: valid until the stream's next read.
using Packet = std::span<const std::uint8_t>;
// The receive timeout ran out between packets or inside a length prefix (whose bytes are kept), or
// a read with a deadline ran out of time anywhere in a frame.
struct NoPacket {
    friend bool operator==(NoPacket, NoPacket) = default;
};
using ReadOutcome = net::IoResult<std::variant<Packet, NoPacket>>;

inline constexpr std::string_view MSG_BAD_PACKET_LENGTH = "bad packet length";
inline constexpr std::string_view MSG_WRITE_TIMED_OUT = "write timed out";

class PacketStream {
public:
    // Sets the 5-second receive timeout, duplicates the descriptor (close-on-exec) as the writer and
    // allocates the receive buffer for payloads of up to `capacity` bytes. On failure the stream is
    // closed.
    static net::IoResult<PacketStream> open(mux::DeviceStream stream, std::size_t capacity);

    PacketStream(PacketStream&&) noexcept = default;
    PacketStream& operator=(PacketStream&&) noexcept = default;

    // A whole packet, NoPacket (timeout while a length prefix was awaited), or an error:
    // "bad packet length" for 0 or above the capacity, UnexpectedEof on end of stream, and the
    // socket error otherwise (a timeout inside a payload too: a packet that stops halfway for 5 s
    // ends the session). Bytes that arrived before a timeout are kept, so no payload byte is ever
    // taken for a prefix. One receive takes in as many frames as have arrived; the following calls
    // hand them out without a system call. The packet lies in the stream's buffer until the next call.
    ReadOutcome read_packet();

    // As read_packet, but waits for a whole packet at most until `deadline`, however the bytes
    // trickle in, and gives up at once when `interrupt_fd` (if not -1) becomes readable
    // (Interrupted). Running out of time is NoPacket; what arrived is kept for the next read.
    ReadOutcome read_packet_until(net::Deadline deadline, int interrupt_fd = -1);

    // The prefix and the payload as two complete writes through the writer.
    net::IoResult<void> write_packet(std::span<const std::uint8_t> payload);
    // The same, but the whole frame must be out by `deadline`, else TimedOut "write timed out", and
    // it gives up when `interrupt_fd` (if not -1) becomes readable (Interrupted).
    net::IoResult<void> write_packet(std::span<const std::uint8_t> payload, net::Deadline deadline,
                                     int interrupt_fd = -1);

    // Sets SO_RCVTIMEO on the connection (shared by both descriptors); read_packet waits that long.
    net::IoResult<void> set_receive_timeout(int seconds);

    std::size_t capacity() const { return capacity_; }
    int reader_fd() const { return reader_.get(); }
    int writer_fd() const { return writer_.get(); }

private:
    PacketStream(net::Fd reader, net::Fd writer, std::size_t capacity);

    // The frame at the front of the buffer, once it is whole; nullopt while bytes are missing.
    std::optional<net::IoResult<Packet>> take_frame();
    // How many bytes to ask the socket for, after making room for the frame in progress.
    std::size_t room_for_next_receive();
    template <typename OnNothing>
    ReadOutcome read_with(int flags, OnNothing on_nothing);

    std::size_t capacity_;
    std::vector<std::uint8_t> buffer_;
    std::size_t begin_ = 0;  // the first byte not handed out yet
    std::size_t end_ = 0;    // one past the last byte received
    net::Fd reader_;
    net::Fd writer_;
};

}  // namespace vantrel::forwarder

// Fuzz target: PacketStream::read_packet over an arbitrary byte stream that arrives in arbitrary
// pieces, with reads in between that find nothing waiting (as a receive timeout does), and
// write_packet now and then. Checked against a model of the stream: the packets returned, each
// behind its prefix, are exactly the start of the bytes consumed, across NoPacket too, and every
// NoPacket and error happens exactly where the stream says it must.
//
// Input: byte 0 chooses the receive limit (bits 0-2) and whether the stream ends with end of file
// (bit 3); then operations, each a byte `op` followed by its data:
//   op & 3 == 0: deliver the next (op >> 2) + 1 bytes
//   op & 3 == 1: deliver the next ((op >> 2) + 1) * 64 bytes
//   op & 3 == 2: call read_packet (op >> 2) % 4 + 1 times, or, when bit 4 is set, read_packet_until
//                a deadline that has passed (as the health check's read ends), which keeps a payload
//                that stops halfway
//   op & 3 == 3: write_packet with the next (op >> 2) bytes as payload
// At the end the reader reads until nothing is waiting (or, after end of file, until the error).
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <span>
#include <utility>
#include <variant>
#include <vector>

#include "forwarder/packet_stream.h"
#include "fuzz_check.h"
#include "net/wire.h"

namespace {

using vantrel::forwarder::NoPacket;
using vantrel::forwarder::Packet;
using vantrel::forwarder::PacketStream;

// How a read ends when nothing more is waiting.
enum class PayloadTimeout {
    Fails,  // read_packet: inside a payload that is an error
    Keeps,  // read_packet_until a deadline: NoPacket, the bytes so far kept
};
using vantrel::net::ErrorKind;

constexpr std::array<std::size_t, 8> CAPACITIES = {
    1, 2, 3, 7, 16, 255, vantrel::forwarder::MAX_TRACKING_PACKET, vantrel::forwarder::MAX_VIDEO_PACKET};
constexpr std::size_t PREFIX_SIZE = 4;

std::size_t unread_bytes(int fd) {
    int pending = 0;
    FUZZ_CHECK(::ioctl(fd, FIONREAD, &pending) == 0);
    return static_cast<std::size_t>(pending);
}

class Harness {
public:
    Harness(std::size_t capacity, vantrel::net::Fd reader, vantrel::net::Fd app)
        : capacity_(capacity), app_(std::move(app)) {
        auto stream = PacketStream::open(vantrel::mux::DeviceStream{std::move(reader)}, capacity);
        FUZZ_CHECK(stream.has_value());
        stream_.emplace(std::move(*stream));
        FUZZ_CHECK(stream_->capacity() == capacity);
        // Non-blocking, a read with nothing waiting fails at once with EAGAIN, which is exactly how
        // the receive timeout shows; the writer shares the flag, which is harmless for small writes.
        const int flags = ::fcntl(stream_->reader_fd(), F_GETFL);
        FUZZ_CHECK(flags >= 0 && ::fcntl(stream_->reader_fd(), F_SETFL, flags | O_NONBLOCK) == 0);
    }

    bool failed() const { return failed_; }

    // The app writes bytes; what the socket does not take now is not part of the stream.
    void deliver(std::span<const std::uint8_t> bytes) {
        if (ended_ || bytes.empty()) return;
        const ssize_t n = ::send(app_.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) stream_bytes_.insert(stream_bytes_.end(), bytes.begin(), bytes.begin() + n);
    }

    void end_stream() {
        FUZZ_CHECK(::shutdown(app_.get(), SHUT_WR) == 0);
        ended_ = true;
    }

    // One read_packet, checked against the model; false once nothing more can be read.
    bool read_one(PayloadTimeout payload_timeout = PayloadTimeout::Fails) {
        if (failed_) return false;
        auto outcome = payload_timeout == PayloadTimeout::Keeps
                           ? stream_->read_packet_until(std::chrono::steady_clock::now())
                           : stream_->read_packet();
        const std::size_t consumed = stream_bytes_.size() - unread_bytes(stream_->reader_fd());
        const std::size_t rest = stream_bytes_.size() - framed_;
        const std::uint8_t* next = stream_bytes_.data() + framed_;
        const bool have_prefix = rest >= PREFIX_SIZE;
        const std::uint32_t length = have_prefix ? vantrel::net::load_be32(next) : 0;
        const bool length_ok = length >= 1 && length <= capacity_;

        if (outcome && std::holds_alternative<Packet>(*outcome)) {
            const auto& packet = std::get<Packet>(*outcome);
            FUZZ_CHECK(have_prefix && length_ok && packet.size() == length);
            FUZZ_CHECK(rest - PREFIX_SIZE >= length);
            FUZZ_CHECK(std::equal(packet.begin(), packet.end(), next + PREFIX_SIZE));
            framed_ += PREFIX_SIZE + length;
            // Frames that arrived together are taken in together, never more than has arrived.
            FUZZ_CHECK(consumed >= framed_);
            return true;
        }
        if (outcome) {
            FUZZ_CHECK(std::holds_alternative<NoPacket>(*outcome));
            // Only an incomplete prefix can end in NoPacket (or a payload the caller keeps), and its
            // bytes are all taken in and kept.
            FUZZ_CHECK(!ended_ && consumed == stream_bytes_.size());
            FUZZ_CHECK(!have_prefix || (payload_timeout == PayloadTimeout::Keeps && length_ok &&
                                        rest - PREFIX_SIZE < length));
            return false;
        }
        failed_ = true;
        const auto& error = outcome.error();
        switch (error.kind()) {
            case ErrorKind::InvalidData:
                FUZZ_CHECK(error.text() == "bad packet length");
                FUZZ_CHECK(have_prefix && !length_ok && consumed >= framed_ + PREFIX_SIZE);
                framed_ += PREFIX_SIZE;
                break;
            case ErrorKind::UnexpectedEof:
                FUZZ_CHECK(error.text() == "failed to fill whole buffer");
                FUZZ_CHECK(ended_ && consumed == stream_bytes_.size());
                FUZZ_CHECK(!have_prefix || (length_ok && rest - PREFIX_SIZE < length));
                break;
            case ErrorKind::WouldBlock:
                // Nothing more waiting in the middle of a payload is an error, unless it is kept.
                FUZZ_CHECK(payload_timeout == PayloadTimeout::Fails);
                FUZZ_CHECK(!ended_ && consumed == stream_bytes_.size());
                FUZZ_CHECK(have_prefix && length_ok && rest - PREFIX_SIZE < length);
                break;
            default: std::fprintf(stderr, "unexpected error: %s\n", error.text().c_str()); std::abort();
        }
        return false;
    }

    // write_packet puts exactly the prefix and the payload on the wire.
    void write_one(std::span<const std::uint8_t> payload) {
        FUZZ_CHECK(stream_->write_packet(payload).has_value());
        std::vector<std::uint8_t> expected(PREFIX_SIZE + payload.size());
        const auto length = static_cast<std::uint32_t>(payload.size());
        for (std::size_t i = 0; i < PREFIX_SIZE; ++i)
            expected[i] = static_cast<std::uint8_t>(length >> (8 * (PREFIX_SIZE - 1 - i)));
        std::copy(payload.begin(), payload.end(), expected.begin() + PREFIX_SIZE);
        std::vector<std::uint8_t> received(expected.size() + 1);
        const ssize_t n = ::recv(app_.get(), received.data(), received.size(), MSG_DONTWAIT);
        FUZZ_CHECK(n == static_cast<ssize_t>(expected.size()));
        received.resize(expected.size());
        FUZZ_CHECK(received == expected);
    }

private:
    std::size_t capacity_;
    vantrel::net::Fd app_;
    std::optional<PacketStream> stream_;
    std::vector<std::uint8_t> stream_bytes_;  // every byte the app delivered, in order
    std::size_t framed_ = 0;                  // bytes of the frames read_packet returned
    bool ended_ = false;
    bool failed_ = false;  // after an error the position in the stream is undefined
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    int sv[2];
    FUZZ_CHECK(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) == 0);
    Harness harness(CAPACITIES[data[0] & 7], vantrel::net::Fd(sv[0]), vantrel::net::Fd(sv[1]));
    const bool end_with_eof = (data[0] & 8) != 0;

    std::span<const std::uint8_t> input(data + 1, size - 1);
    auto take = [&input](std::size_t n) {
        const auto piece = input.first(std::min(n, input.size()));
        input = input.subspan(piece.size());
        return piece;
    };
    while (!input.empty() && !harness.failed()) {
        const std::uint8_t op = input[0];
        input = input.subspan(1);
        const std::size_t arg = op >> 2;
        switch (op & 3) {
            case 0: harness.deliver(take(arg + 1)); break;
            case 1: harness.deliver(take((arg + 1) * 64)); break;
            case 2: {
                const auto payload_timeout = (arg & 4) != 0 ? PayloadTimeout::Keeps : PayloadTimeout::Fails;
                for (std::size_t i = 0; i < arg % 4 + 1 && harness.read_one(payload_timeout); ++i) {
                }
                break;
            }
            default: harness.write_one(take(arg)); break;
        }
    }
    if (end_with_eof) harness.end_stream();
    while (harness.read_one()) {
    }
    return 0;
}

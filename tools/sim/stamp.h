// The stamp that vantrel-sim can put at the start of a payload, so that a receiver can count loss,
// reordering and one-way latency. Header-only, so that benchmarks and other tools can reuse it.
//
// Layout, 24 bytes, integers little-endian:
//   offset 0   4 bytes  magic "VSTM"
//   offset 4   4 bytes  stream id (the device port, unless chosen otherwise)
//   offset 8   8 bytes  sequence number, 0 for the first packet of a stream
//   offset 16  8 bytes  send time, CLOCK_MONOTONIC in nanoseconds
// The payload's remaining bytes follow the stamp unchanged.
#pragma once

#include <time.h>

#include <cstddef>
#include <cstdint>
#include <optional>

#include "net/wire.h"

namespace vantrel::sim {

inline constexpr std::size_t STAMP_SIZE = 24;
inline constexpr std::uint8_t STAMP_MAGIC[4] = {'V', 'S', 'T', 'M'};
// Stream id of the feedback datagrams that `vantrel-sim receive` sends.
inline constexpr std::uint32_t FEEDBACK_STREAM_ID = 1;

struct Stamp {
    std::uint32_t stream_id = 0;
    std::uint64_t sequence = 0;
    std::uint64_t sent_ns = 0;

    friend bool operator==(const Stamp&, const Stamp&) = default;
};

// CLOCK_MONOTONIC in nanoseconds: the clock of every stamp; comparable across processes.
inline std::uint64_t monotonic_ns() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1'000'000'000u + static_cast<std::uint64_t>(ts.tv_nsec);
}

// Writes the 24 stamp bytes at `out`.
inline void write_stamp(std::uint8_t* out, const Stamp& stamp) {
    for (std::size_t i = 0; i < 4; ++i) out[i] = STAMP_MAGIC[i];
    net::store_le32(out + 4, stamp.stream_id);
    net::store_le64(out + 8, stamp.sequence);
    net::store_le64(out + 16, stamp.sent_ns);
}

// The stamp at the start of a payload; nullopt when the payload is shorter or lacks the magic.
inline std::optional<Stamp> read_stamp(const std::uint8_t* data, std::size_t size) {
    if (size < STAMP_SIZE) return std::nullopt;
    for (std::size_t i = 0; i < 4; ++i)
        if (data[i] != STAMP_MAGIC[i]) return std::nullopt;
    return Stamp{net::load_le32(data + 4), net::load_le64(data + 8), net::load_le64(data + 16)};
}

}  // namespace vantrel::sim

// Small helpers for bytes on the wire, shared by the program, the simulator and the benchmarks:
// fixed-width integers in either byte order, usbmuxd's port order, and a write loop.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <string_view>

#include "net/io_error.h"

namespace vantrel::net {

inline void store_be32(std::uint8_t* out, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) out[i] = static_cast<std::uint8_t>(value >> (8 * (3 - i)));
}
inline std::uint32_t load_be32(const std::uint8_t* in) {
    return (std::uint32_t{in[0]} << 24) | (std::uint32_t{in[1]} << 16) | (std::uint32_t{in[2]} << 8) | in[3];
}
inline void store_le32(std::uint8_t* out, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) out[i] = static_cast<std::uint8_t>(value >> (8 * i));
}
inline std::uint32_t load_le32(const std::uint8_t* in) {
    return std::uint32_t{in[0]} | (std::uint32_t{in[1]} << 8) | (std::uint32_t{in[2]} << 16) |
           (std::uint32_t{in[3]} << 24);
}
inline void store_le64(std::uint8_t* out, std::uint64_t value) {
    store_le32(out, static_cast<std::uint32_t>(value));
    store_le32(out + 4, static_cast<std::uint32_t>(value >> 32));
}
inline std::uint64_t load_le64(const std::uint8_t* in) {
    return std::uint64_t{load_le32(in)} | (std::uint64_t{load_le32(in + 4)} << 32);
}

// A port as usbmuxd's "PortNumber" carries it: its two bytes swapped (5000 <-> 34835, 4242 <-> 37392).
// Swapping twice gives the port back, so the daemon's side reads it with the same call.
constexpr std::uint16_t swap_port(std::uint16_t port) {
    return static_cast<std::uint16_t>(((port & 0xFF) << 8) | (port >> 8));
}

// Writes every byte of `data` to `fd` with write(), repeating after a signal. 0 when all is out,
// else the errno of the failed call (EIO for a call that wrote nothing).
int write_whole(int fd, std::string_view data);

}  // namespace vantrel::net

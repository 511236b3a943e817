// Small text helpers shared by the command parser, the command line and the receiver.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <fmt/core.h>

namespace vantrel::sim {

// Text is built with {fmt} (g++ 12's library has no std::format).
using fmt::format;

// The error of a std::expected<T, std::string>.
inline std::unexpected<std::string> fail(std::string text) {
    return std::unexpected(std::move(text));
}

// Whitespace-separated words of a line.
std::vector<std::string_view> split_words(std::string_view line);

// A decimal unsigned number, the whole text and nothing else.
std::optional<std::uint64_t> parse_u64(std::string_view text);

// Decimal seconds ("3", "0.25") as milliseconds.
std::optional<std::uint64_t> parse_seconds_ms(std::string_view text);

// "N" or "MIN-MAX" (inclusive, MIN <= MAX).
std::optional<std::pair<std::uint64_t, std::uint64_t>> parse_range(std::string_view text);

// Hex digits, two per byte, at least one byte; upper or lower case.
std::optional<std::vector<std::uint8_t>> parse_hex(std::string_view text);

// Lower-case hex of at most `max_bytes` bytes of `bytes`; "-" when there are none.
std::string to_hex(std::span<const std::uint8_t> bytes, std::size_t max_bytes = SIZE_MAX);

}  // namespace vantrel::sim

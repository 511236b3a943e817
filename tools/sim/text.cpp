#include "sim/text.h"

#include <charconv>
#include <string>

namespace vantrel::sim {

std::vector<std::string_view> split_words(std::string_view line) {
    std::vector<std::string_view> words;
    std::size_t i = 0;
    auto is_space = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (i < line.size()) {
        while (i < line.size() && is_space(line[i])) ++i;
        std::size_t start = i;
        while (i < line.size() && !is_space(line[i])) ++i;
        if (i > start) words.push_back(line.substr(start, i - start));
    }
    return words;
}

std::optional<std::uint64_t> parse_u64(std::string_view text) {
    if (text.empty() || text[0] < '0' || text[0] > '9') return std::nullopt;
    std::uint64_t value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

std::optional<std::uint64_t> parse_seconds_ms(std::string_view text) {
    auto dot = text.find('.');
    auto whole = parse_u64(text.substr(0, dot));
    if (!whole || *whole > 1'000'000'000) return std::nullopt;
    std::uint64_t ms = *whole * 1000;
    if (dot != std::string_view::npos) {
        std::string_view frac = text.substr(dot + 1);
        if (frac.empty() || frac.size() > 3 || !parse_u64(frac)) return std::nullopt;
        std::uint64_t f = *parse_u64(frac);
        for (std::size_t i = frac.size(); i < 3; ++i) f *= 10;
        ms += f;
    }
    return ms;
}

std::optional<std::pair<std::uint64_t, std::uint64_t>> parse_range(std::string_view text) {
    auto dash = text.find('-');
    if (dash == std::string_view::npos) {
        auto n = parse_u64(text);
        if (!n) return std::nullopt;
        return std::pair{*n, *n};
    }
    auto lo = parse_u64(text.substr(0, dash));
    auto hi = parse_u64(text.substr(dash + 1));
    if (!lo || !hi || *lo > *hi) return std::nullopt;
    return std::pair{*lo, *hi};
}

namespace {
int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}
}  // namespace

std::optional<std::vector<std::uint8_t>> parse_hex(std::string_view text) {
    if (text.empty() || text.size() % 2 != 0) return std::nullopt;
    std::vector<std::uint8_t> bytes;
    bytes.reserve(text.size() / 2);
    for (std::size_t i = 0; i < text.size(); i += 2) {
        int hi = hex_value(text[i]), lo = hex_value(text[i + 1]);
        if (hi < 0 || lo < 0) return std::nullopt;
        bytes.push_back(static_cast<std::uint8_t>(hi * 16 + lo));
    }
    return bytes;
}

std::string to_hex(std::span<const std::uint8_t> bytes, std::size_t max_bytes) {
    if (bytes.empty() || max_bytes == 0) return "-";
    static constexpr char DIGITS[] = "0123456789abcdef";
    std::size_t n = std::min(bytes.size(), max_bytes);
    std::string out;
    out.reserve(2 * n);
    for (std::size_t i = 0; i < n; ++i) {
        out.push_back(DIGITS[bytes[i] >> 4]);
        out.push_back(DIGITS[bytes[i] & 0xF]);
    }
    return out;
}

}  // namespace vantrel::sim

// A reply of the daemon, read from its payload bytes: binary when it begins with "bplist00", XML
// otherwise; its root must be a dictionary. The reader is bounded by its own construction, whatever the
// bytes: it never recurses, never copies a shared object once per reference, and takes time and memory
// linear in the payload's size. XML goes through expat into compact values of our own; a binary list
// stays a view over its bytes whose shared objects are read once and remembered.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "mux/mux_error.h"

namespace vantrel::mux {

// Replies nest at most this many arrays and dictionaries (usbmuxd's own nest 4).
inline constexpr std::size_t MAX_PLIST_DEPTH = 32;

// The texts of the reader's Protocol errors.
inline constexpr std::string_view MSG_NOT_A_DICTIONARY = "Response is not a dictionary";
inline constexpr std::string_view MSG_NESTED_TOO_DEEPLY = "Property list nested too deeply";
inline constexpr std::string_view MSG_PLIST_TOO_LARGE = "Failed to parse plist: property list too large";
inline constexpr std::string_view MSG_INVALID_BINARY_PLIST =
    "Failed to parse plist: invalid binary property list";
inline constexpr std::string_view MSG_INVALID_XML_PLIST = "Failed to parse plist: invalid XML property list";

// Integer values across their whole range, from the signed 64-bit minimum up to the unsigned maximum.
struct PlistInteger {
    std::uint64_t bits = 0;  // the value modulo 2^64
    bool negative = false;   // below zero: `bits` holds its two's complement

    friend bool operator==(const PlistInteger&, const PlistInteger&) = default;
};

// Booleans, reals, dates, data and UIDs are Other: nothing reads them.
enum class ValueKind : std::uint8_t { Dictionary, Array, String, Integer, Other };

// One value of a Reply, valid while the Reply lives. Values with equal ids are the same object.
struct PlistValue {
    std::uint32_t id = 0;
    ValueKind kind = ValueKind::Other;
};

// Not for use by two threads at once: lookups remember what they found.
class Reply {
public:
    static MuxResult<Reply> parse(std::vector<std::uint8_t> payload);

    Reply(Reply&&) noexcept;
    Reply& operator=(Reply&&) noexcept;
    ~Reply();

    PlistValue root() const;
    // Every value's id is below this.
    std::uint32_t id_bound() const;

    // The value of `key` in a dictionary (exact bytes); nullopt when absent or `dict` is no dictionary.
    // Of duplicate keys, an XML list's last counts and a binary list's first, as libplist reads them.
    std::optional<PlistValue> find(PlistValue dict, std::string_view key) const;
    // The items of an array in order, until `visit` returns false.
    void for_each_item(PlistValue array, const std::function<bool(PlistValue)>& visit) const;
    // The entries of a dictionary in order, duplicates included, until `visit` returns false.
    void for_each_entry(PlistValue dict,
                        const std::function<bool(std::string_view, PlistValue)>& visit) const;
    // A string's UTF-8 text (binary UTF-16 strings converted once); the same object always yields the
    // same pointer.
    std::optional<std::string_view> string(PlistValue value) const;
    std::optional<PlistInteger> integer(PlistValue value) const;

private:
    class Impl;
    explicit Reply(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

// The payload as read_response interprets it; a copy of the bytes is kept.
MuxResult<Reply> parse_response_payload(const std::uint8_t* data, std::size_t size);

}  // namespace vantrel::mux

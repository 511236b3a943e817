// The two readers behind Reply, one per property-list form. Both offer the same lookups over values
// identified by a 32-bit id.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "mux/reply.h"

namespace vantrel::mux::detail {

enum class ReadError { InvalidXml, InvalidBinary, TooLarge, TooDeep };

using ItemVisitor = std::function<bool(PlistValue)>;
using EntryVisitor = std::function<bool(std::string_view, PlistValue)>;

// An XML list read through expat into one array of compact nodes and one buffer of text, both at
// most proportional to the text's size. No entity may be declared, so nothing expands.
class XmlPlist {
public:
    static std::expected<XmlPlist, ReadError> read(std::string_view text);

    PlistValue root() const { return value(root_); }
    std::uint32_t id_bound() const { return static_cast<std::uint32_t>(nodes_.size()); }
    std::optional<PlistValue> find(PlistValue dict, std::string_view key) const;
    void for_each_item(PlistValue array, const ItemVisitor& visit) const;
    void for_each_entry(PlistValue dict, const EntryVisitor& visit) const;
    std::optional<std::string_view> string(PlistValue value) const;
    std::optional<PlistInteger> integer(PlistValue value) const;

    // What the reader builds; public for the reader's callbacks.
    enum class Kind : std::uint8_t { Dictionary, Array, String, Integer, Other, Key };
    struct Node {
        Kind kind = Kind::Other;
        bool negative = false;
        std::uint32_t next = NONE;  // the next child of the same parent
        // Text (String, Key): offset and length in text_. Integer: low and high 32 bits.
        // Containers: the first child (NONE when empty) and, while open, the last.
        std::uint32_t a = NONE;
        std::uint32_t b = NONE;
    };
    static constexpr std::uint32_t NONE = 0xFFFF'FFFF;

    std::vector<Node> nodes_;
    std::vector<char> text_;
    std::uint32_t root_ = 0;

private:
    PlistValue value(std::uint32_t node) const;
    std::string_view text_of(const Node& node) const { return {text_.data() + node.a, node.b}; }
};

// An n-byte big-endian number as libplist takes it: of a field wider than 8 bytes, the last 8.
inline std::uint64_t load_be(const std::uint8_t* in, std::uint64_t n) {
    if (n > 8) {
        in += n - 8;
        n = 8;
    }
    std::uint64_t value = 0;
    for (std::uint64_t i = 0; i < n; ++i) value = value << 8 | in[i];
    return value;
}

// The trailer of a binary list: the widths of offsets and references, the number of objects, the
// top object and where the offset table begins (which ends the objects).
struct BinaryTrailer {
    std::uint64_t offset_size = 0;
    std::uint64_t ref_size = 0;
    std::uint64_t count = 0;
    std::uint64_t top = 0;
    std::uint64_t table = 0;

    // nullopt where it describes no object table, which libplist turns away as well.
    static std::optional<BinaryTrailer> read(std::span<const std::uint8_t> list);
    // Where object `id` (below count) begins.
    std::uint64_t offset_of(std::span<const std::uint8_t> list, std::uint64_t id) const {
        return load_be(list.data() + table + id * offset_size, offset_size);
    }
};

// A binary list ("bplist00") kept as its bytes. Reading it first walks every object reachable from
// the top once (shared objects once, however many references they have), checking each as libplist's
// reader would and the nesting on every path; lookups then read the bytes on demand and remember
// per object what costs more than a few steps (dictionary lookups, UTF-16 conversions).
class BinaryPlist {
public:
    static std::expected<BinaryPlist, ReadError> read(std::span<const std::uint8_t> list);

    PlistValue root() const { return value(trailer_.top); }
    std::uint32_t id_bound() const { return static_cast<std::uint32_t>(trailer_.count); }
    std::optional<PlistValue> find(PlistValue dict, std::string_view key) const;
    void for_each_item(PlistValue array, const ItemVisitor& visit) const;
    void for_each_entry(PlistValue dict, const EntryVisitor& visit) const;
    std::optional<std::string_view> string(PlistValue value) const;
    std::optional<PlistInteger> integer(PlistValue value) const;

    // An object's marker, decoded: its type (the high four bits) and where its contents begin.
    struct Object {
        std::uint8_t type = 0;
        std::uint8_t info = 0;    // the low four bits
        std::uint64_t start = 0;  // the contents (after the marker and any separate count)
        std::uint64_t count = 0;  // strings: characters; data: bytes; arrays: items; dictionaries: entries
    };

private:
    BinaryPlist(std::span<const std::uint8_t> list, const BinaryTrailer& trailer)
        : list_(list), trailer_(trailer) {}

    std::optional<Object> object(std::uint64_t id) const;
    Object walked(std::uint64_t id) const;
    // The UTF-8 text of string `id` (a key's, say): a view of its bytes, or its UTF-16 converted once.
    std::string_view text_of(std::uint64_t id) const;
    std::uint64_t reference(const Object& container, std::uint64_t n) const;
    std::optional<ReadError> walk();
    PlistValue value(std::uint64_t id) const;

    std::span<const std::uint8_t> list_;
    BinaryTrailer trailer_;

    // Remembered lookups: (dictionary << 32 | key slot) -> value id or NONE; UTF-16 texts by object.
    static constexpr std::uint32_t NONE = 0xFFFF'FFFF;
    static constexpr std::size_t MAX_KEY_SLOTS = 16;
    static constexpr std::uint64_t SMALL_DICTIONARY = 16;
    mutable std::vector<std::string> keys_asked_;
    mutable std::unordered_map<std::uint64_t, std::uint32_t> found_;
    mutable std::unordered_map<std::uint32_t, std::string> utf8_;
};

}  // namespace vantrel::mux::detail

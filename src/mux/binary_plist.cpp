#include <algorithm>

#include "mux/plist_values.h"

namespace vantrel::mux::detail {
namespace {

constexpr std::uint64_t HEADER_SIZE = 8;  // "bplist00"
constexpr std::uint64_t TRAILER_SIZE = 32;

enum Type : std::uint8_t {
    BOOL = 0x0,
    INT = 0x1,
    REAL = 0x2,
    DATE = 0x3,
    DATA = 0x4,
    ASCII = 0x5,
    UTF16 = 0x6,
    UID = 0x8,
    ARRAY = 0xA,
    SET = 0xC,
    DICT = 0xD,
};
constexpr std::uint8_t COUNT_FOLLOWS = 0xF;

bool is_container(std::uint8_t type) {
    return type == ARRAY || type == SET || type == DICT;
}

// References a container holds: a dictionary's keys, then its values.
std::uint64_t references_of(const BinaryPlist::Object& o) {
    return o.type == DICT ? 2 * o.count : o.count;
}

void append_utf8(std::string& out, std::uint32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | c >> 6);
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | c >> 12);
        out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | c >> 18);
        out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
        out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// UTF-16 (big-endian) to UTF-8. A surrogate without its partner becomes U+FFFD.
std::string utf8_of_utf16(const std::uint8_t* in, std::uint64_t units) {
    constexpr std::uint32_t REPLACEMENT = 0xFFFD;
    std::string out;
    out.reserve(units);
    for (std::uint64_t i = 0; i < units; ++i) {
        const std::uint32_t unit = static_cast<std::uint32_t>(in[2 * i] << 8 | in[2 * i + 1]);
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < units) {
            const std::uint32_t low = static_cast<std::uint32_t>(in[2 * i + 2] << 8 | in[2 * i + 3]);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                append_utf8(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
                ++i;
                continue;
            }
        }
        append_utf8(out, unit >= 0xD800 && unit <= 0xDFFF ? REPLACEMENT : unit);
    }
    return out;
}

}  // namespace

std::optional<BinaryTrailer> BinaryTrailer::read(std::span<const std::uint8_t> list) {
    if (list.size() < HEADER_SIZE + TRAILER_SIZE) return std::nullopt;
    const std::uint64_t end = list.size() - TRAILER_SIZE;
    const std::uint8_t* in = list.data() + end;
    const BinaryTrailer t{in[6], in[7], load_be(in + 8, 8), load_be(in + 16, 8), load_be(in + 24, 8)};
    if (t.count == 0 || t.offset_size == 0 || t.ref_size == 0 || t.top >= t.count || t.table < HEADER_SIZE ||
        t.table >= end || t.count > (end - t.table) / t.offset_size)
        return std::nullopt;
    return t;
}

std::expected<BinaryPlist, ReadError> BinaryPlist::read(std::span<const std::uint8_t> list) {
    const auto trailer = BinaryTrailer::read(list);
    if (!trailer) return std::unexpected(ReadError::InvalidBinary);
    BinaryPlist plist(list, *trailer);
    if (auto error = plist.walk()) return std::unexpected(*error);
    return plist;
}

// Object `id` (below the trailer's count) decoded and checked to lie within the objects; nullopt for anything
// libplist's reader turns away.
std::optional<BinaryPlist::Object> BinaryPlist::object(std::uint64_t id) const {
    const std::uint64_t at = trailer_.offset_of(list_, id);
    // libplist takes objects anywhere before the offset table, the header's bytes included.
    if (at >= trailer_.table) return std::nullopt;
    Object o{static_cast<std::uint8_t>(list_[at] >> 4), static_cast<std::uint8_t>(list_[at] & 0xF), at + 1,
             0};
    const std::uint64_t room = trailer_.table - o.start;  // bytes between the marker and the offset table
    auto fixed = [&](std::uint64_t width) -> std::optional<Object> {
        if (width > room) return std::nullopt;
        o.count = width;
        return o;
    };
    switch (o.type) {
        case BOOL:
            if (o.info == 0x8 || o.info == 0x9) return o;
            return std::nullopt;
        case INT:
            if (o.info > 4) return std::nullopt;
            return fixed(std::uint64_t{1} << o.info);
        case REAL:
            if (o.info != 2 && o.info != 3) return std::nullopt;
            return fixed(std::uint64_t{1} << o.info);
        case DATE:
            if (o.info != 3) return std::nullopt;
            return fixed(8);
        case UID:
            // Of 1 to 16 bytes, as libplist reads it (the last 8 of a wider one), and below 2^32.
            if (o.info + 1u > room || load_be(list_.data() + o.start, o.info + 1u) > 0xFFFF'FFFF)
                return std::nullopt;
            return fixed(o.info + 1u);
        case DATA:
        case ASCII:
        case UTF16:
        case ARRAY:
        case SET:
        case DICT: break;
        default: return std::nullopt;
    }
    o.count = o.info;
    if (o.info == COUNT_FOLLOWS) {
        // The count is an integer object of its own, of 2^n bytes.
        if (room < 1) return std::nullopt;
        const std::uint8_t marker = list_[o.start];
        if (marker >> 4 != INT || (marker & 0xF) > 4) return std::nullopt;
        const std::uint64_t width = std::uint64_t{1} << (marker & 0xF);
        if (width > room - 1) return std::nullopt;
        o.count = load_be(list_.data() + o.start + 1, width);
        o.start += 1 + width;
    }
    const std::uint64_t unit = o.type == UTF16        ? 2
                               : o.type == DICT       ? 2 * trailer_.ref_size
                               : is_container(o.type) ? trailer_.ref_size
                                                      : 1;
    if (o.count > (trailer_.table - o.start) / unit) return std::nullopt;
    // libplist 2.2 cannot convert an empty UTF-16 string and turns the list away.
    if (o.type == UTF16 && o.count == 0) return std::nullopt;
    return o;
}

std::uint64_t BinaryPlist::reference(const Object& container, std::uint64_t n) const {
    return load_be(list_.data() + container.start + n * trailer_.ref_size, trailer_.ref_size);
}

// Every object reachable from the top, each once: its shape, the type of every key, references that
// name an object, no cycle, and no path through more than MAX_PLIST_DEPTH containers. Without
// recursion, in time linear in the list's size: references are read once per container, and a list
// whose containers hold more references than it has bytes (only overlapping objects manage that)
// is turned away as too large.
std::optional<ReadError> BinaryPlist::walk() {
    struct Frame {
        std::uint64_t id;
        Object object;
        std::uint64_t next = 0;  // its next reference: key j is 2j, value j is 2j+1 (libplist's order)
        std::uint8_t below = 0;  // the most containers on one path below it so far
    };
    // Per object: UNSEEN, ON_PATH, or the most containers on one path from it down (0 for a leaf).
    constexpr std::uint8_t UNSEEN = 0xFF;
    constexpr std::uint8_t ON_PATH = 0xFE;
    std::vector<std::uint8_t> height(trailer_.count, UNSEEN);
    std::vector<Frame> path;
    std::uint64_t references_left = list_.size();

    auto finish = [&](std::uint64_t id) -> std::optional<ReadError> {
        const std::uint8_t h = height[id];
        if (path.size() + h > MAX_PLIST_DEPTH) return ReadError::TooDeep;
        if (!path.empty()) path.back().below = std::max(path.back().below, h);
        return std::nullopt;
    };
    auto enter = [&](std::uint64_t id) -> std::optional<ReadError> {
        std::uint8_t& h = height[id];
        if (h == ON_PATH) return ReadError::InvalidBinary;  // a cycle
        if (h == UNSEEN) {
            const auto o = object(id);
            if (!o) return ReadError::InvalidBinary;
            if (is_container(o->type)) {
                if (path.size() + 1 > MAX_PLIST_DEPTH) return ReadError::TooDeep;
                h = ON_PATH;
                path.push_back({id, *o});
                return std::nullopt;
            }
            h = 0;
        }
        return finish(id);
    };

    if (auto error = enter(trailer_.top)) return error;
    while (!path.empty()) {
        Frame& frame = path.back();
        const Object& o = frame.object;
        if (frame.next == references_of(o)) {
            const std::uint64_t id = frame.id;
            height[id] = static_cast<std::uint8_t>(frame.below + 1);
            path.pop_back();
            if (auto error = finish(id)) return error;
            continue;
        }
        if (references_left-- == 0) return ReadError::TooLarge;
        const std::uint64_t n = frame.next++;
        const bool key = o.type == DICT && n % 2 == 0;
        const std::uint64_t child = reference(o, o.type == DICT ? (key ? n / 2 : o.count + n / 2) : n);
        if (child >= trailer_.count) return ReadError::InvalidBinary;
        if (key) {
            // Keys must be strings; the marker's type is all that is needed to tell.
            const std::uint64_t at = trailer_.offset_of(list_, child);
            if (at >= trailer_.table) return ReadError::InvalidBinary;
            const auto type = static_cast<std::uint8_t>(list_[at] >> 4);
            if (type != ASCII && type != UTF16) return ReadError::InvalidBinary;
        }
        if (auto error = enter(child)) return error;
    }
    return std::nullopt;
}

BinaryPlist::Object BinaryPlist::walked(std::uint64_t id) const {
    return object(id).value_or(Object{});  // the walk read it already, so it is there
}

PlistValue BinaryPlist::value(std::uint64_t id) const {
    const std::uint64_t at = trailer_.offset_of(list_, id);
    ValueKind kind = ValueKind::Other;
    switch (list_[at] >> 4) {
        case DICT: kind = ValueKind::Dictionary; break;
        case ARRAY:
        case SET: kind = ValueKind::Array; break;
        case ASCII:
        case UTF16: kind = ValueKind::String; break;
        case INT: kind = ValueKind::Integer; break;
        default: break;
    }
    return {static_cast<std::uint32_t>(id), kind};
}

std::optional<PlistValue> BinaryPlist::find(PlistValue dict, std::string_view key) const {
    if (dict.kind != ValueKind::Dictionary) return std::nullopt;
    const Object o = walked(dict.id);
    auto scan = [&] {
        for (std::uint64_t j = 0; j < o.count; ++j)
            if (text_of(reference(o, j)) == key) return static_cast<std::uint32_t>(reference(o, o.count + j));
        return NONE;
    };
    // A small dictionary is scanned, quicker than remembered. A large one, which many references may
    // share, is scanned once per key asked: callers ask for a handful of keys, each gets a slot, and
    // keys beyond the slots are looked up afresh each time.
    const auto slot = static_cast<std::size_t>(std::ranges::find(keys_asked_, key) - keys_asked_.begin());
    const bool remembered = o.count > SMALL_DICTIONARY && slot < MAX_KEY_SLOTS;
    auto remember = [&] {
        if (slot == keys_asked_.size()) keys_asked_.emplace_back(key);
        auto [known, added] = found_.try_emplace(std::uint64_t{dict.id} << 32 | slot, NONE);
        if (added) known->second = scan();
        return known->second;
    };
    const std::uint32_t result = remembered ? remember() : scan();
    if (result == NONE) return std::nullopt;
    return value(result);
}

void BinaryPlist::for_each_item(PlistValue array, const ItemVisitor& visit) const {
    if (array.kind != ValueKind::Array) return;
    const Object o = walked(array.id);
    for (std::uint64_t i = 0; i < o.count; ++i)
        if (!visit(value(reference(o, i)))) return;
}

void BinaryPlist::for_each_entry(PlistValue dict, const EntryVisitor& visit) const {
    if (dict.kind != ValueKind::Dictionary) return;
    const Object o = walked(dict.id);
    for (std::uint64_t j = 0; j < o.count; ++j) {
        // Every key was checked to be a string.
        const std::string_view key = text_of(reference(o, j));
        if (!visit(key, value(reference(o, o.count + j)))) return;
    }
}

std::string_view BinaryPlist::text_of(std::uint64_t id) const {
    const Object o = walked(id);
    const auto* chars = list_.data() + o.start;
    if (o.type == ASCII) return {reinterpret_cast<const char*>(chars), o.count};
    if (o.type != UTF16) return {};
    auto [text, added] = utf8_.try_emplace(static_cast<std::uint32_t>(id));
    if (added) text->second = utf8_of_utf16(chars, o.count);
    return text->second;
}

std::optional<std::string_view> BinaryPlist::string(PlistValue value) const {
    if (value.kind != ValueKind::String) return std::nullopt;
    return text_of(value.id);
}

std::optional<PlistInteger> BinaryPlist::integer(PlistValue value) const {
    if (value.kind != ValueKind::Integer) return std::nullopt;
    const Object o = walked(value.id);
    // 1, 2 and 4 bytes are unsigned, 8 bytes signed; of 16 bytes libplist keeps the low 8, unsigned.
    const std::uint64_t bits = load_be(list_.data() + o.start, o.count);
    return PlistInteger{bits, o.count == 8 && (bits >> 63) != 0};
}

}  // namespace vantrel::mux::detail

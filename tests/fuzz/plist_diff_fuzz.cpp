// Fuzz target: the reply reader against libplist 2.2's reader, on the same bytes (a payload of at most
// 16 KB, binary when it begins with "bplist00", XML otherwise). libplist reads only what it survives:
// a binary list that it would build into more nodes than the list has bytes (ours reads it, or turns
// it away as too large where its objects overlap), or nest more than 200 deep (ours must turn it
// away), is measured first and kept from it. Where both accept, every value agrees: kinds, strings
// byte for byte, integers with their sign, dictionaries key for key (lookups as each reads them) and
// arrays item for item. Where the verdicts differ, the difference must be one listed here:
//   - XML that is not a strict property list: libplist's XML reader is no XML parser and takes text
//     that is not well-formed, element content that the property-list DTD does not allow, integers
//     in hexadecimal or octal (any leading zero), with junk after the digits or beyond 64 bits (it
//     clamps), and internal DTD subsets; ours turns all of these away. strict_plist_xml below decides this
//     with expat on its own, independently of the reader.
//   - Lists nested more than MAX_PLIST_DEPTH deep, which ours turns away by design.
//   - A binary UID at the root, which libplist 2.2 presents as a {"CF$UID": n} dictionary.
// Values are not compared where a string or key holds a zero byte: libplist's strings are C strings,
// cut at the first zero (and its key lookup matches on the text before it); ours keep every byte.
// Nor where a binary UTF-16 string holds a surrogate without its partner: ours reads it as U+FFFD,
// libplist 2.2 drops it or cuts the string there.
// One difference goes the other way: libplist 2.2 does not read processing instructions wherever XML
// has them (it turns away one inside a key, or one holding quotes that do not pair); ours does.
#include <expat.h>
#include <plist/plist.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_check.h"
#include "libplist_guard.h"
#include "mux/reply.h"
#include "net/plist.h"

namespace {

using vantrel::mux::PlistInteger;
using vantrel::mux::PlistValue;
using vantrel::mux::Reply;
using vantrel::mux::ValueKind;

constexpr std::size_t MAX_PAYLOAD = 16 * 1024;
constexpr std::size_t LIBPLIST_DEPTH_LIMIT = 200;

// ---- Strict property-list XML, decided with expat alone ----

class StrictXml {
public:
    static bool check(std::string_view text) {
        XML_Parser parser = XML_ParserCreate("UTF-8");
        StrictXml strict;
        XML_SetUserData(parser, &strict);
        XML_SetElementHandler(
            parser,
            [](void* s, const XML_Char* name, const XML_Char**) { static_cast<StrictXml*>(s)->start(name); },
            [](void* s, const XML_Char*) { static_cast<StrictXml*>(s)->end(); });
        XML_SetCharacterDataHandler(parser, [](void* s, const XML_Char* t, int n) {
            static_cast<StrictXml*>(s)->text({t, static_cast<std::size_t>(n)});
        });
        XML_SetStartDoctypeDeclHandler(
            parser, [](void* s, const XML_Char*, const XML_Char*, const XML_Char*, int internal) {
                static_cast<StrictXml*>(s)->ok_ &= !internal;
            });
        XML_SetSkippedEntityHandler(
            parser, [](void* s, const XML_Char*, int) { static_cast<StrictXml*>(s)->ok_ = false; });
        const bool parsed =
            XML_Parse(parser, text.data(), static_cast<int>(text.size()), XML_TRUE) == XML_STATUS_OK;
        XML_ParserFree(parser);
        return parsed && strict.ok_ && strict.values_at_top_ == 1;
    }

    // Whether the text holds a processing instruction: some "<?" other than the XML declaration's (a
    // loose scan of the bytes, which may also find one inside a comment or CDATA section).
    static bool has_processing_instruction(std::string_view text) {
        for (std::size_t at = text.find("<?"); at != std::string_view::npos; at = text.find("<?", at + 2))
            if (at != 0 || !text.starts_with("<?xml ")) return true;
        return false;
    }

private:
    StrictXml() = default;

    struct Open {
        std::string name;
        std::size_t children = 0;
        std::string text{};
    };

    static bool is_value(std::string_view n) {
        static constexpr std::array<std::string_view, 9> VALUES = {
            "dict", "array", "string", "integer", "real", "date", "data", "true", "false"};
        return std::ranges::find(VALUES, n) != VALUES.end();
    }

    void start(std::string_view name) {
        if (open_.empty()) {
            if (name != "plist") {
                ok_ &= is_value(name);
                ++values_at_top_;
            }
        } else {
            Open& parent = open_.back();
            const bool key = name == "key";
            if (parent.name == "plist") {
                ok_ &= is_value(name);
                ++values_at_top_;
            } else if (parent.name == "dict") {
                ok_ &= (parent.children % 2 == 0) ? key : is_value(name);
            } else if (parent.name == "array") {
                ok_ &= is_value(name);
            } else {
                ok_ = false;  // nothing inside a key or a simple value
            }
            ++parent.children;
        }
        open_.push_back({std::string(name)});
    }

    void end() {
        const Open closed = open_.back();
        open_.pop_back();
        if (closed.name == "integer") ok_ &= strict_integer(closed.text);
    }

    void text(std::string_view t) {
        Open& top = open_.back();
        const std::string& n = top.name;
        if (n == "key" || n == "string" || n == "real" || n == "date" || n == "data") return;
        if (n == "integer") {
            top.text += t;
            return;
        }
        ok_ &= std::ranges::all_of(t, [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; });
    }

    // Decimal without leading zeros, an optional sign and white space around, from INT64_MIN to
    // UINT64_MAX.
    static bool strict_integer(std::string_view t) {
        auto space = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
        while (!t.empty() && space(t.front())) t.remove_prefix(1);
        while (!t.empty() && space(t.back())) t.remove_suffix(1);
        bool negative = false;
        if (!t.empty() && (t.front() == '-' || t.front() == '+')) {
            negative = t.front() == '-';
            t.remove_prefix(1);
        }
        if (t.empty() || !std::ranges::all_of(t, [](char c) { return c >= '0' && c <= '9'; })) return false;
        if (t.size() > 1 && t.front() == '0') return false;
        const std::string_view limit = negative ? "9223372036854775808" : "18446744073709551615";
        return t.size() < limit.size() || (t.size() == limit.size() && t <= limit);
    }

    std::vector<Open> open_;
    std::size_t values_at_top_ = 0;
    bool ok_ = true;
};

// ---- libplist's side ----

bool libplist_negative(plist_t node) {
    // libplist keeps a hidden width beside the 64 bits; only its writers tell -1 from 2^64 - 1.
    char* raw = nullptr;
    std::uint32_t length = 0;
    plist_to_xml(node, &raw, &length);
    vantrel::net::XmlText xml(raw);
    return xml != nullptr && std::string_view(xml.get(), length).find("<integer>-") != std::string_view::npos;
}

// Containers on the deepest path, counted up to `cap`.
std::size_t libplist_depth(plist_t node, std::size_t cap) {
    const plist_type type = plist_get_node_type(node);
    if (type != PLIST_ARRAY && type != PLIST_DICT) return 0;
    if (cap == 0) return 1;
    std::size_t below = 0;
    if (type == PLIST_ARRAY) {
        plist_array_iter it = nullptr;
        plist_array_new_iter(node, &it);
        for (plist_t item = nullptr;;) {
            plist_array_next_item(node, it, &item);
            if (item == nullptr) break;
            below = std::max(below, libplist_depth(item, cap - 1));
        }
        std::free(it);
    } else {
        plist_dict_iter it = nullptr;
        plist_dict_new_iter(node, &it);
        for (plist_t value = nullptr;;) {
            plist_dict_next_item(node, it, nullptr, &value);
            if (value == nullptr) break;
            below = std::max(below, libplist_depth(value, cap - 1));
        }
        std::free(it);
    }
    return 1 + below;
}

bool is_uid_dictionary(plist_t node) {
    return plist_get_node_type(node) == PLIST_DICT && plist_dict_get_size(node) == 1 &&
           plist_dict_get_item(node, "CF$UID") != nullptr;
}

// ---- Ours ----

bool read_otherwise_by_libplist(std::string_view text) {
    return text.find('\0') != std::string_view::npos || text.find("\xEF\xBF\xBD") != std::string_view::npos;
}

// Whether a string or key anywhere holds text that libplist reads otherwise (each object looked at once).
bool has_text_read_otherwise(const Reply& reply, PlistValue value, std::set<std::uint32_t>& seen) {
    if (!seen.insert(value.id).second) return false;
    bool found = false;
    if (value.kind == ValueKind::String) return read_otherwise_by_libplist(*reply.string(value));
    if (value.kind == ValueKind::Array) {
        reply.for_each_item(
            value, [&](PlistValue item) { return !(found = has_text_read_otherwise(reply, item, seen)); });
    } else if (value.kind == ValueKind::Dictionary) {
        reply.for_each_entry(value, [&](std::string_view key, PlistValue v) {
            found = read_otherwise_by_libplist(key) || has_text_read_otherwise(reply, v, seen);
            return !found;
        });
    }
    return found;
}

void compare(const Reply& reply, PlistValue ours, plist_t theirs, bool binary, std::size_t depth) {
    FUZZ_CHECK(depth <= vantrel::mux::MAX_PLIST_DEPTH + 1);
    switch (plist_get_node_type(theirs)) {
        case PLIST_DICT: {
            FUZZ_CHECK(ours.kind == ValueKind::Dictionary);
            std::set<std::string_view> keys;
            std::size_t entries = 0;
            reply.for_each_entry(ours, [&](std::string_view key, PlistValue) {
                keys.insert(key);
                ++entries;
                return true;
            });
            // libplist's binary reader keeps duplicate keys, its XML reader replaces them.
            FUZZ_CHECK(plist_dict_get_size(theirs) == (binary ? entries : keys.size()));
            for (std::string_view key : keys) {
                const std::string k(key);
                plist_t value = plist_dict_get_item(theirs, k.c_str());
                FUZZ_CHECK(value != nullptr);
                compare(reply, *reply.find(ours, key), value, binary, depth + 1);
            }
            return;
        }
        case PLIST_ARRAY: {
            FUZZ_CHECK(ours.kind == ValueKind::Array);
            plist_array_iter it = nullptr;
            plist_array_new_iter(theirs, &it);
            std::size_t items = 0;
            reply.for_each_item(ours, [&](PlistValue item) {
                plist_t their_item = nullptr;
                plist_array_next_item(theirs, it, &their_item);
                FUZZ_CHECK(their_item != nullptr);
                compare(reply, item, their_item, binary, depth + 1);
                ++items;
                return true;
            });
            std::free(it);
            FUZZ_CHECK(items == plist_array_get_size(theirs));
            return;
        }
        case PLIST_STRING: {
            FUZZ_CHECK(ours.kind == ValueKind::String);
            std::uint64_t length = 0;
            const char* text = plist_get_string_ptr(theirs, &length);
            FUZZ_CHECK(*reply.string(ours) == std::string_view(text, length));
            return;
        }
        case PLIST_UINT: {
            FUZZ_CHECK(ours.kind == ValueKind::Integer);
            PlistInteger expected;
            plist_get_uint_val(theirs, &expected.bits);
            expected.negative = libplist_negative(theirs);
            FUZZ_CHECK(reply.integer(ours) == expected);
            return;
        }
        default:
            // Booleans, reals, dates, data and UIDs: nothing reads them.
            FUZZ_CHECK(ours.kind == ValueKind::Other);
            return;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > MAX_PAYLOAD) return -1;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const bool binary = text.starts_with("bplist00");
    auto ours = vantrel::mux::parse_response_payload(data, size);

    if (binary) {
        const auto nesting = vantrel::fuzz::binary_plist_nesting({data, size}, LIBPLIST_DEPTH_LIMIT);
        if (nesting == vantrel::fuzz::Nesting::TooDeep) {
            FUZZ_CHECK(!ours);  // far beyond our limit
            return 0;
        }
        if (nesting == vantrel::fuzz::Nesting::TooLarge) return 0;  // libplist would not survive it
    }
    plist_t raw = nullptr;
    if (binary) {
        plist_from_bin(text.data(), static_cast<std::uint32_t>(size), &raw);
    } else {
        plist_from_xml(text.data(), static_cast<std::uint32_t>(size), &raw);
    }
    const vantrel::net::Plist theirs(raw);
    const bool theirs_ok = theirs != nullptr && plist_get_node_type(theirs.get()) == PLIST_DICT;

    if (ours && theirs_ok) {
        std::set<std::uint32_t> seen;
        const bool comparable = !has_text_read_otherwise(*ours, ours->root(), seen);
        if (comparable) compare(*ours, ours->root(), theirs.get(), binary, 0);
        return 0;
    }
    if (!ours && theirs_ok) {
        const std::string& why = ours.error().message();
        const bool excused =
            (why == vantrel::mux::MSG_NESTED_TOO_DEEPLY &&
             libplist_depth(theirs.get(), vantrel::mux::MAX_PLIST_DEPTH + 1) >
                 vantrel::mux::MAX_PLIST_DEPTH) ||
            (!binary && !StrictXml::check(text)) ||
            (binary && why == vantrel::mux::MSG_NOT_A_DICTIONARY && is_uid_dictionary(theirs.get()));
        FUZZ_CHECK(excused);
        return 0;
    }
    // libplist turned it away (or its root is no dictionary): so must we.
    FUZZ_CHECK(!ours || (!binary && StrictXml::has_processing_instruction(text)));
    return 0;
}

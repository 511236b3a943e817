#include <expat.h>

#include <algorithm>
#include <array>
#include <limits>
#include <memory>
#include <string>

#include "mux/plist_values.h"

namespace vantrel::mux::detail {
namespace {

using Kind = XmlPlist::Kind;
using Node = XmlPlist::Node;
constexpr std::uint32_t NONE = XmlPlist::NONE;

enum class Element { Plist, Dict, Array, Key, String, Integer, Real, Date, Data, True, False };

struct ElementName {
    std::string_view name;
    Element element;  // cppcheck-suppress unusedStructMember
};
constexpr std::array ELEMENTS = {
    ElementName{"plist", Element::Plist},   ElementName{"dict", Element::Dict},
    ElementName{"array", Element::Array},   ElementName{"key", Element::Key},
    ElementName{"string", Element::String}, ElementName{"integer", Element::Integer},
    ElementName{"real", Element::Real},     ElementName{"date", Element::Date},
    ElementName{"data", Element::Data},     ElementName{"true", Element::True},
    ElementName{"false", Element::False},
};

Kind kind_of(Element e) {
    switch (e) {
        case Element::Dict: return Kind::Dictionary;
        case Element::Array: return Kind::Array;
        case Element::Key: return Kind::Key;
        case Element::String: return Kind::String;
        case Element::Integer: return Kind::Integer;
        default: return Kind::Other;
    }
}

bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// The escape that lets expat read control bytes (read() says why): 0xFF 0xFF for 0xFF itself, and
// 0xFF followed by the control byte plus 0x80 for a control byte. Both bytes of an escape are plain
// characters in ISO-8859-1, so an escape never forms or breaks markup (a "]]>", say).
constexpr char ESCAPE = '\xFF';
constexpr unsigned ESCAPED_OFFSET = 0x80;

char escaped(char c) {
    return c == ESCAPE ? ESCAPE : static_cast<char>(static_cast<unsigned char>(c) + ESCAPED_OFFSET);
}
char unescaped(char c) {
    return c == ESCAPE ? ESCAPE : static_cast<char>(static_cast<unsigned char>(c) - ESCAPED_OFFSET);
}

bool needs_escape(char c) {
    const auto b = static_cast<unsigned char>(c);
    return (b < 0x20 && c != '\t' && c != '\n' && c != '\r') || c == ESCAPE;
}

// The text of an <integer>, fed in pieces: optional white space, an optional sign, decimal digits
// without leading zeros (libplist would read those as octal), optional white space. Values from the
// signed 64-bit minimum to the unsigned maximum; anything else makes the list invalid.
class IntegerText {
public:
    bool feed(std::string_view text) {
        for (char c : text) {
            if (is_space(c)) {
                if (stage_ == Stage::Digits) stage_ = Stage::After;
                if (stage_ == Stage::Sign) return false;
                continue;
            }
            if (stage_ == Stage::Before && (c == '-' || c == '+')) {
                negative_ = c == '-';
                stage_ = Stage::Sign;
                continue;
            }
            if (c < '0' || c > '9' || stage_ == Stage::After) return false;
            if (stage_ == Stage::Digits && magnitude_ == 0) return false;  // a leading zero
            const auto digit = static_cast<std::uint64_t>(c - '0');
            if (magnitude_ > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) return false;
            magnitude_ = magnitude_ * 10 + digit;
            stage_ = Stage::Digits;
        }
        return true;
    }

    std::optional<PlistInteger> value() const {
        if (stage_ != Stage::Digits && stage_ != Stage::After) return std::nullopt;
        if (!negative_ || magnitude_ == 0) return PlistInteger{magnitude_, false};
        if (magnitude_ > std::uint64_t{1} << 63) return std::nullopt;
        return PlistInteger{~magnitude_ + 1, true};
    }

private:
    enum class Stage { Before, Sign, Digits, After };
    Stage stage_ = Stage::Before;
    bool negative_ = false;
    std::uint64_t magnitude_ = 0;
};

// expat's callbacks build the nodes; the first fault stops the parser (expat may still deliver a
// callback or two, which are ignored).
class Builder {
public:
    // `input` is what expat parses (escaped as read() describes).
    Builder(XML_Parser parser, std::string_view input, XmlPlist& out)
        : parser_(parser), input_(input), out_(out) {}

    std::optional<ReadError> error() const { return error_; }
    bool has_root() const { return has_root_; }

    void start(std::string_view name) {
        if (error_) return;
        const auto* named = std::ranges::find(ELEMENTS, name, &ElementName::name);
        if (named == ELEMENTS.end()) return fail(ReadError::InvalidXml);
        const Element element = named->element;
        if (!placed(element)) return fail(ReadError::InvalidXml);
        if (element == Element::Plist) {
            open_.push_back({element, NONE});
            return;
        }
        const Kind kind = kind_of(element);
        if (kind == Kind::Dictionary || kind == Kind::Array) {
            if (++containers_ > MAX_PLIST_DEPTH) return fail(ReadError::TooDeep);
        }
        const auto index = static_cast<std::uint32_t>(out_.nodes_.size());
        Node node{kind};
        if (kind == Kind::String || kind == Kind::Key) {
            node.a = static_cast<std::uint32_t>(out_.text_.size());
            node.b = 0;
        }
        out_.nodes_.push_back(node);
        attach(index);
        open_.push_back({element, index});
        if (element == Element::Integer) integer_ = IntegerText();
    }

    void end() {
        if (error_) return;
        const Open closed = open_.back();
        open_.pop_back();
        if (closed.element == Element::Plist) {
            if (!has_root_) fail(ReadError::InvalidXml);
            return;
        }
        Node& node = out_.nodes_[closed.node];
        if (node.kind == Kind::Dictionary || node.kind == Kind::Array) --containers_;
        if (node.kind == Kind::Integer) {
            const auto value = integer_.value();
            if (!value) return fail(ReadError::InvalidXml);
            node.a = static_cast<std::uint32_t>(value->bits);
            node.b = static_cast<std::uint32_t>(value->bits >> 32);
            node.negative = value->negative;
        }
        if (!open_.empty() && open_.back().element == Element::Dict)
            open_.back().wants_key = !open_.back().wants_key;
    }

    void text(std::string_view decoded) {
        if (error_) return;
        const std::string_view text = source_of(decoded);
        const Open& top = open_.back();
        switch (top.element) {
            case Element::Key:
            case Element::String:
                out_.text_.insert(out_.text_.end(), text.begin(), text.end());
                out_.nodes_[top.node].b += static_cast<std::uint32_t>(text.size());
                return;
            case Element::Integer:
                if (!integer_.feed(text)) fail(ReadError::InvalidXml);
                return;
            case Element::Real:
            case Element::Date:
            case Element::Data: return;  // never read
            default:
                if (!std::ranges::all_of(text, is_space)) fail(ReadError::InvalidXml);
        }
    }

    void fail(ReadError error) {
        if (!error_) error_ = error;
        XML_StopParser(parser_, XML_FALSE);
    }

private:
    // The bytes a piece of text stands for: a reference (&amp;, &#233;) as expat decodes it, anything
    // else as it stands in the input, with the escapes undone; so a string holds exactly the bytes
    // the daemon wrote, line ends and all.
    std::string_view source_of(std::string_view decoded) {
        const XML_Index at = XML_GetCurrentByteIndex(parser_);
        const int count = XML_GetCurrentByteCount(parser_);
        if (at < 0 || count <= 0 ||
            static_cast<std::size_t>(at) + static_cast<std::size_t>(count) > input_.size())
            return decoded;
        const std::string_view token =
            input_.substr(static_cast<std::size_t>(at), static_cast<std::size_t>(count));
        if (token.front() == '&') return decoded;
        std::string_view source = token;
        // A line end ("\r\n" read as "\n") is a token of its own, whole in one call. A run of other
        // characters may come in several calls that all name the whole run (when expat's buffer for
        // the decoded text fills up): each takes its share, one input byte per character.
        if (at != token_at_) {
            token_at_ = at;
            token_used_ = 0;
        }
        if (token.find('\r') == std::string_view::npos) {
            const auto characters = static_cast<std::size_t>(std::ranges::count_if(
                decoded, [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
            source = token.substr(std::min(token_used_, token.size()), characters);
            token_used_ += characters;
        }
        if (!escape_open_ && source.find(ESCAPE) == std::string_view::npos) return source;
        raw_.clear();
        // A piece may also end between an escape's two bytes: the next piece's first byte closes it.
        for (const char c : source) {
            if (escape_open_) {
                raw_ += unescaped(c);
                escape_open_ = false;
            } else if (c == ESCAPE) {
                escape_open_ = true;
            } else {
                raw_ += c;
            }
        }
        return raw_;
    }

    struct Open {
        Element element;
        std::uint32_t node;     // NONE for <plist>
        bool wants_key = true;  // dictionaries: a key comes next, else its value
    };

    // Whether `element` may open here: <plist> only around the document, one value in it, keys and
    // values taking turns in a dictionary, nothing inside a key or a simple value.
    bool placed(Element element) const {
        const bool is_key = element == Element::Key;
        if (open_.empty()) return !is_key;
        if (element == Element::Plist) return false;
        const Open& parent = open_.back();
        switch (parent.element) {
            case Element::Plist: return !is_key && !has_root_;
            case Element::Dict: return is_key == parent.wants_key;
            case Element::Array: return !is_key;
            default: return false;
        }
    }

    void attach(std::uint32_t index) {
        if (open_.empty() || open_.back().element == Element::Plist) {
            out_.root_ = index;
            has_root_ = true;
            return;
        }
        Node& parent = out_.nodes_[open_.back().node];
        if (parent.a == NONE) {
            parent.a = index;
        } else {
            out_.nodes_[parent.b].next = index;
        }
        parent.b = index;
    }

    XML_Parser parser_;
    std::string_view input_;
    std::string raw_;             // the last piece of text whose escapes were undone
    bool escape_open_ = false;    // a piece ended after an escape's first byte
    XML_Index token_at_ = -1;     // where the token of the last piece begins in the input
    std::size_t token_used_ = 0;  // how many of its bytes the pieces so far stood for
    XmlPlist& out_;
    std::vector<Open> open_;
    std::size_t containers_ = 0;
    bool has_root_ = false;
    IntegerText integer_;
    std::optional<ReadError> error_;
};

Builder& builder_of(void* data) {
    return *static_cast<Builder*>(data);
}

void XMLCALL on_start(void* data, const XML_Char* name, const XML_Char**) {
    builder_of(data).start(name);
}
void XMLCALL on_end(void* data, const XML_Char*) {
    builder_of(data).end();
}
void XMLCALL on_text(void* data, const XML_Char* text, int length) {
    builder_of(data).text({text, static_cast<std::size_t>(length)});
}
// A list declares no entities and no internal DTD subset at all: nothing can expand.
void XMLCALL on_doctype(void* data, const XML_Char*, const XML_Char*, const XML_Char*,
                        int has_internal_subset) {
    if (has_internal_subset) builder_of(data).fail(ReadError::InvalidXml);
}
void XMLCALL on_entity_declaration(void* data, const XML_Char*, int, const XML_Char*, int, const XML_Char*,
                                   const XML_Char*, const XML_Char*, const XML_Char*) {
    builder_of(data).fail(ReadError::InvalidXml);
}
void XMLCALL on_skipped_entity(void* data, const XML_Char*, int) {
    builder_of(data).fail(ReadError::InvalidXml);
}

struct ParserDeleter {
    void operator()(XML_Parser parser) const { XML_ParserFree(parser); }
};

}  // namespace

std::expected<XmlPlist, ReadError> XmlPlist::read(std::string_view text) {
    if (text.size() > std::numeric_limits<int>::max() / 2) return std::unexpected(ReadError::TooLarge);
    // libplist, and so usbmuxd, writes a string's bytes as they are: not always UTF-8, and control
    // bytes too, which XML 1.0 text may not hold. So expat is told the text is ISO-8859-1, where every
    // byte is a character, and reads a copy in which control bytes are escaped; the text of strings
    // and keys is then taken from these bytes (Builder::source_of), not from expat's decoding.
    std::string escaped_text;
    if (std::ranges::any_of(text, needs_escape)) {
        escaped_text.reserve(text.size() +
                             static_cast<std::size_t>(std::ranges::count_if(text, needs_escape)));
        for (char c : text) {
            if (!needs_escape(c)) {
                escaped_text += c;
            } else {
                escaped_text += ESCAPE;
                escaped_text += escaped(c);
            }
        }
        text = escaped_text;
    }
    std::unique_ptr<XML_ParserStruct, ParserDeleter> parser(XML_ParserCreate("ISO-8859-1"));
    if (!parser) throw std::bad_alloc();
    XmlPlist plist;
    // Text never grows in reading (no entities), and every node is an element of at least six bytes
    // ("<key/>"): reserving both up front spares the copies of growing them.
    plist.text_.reserve(text.size());
    plist.nodes_.reserve(std::min(text.size() / 6, static_cast<std::size_t>(std::ranges::count(text, '<'))));
    Builder builder(parser.get(), text, plist);
    XML_SetUserData(parser.get(), &builder);
    XML_SetElementHandler(parser.get(), on_start, on_end);
    XML_SetCharacterDataHandler(parser.get(), on_text);
    XML_SetStartDoctypeDeclHandler(parser.get(), on_doctype);
    XML_SetEntityDeclHandler(parser.get(), on_entity_declaration);
    XML_SetSkippedEntityHandler(parser.get(), on_skipped_entity);
    // One call with the whole text: expat reads each token once.
    const XML_Status status = XML_Parse(parser.get(), text.data(), static_cast<int>(text.size()), XML_TRUE);
    if (const auto error = builder.error()) return std::unexpected(*error);
    if (status != XML_STATUS_OK || !builder.has_root()) return std::unexpected(ReadError::InvalidXml);
    return plist;
}

PlistValue XmlPlist::value(std::uint32_t node) const {
    ValueKind kind = ValueKind::Other;
    switch (nodes_[node].kind) {
        case Kind::Dictionary: kind = ValueKind::Dictionary; break;
        case Kind::Array: kind = ValueKind::Array; break;
        case Kind::String: kind = ValueKind::String; break;
        case Kind::Integer: kind = ValueKind::Integer; break;
        default: break;
    }
    return {node, kind};
}

void XmlPlist::for_each_entry(PlistValue dict, const EntryVisitor& visit) const {
    if (dict.kind != ValueKind::Dictionary) return;
    // Keys and values take turns; a last key without a value is left out, as libplist does.
    for (std::uint32_t key = nodes_[dict.id].a; key != NONE && nodes_[key].next != NONE;
         key = nodes_[nodes_[key].next].next) {
        if (!visit(text_of(nodes_[key]), value(nodes_[key].next))) return;
    }
}

std::optional<PlistValue> XmlPlist::find(PlistValue dict, std::string_view key) const {
    // The last of duplicate keys counts: libplist's XML reader replaces earlier ones.
    std::optional<PlistValue> found;
    for_each_entry(dict, [&](std::string_view k, PlistValue v) {
        if (k == key) found = v;
        return true;
    });
    return found;
}

void XmlPlist::for_each_item(PlistValue array, const ItemVisitor& visit) const {
    if (array.kind != ValueKind::Array) return;
    for (std::uint32_t item = nodes_[array.id].a; item != NONE; item = nodes_[item].next)
        if (!visit(value(item))) return;
}

std::optional<std::string_view> XmlPlist::string(PlistValue value) const {
    if (value.kind != ValueKind::String) return std::nullopt;
    return text_of(nodes_[value.id]);
}

std::optional<PlistInteger> XmlPlist::integer(PlistValue value) const {
    if (value.kind != ValueKind::Integer) return std::nullopt;
    const Node& node = nodes_[value.id];
    return PlistInteger{std::uint64_t{node.b} << 32 | node.a, node.negative};
}

}  // namespace vantrel::mux::detail

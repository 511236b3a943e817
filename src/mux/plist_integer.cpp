#include "mux/plist_integer.h"

#include <cstring>
#include <limits>
#include <memory>
#include <string_view>

#include "net/plist.h"

namespace vantrel::mux {
namespace {

// libplist keeps integers as 64 bits plus a hidden width: negative values and values above
// INT64_MAX share the same bits, and only the library's own writers tell them apart.
bool written_with_minus(plist_t node) {
    char* raw = nullptr;
    std::uint32_t length = 0;
    plist_to_xml(node, &raw, &length);
    net::XmlText xml(raw);
    if (xml == nullptr) return false;
    return std::string_view(xml.get(), length).find("<integer>-") != std::string_view::npos;
}

}  // namespace

std::optional<PlistInteger> integer_value(plist_t node) {
    if (node == nullptr || plist_get_node_type(node) != PLIST_UINT) return std::nullopt;
    PlistInteger value;
    plist_get_uint_val(node, &value.bits);
    if (value.bits > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
        value.negative = written_with_minus(node);
    return value;
}

}  // namespace vantrel::mux

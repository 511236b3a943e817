#include "sim/replies.h"

#include <plist/plist.h>

#include <cstring>
#include <string>
#include <string_view>

#include "net/plist.h"
#include "net/wire.h"

namespace vantrel::sim {

namespace {

// Properties of a simulated device: an iPhone on a USB 2.0 port.
constexpr std::uint64_t CONNECTION_SPEED = 480'000'000;
constexpr std::uint64_t PRODUCT_ID = 0x12A8;
constexpr std::uint64_t LOCATION_BASE = 0x01100000;
// The entries that the bridge must skip get ids far above the simulator's own.
constexpr std::uint64_t UNUSABLE_ID_BASE = 1'000'000;
// Where the shared string of the shared-* shapes hangs when it is not the device list.
constexpr const char* SIDE_KEY = "Shared";

constexpr std::string_view XML_HEAD =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
    "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n<plist version=\"1.0\">\n";
constexpr std::string_view XML_TAIL = "\n</plist>\n";

std::vector<std::uint8_t> bytes_of(std::string_view text) {
    return std::vector<std::uint8_t>(text.begin(), text.end());
}

std::vector<std::uint8_t> plist_bytes(plist_t plist, bool binary) {
    char* data = nullptr;
    std::uint32_t size = 0;
    if (binary) {
        plist_to_bin(plist, &data, &size);
        std::vector<std::uint8_t> bytes(data, data + size);
        plist_to_bin_free(data);
        return bytes;
    }
    plist_to_xml(plist, &data, &size);
    net::XmlText owner(data);
    return std::vector<std::uint8_t>(data, data + size);
}

// The list as the real daemon has it: an "Attached" entry per device, in id order.
net::Plist device_list(const std::map<std::uint32_t, Device>& devices) {
    net::Plist root(plist_new_dict());
    plist_t list = plist_new_array();
    for (const auto& [id, d] : devices) {
        plist_t props = plist_new_dict();
        bool usb = d.connection != ConnectionType::Network;
        if (usb) plist_dict_set_item(props, "ConnectionSpeed", plist_new_uint(CONNECTION_SPEED));
        if (d.connection != ConnectionType::None)
            plist_dict_set_item(props, "ConnectionType", plist_new_string(usb ? "USB" : "Network"));
        plist_dict_set_item(props, "DeviceID", plist_new_uint(id));
        if (usb) plist_dict_set_item(props, "LocationID", plist_new_uint(LOCATION_BASE + id));
        if (usb) plist_dict_set_item(props, "ProductID", plist_new_uint(PRODUCT_ID));
        plist_dict_set_item(props, "SerialNumber", plist_new_string(d.serial.c_str()));
        plist_t entry = plist_new_dict();
        plist_dict_set_item(entry, "DeviceID", plist_new_uint(id));
        plist_dict_set_item(entry, "MessageType", plist_new_string("Attached"));
        plist_dict_set_item(entry, "Properties", props);
        plist_array_append_item(list, entry);
    }
    plist_dict_set_item(root.get(), "DeviceList", list);
    return root;
}

// A binary property list ("bplist00") written by hand, since libplist's writer cannot share one
// object among many references. Objects are added children first; refs and offsets take the fewest
// bytes that hold them (at least `min_width`).
class BinaryPlist {
public:
    using Ref = std::uint64_t;

    Ref string(std::string_view text) { return add({.marker = 0x50, .text = std::string(text)}); }
    Ref integer(std::uint64_t value) { return add({.marker = 0x10, .value = value}); }
    Ref array(std::vector<Ref> items) { return add({.marker = 0xA0, .refs = std::move(items)}); }
    // Keys first, then the values in the same order.
    Ref dict(std::vector<Ref> keys_then_values) {
        return add({.marker = 0xD0, .refs = std::move(keys_then_values)});
    }
    // A libplist tree of dictionaries, arrays, strings and unsigned integers.
    Ref node(plist_t node);

    std::vector<std::uint8_t> bytes(Ref top, unsigned min_width = 1) const;

private:
    struct Object {
        std::uint8_t marker = 0;
        std::string text{};
        std::uint64_t value = 0;
        std::vector<Ref> refs{};
    };
    Ref add(Object object) {
        objects_.push_back(std::move(object));
        return objects_.size() - 1;
    }

    std::vector<Object> objects_;
};

unsigned width_of(std::uint64_t value, unsigned min_width) {
    unsigned width = 1;
    while (width < 8 && (value >> (8 * width)) != 0) ++width;
    return std::max(width, min_width);
}

void put_be(std::vector<std::uint8_t>& out, std::uint64_t value, unsigned width) {
    for (unsigned i = width; i-- > 0;) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

// An integer object: 1, 2, 4 or 8 big-endian bytes.
void put_integer(std::vector<std::uint8_t>& out, std::uint64_t value) {
    unsigned log2 = 0;
    while (log2 < 3 && (value >> (8u << log2)) != 0) ++log2;
    out.push_back(static_cast<std::uint8_t>(0x10 | log2));
    put_be(out, value, 1u << log2);
}

void put_marker(std::vector<std::uint8_t>& out, std::uint8_t marker, std::size_t count) {
    if (count < 15) {
        out.push_back(static_cast<std::uint8_t>(marker | count));
        return;
    }
    out.push_back(static_cast<std::uint8_t>(marker | 0x0F));
    put_integer(out, count);
}

BinaryPlist::Ref BinaryPlist::node(plist_t node) {
    switch (plist_get_node_type(node)) {
        case PLIST_STRING: {
            std::uint64_t length = 0;
            const char* text = plist_get_string_ptr(node, &length);
            return string(std::string_view(text, length));
        }
        case PLIST_UINT: {
            std::uint64_t value = 0;
            plist_get_uint_val(node, &value);
            return integer(value);
        }
        case PLIST_ARRAY: {
            std::vector<Ref> items;
            for (std::uint32_t i = 0; i < plist_array_get_size(node); ++i)
                items.push_back(this->node(plist_array_get_item(node, i)));
            return array(std::move(items));
        }
        default: {  // a dictionary: the only other kind the device list holds
            std::vector<Ref> keys, values;
            plist_dict_iter it = nullptr;
            plist_dict_new_iter(node, &it);
            for (;;) {
                char* key = nullptr;
                plist_t value = nullptr;
                plist_dict_next_item(node, it, &key, &value);
                if (!key) break;
                keys.push_back(string(key));
                std::free(key);
                values.push_back(this->node(value));
            }
            std::free(it);
            keys.insert(keys.end(), values.begin(), values.end());
            return dict(std::move(keys));
        }
    }
}

std::vector<std::uint8_t> BinaryPlist::bytes(Ref top, unsigned min_width) const {
    const unsigned ref_width = width_of(objects_.size() - 1, min_width);
    std::vector<std::uint8_t> out = bytes_of("bplist00");
    std::vector<std::uint64_t> offsets;
    offsets.reserve(objects_.size());
    for (const Object& o : objects_) {
        offsets.push_back(out.size());
        if (o.marker == 0x10) {
            put_integer(out, o.value);
        } else if (o.marker == 0x50) {
            put_marker(out, o.marker, o.text.size());
            out.insert(out.end(), o.text.begin(), o.text.end());
        } else {
            put_marker(out, o.marker, o.marker == 0xD0 ? o.refs.size() / 2 : o.refs.size());
            for (Ref r : o.refs) put_be(out, r, ref_width);
        }
    }
    const std::uint64_t table = out.size();
    const unsigned offset_width = width_of(offsets.empty() ? 0 : offsets.back(), min_width);
    for (std::uint64_t offset : offsets) put_be(out, offset, offset_width);
    out.insert(out.end(), 6, 0);
    out.push_back(static_cast<std::uint8_t>(offset_width));
    out.push_back(static_cast<std::uint8_t>(ref_width));
    put_be(out, objects_.size(), 8);
    put_be(out, top, 8);
    put_be(out, table, 8);
    return out;
}

// `refs` references to one string of `size` bytes, as an array.
BinaryPlist::Ref shared_refs(BinaryPlist& b, std::uint32_t refs, std::uint32_t size) {
    BinaryPlist::Ref shared = b.string(std::string(size, 'x'));
    return b.array(std::vector<BinaryPlist::Ref>(refs, shared));
}

// Arrays nested `depth` deep: object k is an array holding object k + 1, the last one is empty.
// Written in one pass with 4-byte refs and offsets: libplist recurses per level and would overflow
// the stack at such depths, and a depth of millions is too many objects to keep.
std::vector<std::uint8_t> nested_binary_plist(std::uint32_t depth) {
    constexpr std::size_t MAGIC = 8, TRAILER = 32;
    const std::size_t table = MAGIC + 5 * (std::size_t{depth} - 1) + 1;
    std::vector<std::uint8_t> out(table + 4 * std::size_t{depth} + TRAILER, 0);
    std::memcpy(out.data(), "bplist00", MAGIC);
    std::size_t pos = MAGIC;
    for (std::uint32_t k = 0; k < depth; ++k) {
        net::store_be32(out.data() + table + 4 * std::size_t{k}, static_cast<std::uint32_t>(pos));
        bool last = k + 1 == depth;
        out[pos] = last ? 0xA0 : 0xA1;  // an array of 0 or 1 elements
        if (!last) net::store_be32(out.data() + pos + 1, k + 1);
        pos += last ? 1 : 5;
    }
    // Trailer: 6 unused bytes, offset size, ref size, then object count, top object and table offset
    // as 64-bit big-endian numbers (their high halves stay zero).
    std::uint8_t* trailer = out.data() + table + 4 * std::size_t{depth};
    trailer[6] = 4;
    trailer[7] = 4;
    net::store_be32(trailer + 12, depth);
    net::store_be32(trailer + 28, static_cast<std::uint32_t>(table));
    return out;
}

std::string repeated(std::string_view text, std::uint32_t times) {
    std::string out;
    out.reserve(text.size() * times);
    for (std::uint32_t k = 0; k < times; ++k) out += text;
    return out;
}

// The same nesting as an XML property list.
std::vector<std::uint8_t> nested_xml_plist(std::uint32_t depth) {
    return bytes_of(std::string(XML_HEAD) + repeated("<array>", depth) + repeated("</array>", depth) +
                    std::string(XML_TAIL));
}

// The device list in libplist's XML, its "DeviceList" array opened with `open`, `before` put ahead of
// the devices' entries and `after` behind them, its root tag given `root_attributes`.
std::vector<std::uint8_t> spliced_xml_list(const std::map<std::uint32_t, Device>& devices,
                                           std::string_view open, const std::string& before,
                                           const std::string& after, std::string_view root_attributes = "") {
    net::Plist root = device_list(devices);
    std::vector<std::uint8_t> plain = plist_bytes(static_cast<plist_t>(root.get()), false);
    std::string xml(plain.begin(), plain.end());
    // The list is the root's only key: its array opens after that key and closes last.
    std::size_t start = xml.find("<array", xml.find("<key>DeviceList</key>"));
    if (xml.compare(start, 8, "<array/>") == 0) {
        xml.replace(start, 8, std::string(open) + before + after + "</array>");
    } else {
        std::size_t close = xml.rfind("</array>");
        xml.insert(close, after);
        xml.replace(start, 7, std::string(open) + before);
    }
    if (!root_attributes.empty())
        xml.replace(xml.find("<dict>"), 6, "<dict " + std::string(root_attributes) + ">");
    return bytes_of(xml);
}

// The devices wrapped in arrays whose attribute values hold "<!--", "<" and "/>", `depth` levels in
// all (the root, "DeviceList", the wrappers, a device's entry and its "Properties"). A scanner that
// takes the first for a comment, the second for a tag or the third for the end of an empty element
// counts fewer levels than there are.
std::vector<std::uint8_t> nested_attributes_list(const std::map<std::uint32_t, Device>& devices,
                                                 std::uint32_t depth) {
    constexpr std::string_view TRICKS[] = {"<!--", "<", "/>"};
    std::string before, after;
    for (std::uint32_t k = 0; k + 4 < depth; ++k) {
        before += "<array a=\"" + std::string(TRICKS[k % 3]) + "\">";
        after += "</array>";
    }
    return spliced_xml_list(devices, "<array a=\"/>\">", before, after, "a=\"<!--\"");
}

// `count` entries that the bridge must skip, ahead of the devices: empty dictionaries, or device
// entries whose "Properties" lack "SerialNumber"; each a distinct object.
std::vector<std::uint8_t> unusable_list(const std::map<std::uint32_t, Device>& devices, std::uint32_t count,
                                        bool empty, bool binary) {
    if (!binary) {
        std::string entries;
        for (std::uint32_t k = 0; k < count; ++k)
            entries += empty ? "<dict/>"
                             : "<dict><key>Properties</key><dict><key>DeviceID</key><integer>" +
                                   std::to_string(UNUSABLE_ID_BASE + k) + "</integer></dict></dict>";
        return spliced_xml_list(devices, "<array>", entries, "");
    }
    BinaryPlist b;
    std::vector<BinaryPlist::Ref> items;
    BinaryPlist::Ref properties = b.string("Properties"), device_id = b.string("DeviceID");
    for (std::uint32_t k = 0; k < count; ++k)
        items.push_back(empty ? b.dict({})
                              : b.dict({properties, b.dict({device_id, b.integer(UNUSABLE_ID_BASE + k)})}));
    net::Plist listed = device_list(devices);
    plist_t real = plist_dict_get_item(static_cast<plist_t>(listed.get()), "DeviceList");
    for (std::uint32_t i = 0; i < plist_array_get_size(real); ++i)
        items.push_back(b.node(plist_array_get_item(real, i)));
    BinaryPlist::Ref list = b.array(std::move(items));
    return b.bytes(b.dict({b.string("DeviceList"), list}));
}

}  // namespace

std::vector<std::uint8_t> list_payload(const ReplyShape<ListReply>& shape,
                                       const std::map<std::uint32_t, Device>& devices) {
    switch (shape.mode) {
        case ListReply::NestedBinary: return nested_binary_plist(shape.number);
        case ListReply::NestedXml: return nested_xml_plist(shape.number);
        case ListReply::NestedAttributes: return nested_attributes_list(devices, shape.number);
        case ListReply::SharedList: {
            BinaryPlist b;
            BinaryPlist::Ref key = b.string("DeviceList");
            BinaryPlist::Ref list = shared_refs(b, shape.number, shape.size);
            return b.bytes(b.dict({key, list}));
        }
        case ListReply::SharedSide: {
            BinaryPlist b;
            BinaryPlist::Ref key = b.string("DeviceList"), side = b.string(SIDE_KEY);
            BinaryPlist::Ref list = b.array({}), shared = shared_refs(b, shape.number, shape.size);
            return b.bytes(b.dict({key, side, list, shared}));
        }
        case ListReply::NoSerialXml:
        case ListReply::NoSerialBinary:
        case ListReply::EmptyDictXml:
        case ListReply::EmptyDictBinary:
            return unusable_list(
                devices, shape.number,
                shape.mode == ListReply::EmptyDictXml || shape.mode == ListReply::EmptyDictBinary,
                shape.mode == ListReply::NoSerialBinary || shape.mode == ListReply::EmptyDictBinary);
        default: {
            net::Plist root = device_list(devices);
            return plist_bytes(static_cast<plist_t>(root.get()), shape.mode == ListReply::Binary);
        }
    }
}

std::vector<std::uint8_t> result_payload(std::uint64_t number, const ReplyShape<ConnectReply>& shape) {
    if (shape.mode == ConnectReply::SharedSide) {
        BinaryPlist b;
        std::vector<BinaryPlist::Ref> keys{b.string("MessageType"), b.string("Number"), b.string(SIDE_KEY)};
        std::vector<BinaryPlist::Ref> values{b.string("Result"), b.integer(number),
                                             shared_refs(b, shape.number, shape.size)};
        keys.insert(keys.end(), values.begin(), values.end());
        return b.bytes(b.dict(std::move(keys)));
    }
    net::Plist root(plist_new_dict());
    plist_dict_set_item(root.get(), "MessageType", plist_new_string("Result"));
    plist_dict_set_item(root.get(), "Number", plist_new_uint(number));
    return plist_bytes(static_cast<plist_t>(root.get()), false);
}

}  // namespace vantrel::sim

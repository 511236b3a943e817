// Property lists that cost a reader built on libplist memory and time without bound, each a payload
// of at most the 1,000,000-byte limit: the unit tests check that the reply reader reads them cheaply,
// bench/reply_reader measures how cheaply. Header-only, for both.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vantrel::test::hostile {

inline constexpr std::size_t PAYLOAD_LIMIT = 1'000'000;

inline std::string repeated(std::string_view text, std::size_t times) {
    std::string out;
    out.reserve(text.size() * times);
    for (std::size_t i = 0; i < times; ++i) out += text;
    return out;
}

// `value` as an n-byte big-endian number.
inline std::string be(std::uint64_t value, int n) {
    std::string out;
    for (int i = n - 1; i >= 0; --i) out += static_cast<char>(value >> (8 * i));
    return out;
}

// A binary list of the given objects (each its marker and body), with references and offsets of the
// given widths; object 0 is the top. The offset table names each object once, in order, unless
// `names` gives it as object indices, which may repeat (several names for one object).
inline std::string binary_objects(const std::vector<std::string>& objects, int ref_size, int offset_size = 4,
                                  const std::vector<std::uint32_t>& names = {}) {
    std::string out = "bplist00";
    std::vector<std::uint64_t> offsets;
    for (const auto& object : objects) {
        offsets.push_back(out.size());
        out += object;
    }
    const std::size_t table_offset = out.size();
    std::string table;
    if (names.empty())
        for (const std::uint64_t offset : offsets) table += be(offset, offset_size);
    else
        for (const std::uint32_t name : names) table += be(offsets.at(name), offset_size);
    return out + table + std::string(6, '\0') + static_cast<char>(offset_size) + static_cast<char>(ref_size) +
           be(names.empty() ? objects.size() : names.size(), 8) + be(0, 8) + be(table_offset, 8);
}

// The marker of a string, array or dictionary (type 0x5, 0x6, 0xA, 0xD) of `count`, the count apart.
inline std::string marker(int type, std::uint32_t count) {
    return std::string{static_cast<char>(type << 4 | 0xF), '\x12'} + be(count, 4);
}
inline std::string ascii(std::string_view text) {
    return marker(0x5, static_cast<std::uint32_t>(text.size())) + std::string(text);
}
// `units` UTF-16 code units, each U+00E9.
inline std::string utf16(std::uint32_t units) {
    return marker(0x6, units) + repeated(std::string_view("\x00\xE9", 2), units);
}
inline std::string dict(const std::vector<std::pair<std::uint32_t, std::uint32_t>>& entries, int ref_size) {
    std::string keys, values;
    for (auto [key, value] : entries) {
        keys += be(key, ref_size);
        values += be(value, ref_size);
    }
    return marker(0xD, static_cast<std::uint32_t>(entries.size())) + keys + values;
}

inline std::string xml_plist(std::string_view root) {
    return R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
)" + std::string(root) +
           "\n</plist>\n";
}
inline std::string xml_entry(std::string_view id, std::string_view serial) {
    return "<dict><key>Properties</key><dict><key>DeviceID</key><integer>" + std::string(id) +
           "</integer><key>SerialNumber</key><string>" + std::string(serial) + "</string></dict></dict>";
}

// {"DeviceList": [s, s, ...], "Number": 3}: 500,000 references to one 400 KB string, as a device list
// and as a Connect answer.
inline std::string shared_string_list() {
    constexpr std::uint32_t references = 500'000;
    return binary_objects({dict({{1, 3}, {2, 4}}, 1), ascii("DeviceList"), ascii("Number"),
                           marker(0xA, references) + repeated(be(5, 1), references), "\x10\x03",
                           ascii(std::string(400'000, 's'))},
                          1);
}

// {"DeviceList": [], "Side": [s, ...]}: an empty list that is accepted, beside 100 references to one
// 400 KB string.
inline std::string side_key_shared_string() {
    return binary_objects({dict({{1, 3}, {2, 4}}, 1), ascii("DeviceList"), ascii("Side"), marker(0xA, 0),
                           marker(0xA, 100) + repeated(be(5, 1), 100), ascii(std::string(400'000, 's'))},
                          1);
}

// {"DeviceList": [e, e, ...]}: 500,000 references to one entry whose serial number is `serial`
// (object 9 of the list).
inline std::string shared_entry_list(const std::string& serial = ascii(std::string(400'000, 's')),
                                     std::uint32_t references = 500'000) {
    return binary_objects(
        {dict({{1, 2}}, 1), ascii("DeviceList"), marker(0xA, references) + repeated(be(3, 1), references),
         dict({{4, 5}}, 1), ascii("Properties"), dict({{6, 8}, {7, 9}}, 1), ascii("DeviceID"),
         ascii("SerialNumber"), "\x10\x07", serial},
        1);
}

// 142,000 dictionaries without "Properties" (skipped), then one device, id 5 and serial "LAST".
inline std::string many_skipped_entries_xml(std::uint32_t entries = 142'000) {
    return xml_plist("<dict><key>DeviceList</key><array>" + repeated("<dict/>", entries) +
                     xml_entry("5", "LAST") + "</array></dict>");
}
inline std::string many_skipped_entries_binary(std::uint32_t entries = 142'000) {
    std::vector<std::string> objects = {dict({{1, 2}}, 3), ascii("DeviceList"), marker(0xA, entries + 1)};
    for (std::uint32_t i = 0; i <= entries; ++i) objects[2] += be(3 + i, 3);
    objects.insert(objects.end(), entries, "\xD0");
    const std::uint32_t e = 3 + entries;
    for (std::string object :
         {dict({{e + 1, e + 2}}, 3), ascii("Properties"), dict({{e + 3, e + 5}, {e + 4, e + 6}}, 3),
          ascii("DeviceID"), ascii("SerialNumber"), std::string("\x10\x05"), ascii("LAST")})
        objects.push_back(std::move(object));
    return binary_objects(objects, 3, 3);
}

// As many distinct devices as fit, each with its own Properties: what the entry memo holds most of.
inline std::string many_devices_binary(std::uint32_t devices = 25'000) {
    // Objects: 0 root, 1 "DeviceList", 2 the list, 3 "Properties", 4 "DeviceID", 5 "SerialNumber",
    // 6 id, 7 serial, then an entry and its Properties per device.
    std::vector<std::string> objects = {
        dict({{1, 2}}, 3), ascii("DeviceList"),   marker(0xA, devices), ascii("Properties"),
        ascii("DeviceID"), ascii("SerialNumber"), "\x10\x07",           ascii("00008030-001A2D3C0E12802E")};
    for (std::uint32_t i = 0; i < devices; ++i) {
        const std::uint32_t entry = 8 + 2 * i;
        objects[2] += be(entry, 3);
        objects.push_back(dict({{3, entry + 1}}, 3));
        objects.push_back(dict({{4, 6}, {5, 7}}, 3));
    }
    return binary_objects(objects, 3, 3);
}
// As many distinct entries as fit, all listed, sharing one Properties: what the entry memo holds most
// of (each entry a 7-byte dictionary).
inline std::string many_entries_shared_properties(std::uint32_t entries = 76'000) {
    // Objects: 0 root, 1 "DeviceList", 2 the list, 3 "Properties", 4 the shared Properties,
    // 5 "DeviceID", 6 "SerialNumber", 7 id, 8 serial, then the entries.
    std::vector<std::string> objects = {dict({{1, 2}}, 3),
                                        ascii("DeviceList"),
                                        marker(0xA, entries),
                                        ascii("Properties"),
                                        dict({{5, 7}, {6, 8}}, 3),
                                        ascii("DeviceID"),
                                        ascii("SerialNumber"),
                                        "\x10\x07",
                                        ascii("00008030-001A2D3C0E12802E")};
    for (std::uint32_t i = 0; i < entries; ++i) {
        objects[2] += be(9 + i, 3);
        objects.push_back("\xD1" + be(3, 3) + be(4, 3));
    }
    return binary_objects(objects, 3, 3);
}
inline std::string many_devices_xml(std::uint32_t devices = 6'000) {
    std::string entries;
    for (std::uint32_t i = 0; i < devices; ++i)
        entries += xml_entry(std::to_string(i), "00008030-001A2D3C0E12802E");
    return xml_plist("<dict><key>DeviceList</key><array>" + entries + "</array></dict>");
}

// A root dictionary of many keys, "DeviceList" the last of them.
inline std::string many_keys_xml(std::uint32_t keys = 40'000) {
    std::string entries;
    for (std::uint32_t i = 0; i < keys; ++i) entries += "<key>k" + std::to_string(i) + "</key><true/>";
    return xml_plist("<dict>" + entries + "<key>DeviceList</key><array>" + xml_entry("1", "S") +
                     "</array></dict>");
}
// The same in binary, with UTF-16 keys: every one is converted to compare it, once.
inline std::string many_utf16_keys_binary(std::uint32_t keys = 40'000) {
    std::vector<std::string> objects = {"", "\x09"};
    std::vector<std::pair<std::uint32_t, std::uint32_t>> entries;
    for (std::uint32_t i = 0; i < keys; ++i) {
        entries.emplace_back(static_cast<std::uint32_t>(objects.size()), 1);
        objects.push_back(utf16(4));
    }
    objects[0] = dict(entries, 3);
    return binary_objects(objects, 3, 3);
}

// One entry whose serial number is a 450,000-unit UTF-16 string, referenced 50,000 times.
inline std::string shared_utf16_serial() {
    return shared_entry_list(utf16(450'000), 50'000);
}

// 66,000 nested arrays (XML) and 99,999 (binary): turned away; libplist's recursion crashed.
inline std::string deep_xml(std::uint32_t levels = 66'000) {
    return xml_plist(repeated("<array>", levels) + repeated("</array>", levels));
}
inline std::string deep_binary(std::uint32_t levels = 99'999) {
    std::vector<std::string> objects = {dict({{1, 2}}, 3), ascii("k")};
    for (std::uint32_t i = 0; i < levels; ++i)
        objects.push_back(i + 1 == levels ? "\xA0" : "\xA1" + be(3 + i, 3));
    return binary_objects(objects, 3, 3);
}

// {"k": [b1 .. bn]}, every b another name (offset-table entry) for one array of n references: n^2
// references in a few bytes each, which only objects that overlap achieve.
inline std::string overlapping_aliases(std::uint32_t aliases) {
    std::string list_of_aliases = marker(0xA, aliases);
    std::string shared = marker(0xA, aliases);
    for (std::uint32_t i = 0; i < aliases; ++i) {
        list_of_aliases += be(3 + i, 4);
        shared += be(1, 4);
    }
    std::vector<std::uint32_t> names = {0, 1, 2};
    names.insert(names.end(), aliases, 3);
    return binary_objects({dict({{1, 2}}, 4), "\x51k", list_of_aliases, shared}, 4, 4, names);
}

}  // namespace vantrel::test::hostile

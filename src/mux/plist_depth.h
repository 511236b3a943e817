// How deeply a property list nests arrays and dictionaries, measured on its bytes before libplist
// reads it: libplist recurses once per level, and builds a shared binary object once per reference,
// so a hostile list must be turned away first. Both walks take time linear in the list's size and
// use no recursion.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace vantrel::mux {

enum class Nesting {
    Within,    // no path holds more than the limit's containers (or the reader rejects the list anyway)
    TooDeep,   // some path holds more containers than the limit
    TooLarge,  // binary only: the reader would build more nodes than the list has bytes, which only
               // objects that overlap or share arrays and dictionaries achieve (a few hundred bytes
               // can make billions)
};

// A binary list ("bplist00"): the object graph from the top object, through the references of arrays,
// sets and dictionaries (keys and values). Shared objects are measured once; a cycle is left to the
// reader, which rejects it where it first meets it, and so is anything the reader cannot read.
// TooDeep wins over TooLarge when the walk meets the first before the second.
// `limit` must be below 254.
Nesting binary_plist_nesting(std::span<const std::uint8_t> list, std::size_t limit);

// An XML list: the nesting of <array> and <dict> elements (an empty <array/> is a level that opens
// none), not counting anything inside comments, processing instructions or CDATA sections. Never
// counts fewer levels than libplist's reader would build.
Nesting xml_plist_nesting(std::string_view list, std::size_t limit);

}  // namespace vantrel::mux

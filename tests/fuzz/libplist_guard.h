// What libplist 2.2's binary reader would build from a list, measured on its bytes without building
// it: that reader recurses once per level and copies a shared object once per reference, so the
// differential fuzz target asks this before it lets libplist read a list. Linear in the list's size,
// no recursion.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace vantrel::fuzz {

enum class Nesting {
    Within,    // no path holds more than the limit's containers (or the reader rejects the list anyway)
    TooDeep,   // some path holds more containers than the limit
    TooLarge,  // the reader would build more nodes than the list has bytes, which only objects that
               // overlap or share arrays and dictionaries achieve (a few hundred bytes can make billions)
};

// The object graph from the top object, through the references of arrays, sets and dictionaries
// (keys and values). Shared objects are measured once; a cycle is left to the reader, which rejects
// it where it first meets it, and so is anything the reader cannot read. TooDeep wins over TooLarge
// when the walk meets the first before the second. `limit` must be below 254.
Nesting binary_plist_nesting(std::span<const std::uint8_t> list, std::size_t limit);

}  // namespace vantrel::fuzz

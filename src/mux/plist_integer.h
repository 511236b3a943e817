// Integer values of property lists across their whole range, from the signed 64-bit minimum up to
// the unsigned 64-bit maximum.
#pragma once

#include <plist/plist.h>

#include <cstdint>
#include <optional>

namespace vantrel::mux {

struct PlistInteger {
    std::uint64_t bits = 0;  // the value modulo 2^64
    bool negative = false;   // below zero: `bits` holds its two's complement
};

// The value of an integer node; nullopt when the node is missing or of another type.
std::optional<PlistInteger> integer_value(plist_t node);

}  // namespace vantrel::mux

// Overflow-checked unsigned arithmetic for sizes that come from user input,
// in standard C++.
#pragma once

#include <cstdint>
#include <limits>

namespace corvane::platform {

// out = a * b; true when the product does not fit in 64 bits.
inline bool mul_overflows(std::uint64_t a, std::uint64_t b, std::uint64_t& out) {
    out = a * b;
    return a != 0 && b > std::numeric_limits<std::uint64_t>::max() / a;
}

// out = a + b; true when the sum does not fit in 64 bits.
inline bool add_overflows(std::uint64_t a, std::uint64_t b, std::uint64_t& out) {
    out = a + b;
    return out < a;
}

}  // namespace corvane::platform

// The kernel that computes the criterion. `Auto` is a request that exists only
// while a core is being constructed; it is resolved to Blocks or Aggregated.
#pragma once

#include <cstdint>

namespace corvane::lmm {

enum class EvaluatorKind : std::uint8_t {
    Blocks = 0,      // one q x q block per group
    Streaming = 1,   // per group from the stored blocks, no per-group workspace
    Aggregated = 2,  // groups with bit-identical Z_i'Z_i pooled into classes
    Auto = 255,      // construction-time request only
};

}  // namespace corvane::lmm

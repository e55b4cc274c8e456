// elementary_arrays.hpp compiled for the machine's vector unit (CORVANE_ISA).
#include "linalg/elementary_arrays.hpp"

namespace corvane::linalg {

ElementaryArrays simd_elementary_arrays() {
    return ElementaryArrays{&elementary_array<CORVANE_LANE_WIDTH>, CORVANE_LANE_WIDTH};
}

}  // namespace corvane::linalg

// Which array forms of the row terms run: the vector unit's when the machine
// has it, the baseline's two lanes otherwise, one row at a time when
// CORVANE_LANES is "0" (for measuring; every choice gives the same bits).
#include <cstdlib>
#include <cstring>

#include "glmm/row_terms.hpp"
#include "lmm/group_lanes.hpp"

namespace corvane::glmm {

#if defined(CORVANE_HAVE_LANES)
RowKernels simd_row_kernels();
#endif

const RowKernels& row_kernels() {
    static const RowKernels kernels = [] {
        const char* env = std::getenv("CORVANE_LANES");
        if (env && std::strcmp(env, "0") == 0) return RowKernels{&row_terms_array<1>, &loglik_change_array<1>, 1};
#if defined(CORVANE_HAVE_LANES)
        if (lmm::lanes_available()) return simd_row_kernels();
#endif
        return RowKernels{&row_terms_array<2>, &loglik_change_array<2>, 2};
    }();
    return kernels;
}

}  // namespace corvane::glmm

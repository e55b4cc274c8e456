// row_terms.hpp's array forms compiled for the machine's vector unit (CORVANE_ISA).
#include "glmm/row_terms.hpp"

namespace corvane::glmm {

RowKernels simd_row_kernels() {
    constexpr int kRows = CORVANE_LANE_WIDTH;
    return RowKernels{&row_terms_array<kRows>, &loglik_change_array<kRows>, kRows};
}

}  // namespace corvane::glmm

// kernels.hpp's loops compiled for the machine's vector unit (CORVANE_ISA).
#include "mmrm/kernels.hpp"

namespace corvane::mmrm {

MmrmKernels simd_mmrm_kernels() { return MmrmKernels{&outer_add, &scaled_add}; }

}  // namespace corvane::mmrm

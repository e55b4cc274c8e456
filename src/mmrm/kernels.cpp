#include "mmrm/kernels.hpp"

#include "lmm/group_lanes.hpp"

namespace corvane::mmrm {

#if defined(CORVANE_HAVE_LANES)
MmrmKernels simd_mmrm_kernels();
#endif

const MmrmKernels& mmrm_kernels() {
    static const MmrmKernels kernels = [] {
#if defined(CORVANE_HAVE_LANES)
        if (lmm::lanes_available()) return simd_mmrm_kernels();
#endif
        return MmrmKernels{&outer_add, &scaled_add};
    }();
    return kernels;
}

}  // namespace corvane::mmrm

// Which lanes build the machine runs: AVX2 on x86-64 processors that have it
// (asked of the processor once), NEON on every AArch64 processor, none
// elsewhere, when the build has no lanes translation unit, or when the
// environment variable CORVANE_LANES is "0" when the process first asks
// (the results are the same bits either way; the switch is for measuring).
#include "lmm/group_lanes.hpp"
#include "lmm/row_kernel_table.hpp"
#include "linalg/elementary_arrays.hpp"

#include <cstdlib>
#include <cstring>

namespace corvane::lmm {

#if defined(CORVANE_HAVE_LANES)
}  // namespace corvane::lmm
namespace corvane::linalg {
ElementaryArrays simd_elementary_arrays();
}  // namespace corvane::linalg
namespace corvane::lmm {
GroupLaneKernels simd_group_lane_kernels(std::uint64_t q, std::uint64_t p, bool generic);
RowKernelTable simd_row_kernels(std::uint64_t p, std::uint64_t q, bool transform);
#endif

namespace {

bool processor_has_lanes() {
#if !defined(CORVANE_HAVE_LANES)
    return false;
#elif defined(__x86_64__) || defined(_M_X64)
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
#else
    return true;
#endif
}

bool machine_has_lanes() {
    static const bool has = [] {
        const char* env = std::getenv("CORVANE_LANES");
        if (env && std::strcmp(env, "0") == 0) return false;
        return processor_has_lanes();
    }();
    return has;
}

}  // namespace

bool lanes_available() { return machine_has_lanes(); }

const linalg::ElementaryArrays& elementary_arrays() {
    static const linalg::ElementaryArrays arrays = [] {
#if defined(CORVANE_HAVE_LANES)
        if (machine_has_lanes()) return linalg::simd_elementary_arrays();
#endif
        return linalg::ElementaryArrays{&linalg::elementary_array<2>, 2};
    }();
    return arrays;
}

GroupLaneKernels group_lane_kernels(std::uint64_t q, std::uint64_t p, bool generic, bool enabled) {
#if defined(CORVANE_HAVE_LANES)
    if (enabled && machine_has_lanes()) return simd_group_lane_kernels(q, p, generic);
#else
    (void)q, (void)p, (void)generic, (void)enabled;
#endif
    return {};
}

RowKernelTable vector_row_kernels(std::uint64_t p, std::uint64_t q, bool transform) {
#if defined(CORVANE_HAVE_LANES)
    if (machine_has_lanes()) return simd_row_kernels(p, q, transform);
#else
    (void)p, (void)q, (void)transform;
#endif
    return {};
}

std::uint64_t lane_width() {
#if defined(CORVANE_HAVE_LANES)
    if (machine_has_lanes()) return CORVANE_LANE_WIDTH;
#endif
    return 1;
}

}  // namespace corvane::lmm

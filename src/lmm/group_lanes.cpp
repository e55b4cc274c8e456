// Per-group steps over W groups in vector lanes (the blocks kernel's value
// and gradient steps, the Hessian's group step), compiled for one
// instruction set (CORVANE_ISA, with CORVANE_LANE_WIDTH doubles per vector).
//
// This file only gathers each group's blocks into lanes, runs the shared
// steps with T = Lanes<W> and stores the lanes back interleaved; the
// arithmetic is blocks_steps.hpp's and hessian_steps.hpp's, the same as the
// scalar path's. Nothing
// here uses a standard-library template on plain types, so that no inline
// function compiled for this instruction set can be chosen at link time in
// place of the baseline build's copy.
#include <cstring>

#include "linalg/lanes.hpp"
#include "lmm/group_lanes.hpp"
#include "lmm/blocks_steps.hpp"
#include "lmm/hessian_steps.hpp"
#include "lmm/streaming_steps.hpp"

#ifndef CORVANE_LANE_WIDTH
#error "CORVANE_LANE_WIDTH must be set for the lanes build"
#endif

// The steps' arrays live on the stack, sized for the largest problem of
// their form; every element a step reads was written first by gather, load
// or the step itself, which the compiler cannot see for run-time sizes.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

namespace corvane::lmm {
inline namespace CORVANE_ISA {
namespace {

constexpr int W = CORVANE_LANE_WIDTH;
using T = linalg::Lanes<W>;

// Storage bounds of the general forms (the fixed forms need exactly theirs);
// the Hessian's terms grow as q^4 p^2, so its bounds are smaller.
constexpr Index kMaxQ = 6;
constexpr Index kMaxP = 32;
constexpr Index kHessianMaxQ = 4;
constexpr Index kHessianMaxP = 12;

// dst[e] lane l = group (first + l)'s element e, from per-group blocks of
// `len` doubles laid end to end.
inline void gather(const double* blocks, Index first, Index len, T* dst) {
    const double* base = blocks + first * len;
    for (Index e = 0; e < len; ++e) {
        double lanes[W];
        for (int l = 0; l < W; ++l) lanes[l] = base[l * len + e];
        std::memcpy(&dst[e].v, lanes, sizeof(lanes));
    }
}

inline void store(const T* src, Index len, double* dst) {
    for (Index e = 0; e < len; ++e) std::memcpy(dst + e * W, &src[e].v, sizeof(src[e].v));
}

// dst[l * len + e] = lane l of src[e]: each lane's values contiguous.
inline void store_by_lane(const T* src, Index len, double* dst) {
    for (Index e = 0; e < len; ++e)
        for (int l = 0; l < W; ++l) dst[l * len + e] = src[e].v[l];
}

inline void load(const double* src, Index len, T* dst) {
    for (Index e = 0; e < len; ++e) std::memcpy(&dst[e].v, src + e * W, sizeof(dst[e].v));
}

// flatten: the steps' small routines inlined into one body, so that the
// lanes stay in registers between them.
template <Index Q, Index P>
__attribute__((flatten)) unsigned value_lanes(const BlocksLaneData& d, Index first, double* slots,
                                              const BlocksValueTotals& totals) {
    constexpr Index QM = Q ? Q : kMaxQ, PM = P ? P : kMaxP;
    constexpr Index kOut = blocks_value_out_length(PM, QM);
    const Index q = linalg::size_of<Q>(d.q), p = linalg::size_of<P>(d.p), n_out = blocks_value_out_length(p, q);
    T ztz[QM * QM], ztx[QM * PM], zty[QM];
    T slot[blocks_slot_length(PM, QM)], o[kOut];
    double by_lane[W * kOut];
    gather(d.ztz, first, q * q, ztz);
    gather(d.ztx, first, q * p, ztx);
    gather(d.zty, first, q, zty);
    const unsigned ok = blocks_value_step<Q, P>(ztz, ztx, zty, d.lambda, slot, o, q, p).bits();
    if (slots) store(slot, blocks_slot_length(p, q), slots);
    if (ok != (1u << W) - 1) return ok;
    store_by_lane(o, n_out, by_lane);
    for (int l = 0; l < W; ++l) add_value_terms(by_lane + l * n_out, totals, p, q);
    return ok;
}

template <Index Q, Index P>
__attribute__((flatten)) void gradient_lanes(const BlocksLaneData& d, const BlocksGradientInputs& in, Index first, const double* slots,
                    double* u, double* g, double* dp) {
    constexpr Index QM = Q ? Q : kMaxQ, PM = P ? P : kMaxP;
    const Index q = linalg::size_of<Q>(d.q), p = linalg::size_of<P>(d.p);
    T ztx[QM * PM], zty[QM], slot[blocks_slot_length(PM, QM)];
    T scratch[blocks_gradient_scratch_length(PM, QM)], uu[QM], gg[QM * (QM + 1) / 2], dd[QM * (QM + 1) / 2];
    gather(d.ztx, first, q * p, ztx);
    gather(d.zty, first, q, zty);
    load(slots, blocks_slot_length(p, q), slot);
    blocks_gradient_step<Q, P>(ztx, zty, slot, in, scratch, uu, gg, dd, q, p);
    store(uu, q, u);
    store(gg, in.n_theta, g);
    store(dd, in.n_theta, dp);
}

template <Index Q, Index P>
__attribute__((flatten)) unsigned hessian_lanes(const HessianCommon& c, const BlocksLaneData& d, Index first,
                                                const HessianTotals& totals) {
    constexpr Index QM = Q ? Q : kHessianMaxQ, PM = P ? P : kHessianMaxP;
    constexpr Index kOut = hessian_out_length(PM, QM, true);
    const Index q = linalg::size_of<Q>(d.q), p = linalg::size_of<P>(d.p), n_out = hessian_out_length(p, q, c.dcxx);
    T ztz[QM * QM], ztx[QM * PM], zty[QM];
    T storage[HessianScratch<T>::length(QM, PM)], o[kOut];
    double by_lane[W * kOut];
    gather(d.ztz, first, q * q, ztz);
    gather(d.ztx, first, q * p, ztx);
    gather(d.zty, first, q, zty);
    HessianScratch<T> ws(storage, q, p);
    const unsigned ok = hessian_group_step<Q, P>(c, ztz, ztx, zty, ws, o).bits();
    if (ok != (1u << W) - 1) return ok;
    store_by_lane(o, n_out, by_lane);
    for (int l = 0; l < W; ++l) add_hessian_terms(by_lane + l * n_out, totals, c.n_theta, n_out);
    return ok;
}

// The streaming step's terms grow as q^2 p^2, so it has the Hessian's bounds.
template <Index Q>
__attribute__((flatten)) unsigned streaming_lanes(const BlocksLaneData& d, const Index* pairs, Index n_theta,
                                                  bool gradient, Index first, const StreamingTotals& totals) {
    constexpr Index QM = Q ? Q : kHessianMaxQ, PM = kHessianMaxP;
    constexpr Index kOut = streaming_out_length(PM, QM * (QM + 1) / 2, true);
    const Index q = linalg::size_of<Q>(d.q), p = d.p, n_out = streaming_out_length(p, n_theta, gradient);
    T ztz[QM * QM], ztx[QM * PM], zty[QM], scratch[streaming_scratch_length(PM, QM)], o[kOut];
    double by_lane[W * kOut];
    gather(d.ztz, first, q * q, ztz);
    gather(d.ztx, first, q * p, ztx);
    gather(d.zty, first, q, zty);
    const unsigned ok =
        streaming_group_step<Q>(ztz, ztx, zty, d.lambda, pairs, n_theta, gradient, scratch, o, q, p).bits();
    if (ok != (1u << W) - 1) return ok;
    store_by_lane(o, n_out, by_lane);
    for (int l = 0; l < W; ++l) add_streaming_terms(by_lane + l * n_out, totals, p, n_theta, gradient);
    return ok;
}

template <Index Q, Index P>
GroupLaneKernels kernels(Index q, Index p) {
    const bool small = q <= kHessianMaxQ && p <= kHessianMaxP;
    return GroupLaneKernels{static_cast<Index>(W), &value_lanes<Q, P>, &gradient_lanes<Q, P>,
                            small ? &hessian_lanes<Q, P> : nullptr, small ? &streaming_lanes<Q> : nullptr};
}

template <Index Q>
GroupLaneKernels kernels_for_p(Index q, Index p) {
    switch (p) {
        case 1: return kernels<Q, 1>(q, p);
        case 2: return kernels<Q, 2>(q, p);
        case 3: return kernels<Q, 3>(q, p);
        case 4: return kernels<Q, 4>(q, p);
        case 5: return kernels<Q, 5>(q, p);
        case 6: return kernels<Q, 6>(q, p);
        case 7: return kernels<Q, 7>(q, p);
        case 8: return kernels<Q, 8>(q, p);
        default: return kernels<Q, 0>(q, p);
    }
}

}  // namespace
}  // namespace CORVANE_ISA

// The lanes steps of this instruction set; the caller has checked that the
// machine has it. Width 1 beyond the storage bounds.
GroupLaneKernels simd_group_lane_kernels(Index q, Index p, bool generic) {
    if (q > kMaxQ || p > kMaxP || q == 0 || p == 0) return {};
    if (generic) return kernels<0, 0>(q, p);
    switch (q) {
        case 1: return kernels_for_p<1>(q, p);
        case 2: return kernels_for_p<2>(q, p);
        case 3: return kernels_for_p<3>(q, p);
        default: return kernels<0, 0>(q, p);
    }
}

}  // namespace corvane::lmm

// Per-group steps for several groups at once, in vector lanes (lanes.hpp):
// the blocks kernel's value and gradient steps, the streaming kernel's step
// and the Hessian's group step,
// compiled for the machine's vector unit in a translation unit of their own
// and chosen at run time.
//
// A lanes step of groups first, ..., first + W - 1 computes for each the bits
// its scalar step computes (blocks_steps.hpp, streaming_steps.hpp,
// hessian_steps.hpp). Lane-wise
// arrays are stored interleaved: element e of lane l at e * W + l.
#pragma once

#include "linalg/elementary_arrays.hpp"

#include <cstdint>

namespace corvane::lmm {

// The design's per-group blocks and Lambda, as the steps read them.
struct BlocksLaneData {
    const double* ztz;     // m*q*q
    const double* ztx;     // m*q*p
    const double* zty;     // m*q
    const double* lambda;  // q*q
    std::uint64_t q, p;
};

// What the gradient step reads besides the group's own data.
struct BlocksGradientInputs {
    const double* beta;            // p
    const double* a_inv;           // p x p, null unless reml
    bool reml;
    const std::uint64_t* pairs;    // n_theta (row, col) pairs of Lambda's entries
    std::uint64_t n_theta;
};

// A chunk's running totals of the value pass, as contiguous arrays (so that
// the additions of one group run as vector operations across entries):
// compensated sums (hi, lo) of [log det M_i, rzx'cu (p)], the compensated sum
// of |cu|^2 (one addition per entry, in order) and sum rzx'rzx (upper
// triangle, row by row).
struct BlocksValueTotals {
    double* hi;      // 1 + p
    double* lo;      // 1 + p
    double* cc;      // 2: hi, lo
    double* xx;      // p (p + 1) / 2
};

// Value step: the slots (W * slot length, interleaved; not stored when null),
// then, when every lane's factorisation succeeded, the W groups' contributions
// added to `totals` in group order. Returns the bits of the lanes whose
// factorisation succeeded (nothing is added unless all did).
using BlocksValueLanes = unsigned (*)(const BlocksLaneData&, std::uint64_t first, double* slots,
                                      const BlocksValueTotals& totals);
// Gradient step from the value step's slots: u (W*q), g and dp (W*n_theta).
using BlocksGradientLanes = void (*)(const BlocksLaneData&, const BlocksGradientInputs&, std::uint64_t first,
                                     const double* slots, double* u, double* g, double* dp);

// What every group's Hessian step reads besides its own data.
struct HessianCommon {
    const double* lambda;         // q x q
    const std::uint64_t* pairs;   // n_theta (row, col) pairs of Lambda's entries
    std::uint64_t q, p, n_theta;
    const double* v;              // p + 1: (beta, -1)
    const double* a_inv;          // p x p under REML, else null
    double coef;                  // nmp / pwrss
    bool dcxx;                    // accumulate dC_s's fixed-effect block
};

// A chunk's running Hessian totals as contiguous arrays: compensated sums
// (hi, lo) of the gradient terms and plain sums of the rest of a group's
// terms, in hessian_group_step's order (Hessian s <= t row by row, dC_s v,
// dC_s's fixed block x <= y row by row).
struct HessianTotals {
    double* hi;     // n_theta
    double* lo;     // n_theta
    double* plain;  // hessian_out_length - n_theta
};

// Hessian step: when every lane's factorisation succeeded, the W groups'
// terms added to `totals` in group order. Returns the bits of the lanes
// whose factorisation succeeded (nothing is added unless all did).
using HessianGroupLanes = unsigned (*)(const HessianCommon&, const BlocksLaneData&, std::uint64_t first,
                                       const HessianTotals& totals);

// A chunk's running totals of the streaming kernel: compensated sums held as
// separate hi and lo arrays, blocks' upper triangles packed row by row.
struct StreamingTotals {
    double* logdet;    // 2: hi, lo
    double* corr_hi;   // (p+1)(p+2)/2
    double* corr_lo;
    double* trace;     // n_theta
    double* dcorr_hi;  // n_theta * (p+1)(p+2)/2
    double* dcorr_lo;
};

// Streaming step: when every lane's factorisation succeeded, the W groups'
// terms added to `totals` in group order. Returns the bits of the lanes
// whose factorisation succeeded (nothing is added unless all did).
using StreamingGroupLanes = unsigned (*)(const BlocksLaneData&, const std::uint64_t* pairs, std::uint64_t n_theta,
                                         bool gradient, std::uint64_t first, const StreamingTotals& totals);

struct GroupLaneKernels {
    std::uint64_t width = 1;  // groups per step; 1: no lanes, use the scalar steps
    BlocksValueLanes value = nullptr;
    BlocksGradientLanes gradient = nullptr;
    HessianGroupLanes hessian = nullptr;
    StreamingGroupLanes streaming = nullptr;
};

// The lanes steps for (q, p) (the general run-time-size forms when `generic`),
// or width 1 when `enabled` is false, when the machine has no vector unit this
// build has lanes for, or when q or p is beyond the lanes' storage.
GroupLaneKernels group_lane_kernels(std::uint64_t q, std::uint64_t p, bool generic, bool enabled);

// Whether the machine's vector-unit kernels run (a lanes build on a machine
// with the unit, and CORVANE_LANES not "0" when first asked).
bool lanes_available();

// exp, expm1, log and log1p over arrays, on the vector unit where the machine has it
// (the same bits as elementary.hpp's scalar forms either way).
const linalg::ElementaryArrays& elementary_arrays();

// Doubles per vector of the lanes in use on this machine (1 when none).
std::uint64_t lane_width();

}  // namespace corvane::lmm

// The "blocks" kernel: one q x q factorisation per group.
//
// Value pass, per group i (M_i = Lambda' Z_i'Z_i Lambda + I = L_i L_i'):
//   zzl = Z_i'Z_i Lambda, chol = L_i, rzx = L_i^-1 Lambda' Z_i'X_i,
//   cu = L_i^-1 Lambda' Z_i'y_i,
// accumulating sum rzx'rzx, sum rzx'cu, sum log det M_i and sum |cu|^2 per
// chunk; the chunk totals are reduced in chunk order and `profile` turns the
// reduced system into the criterion.
//
// Gradient pass (same chunks), per theta entry t filling Lambda[a][b]:
//   d/d theta_t = sum_i 2 (Z_i'Z_i Lambda M_i^-1)[a][b]
//               - [REML] sum_i 2 (C_i A^-1 B_i')[a][b]
//               + (nmp / pwrss) sum_i (-2 u_i[b] (Z_i' r_i)[a]),
// with B_i = L_i^-T rzx, C_i = Z_i'X_i - Z_i'Z_i Lambda B_i,
// u_i = L_i^-T (cu - rzx beta) and r_i = y_i - X_i beta - Z_i Lambda u_i.
//
// Every sum runs in increasing index order and every product with Lambda or a
// cross-product skips exact zeros; chunk lengths depend only on p and q, so
// the result is the same bit for bit on any number of threads. Where the
// machine has vector lanes, runs of W groups inside a chunk take their steps
// together (group_lanes.hpp), each lane computing its group's scalar bits,
// and their contributions are added in group order: the same bits again.
#include "lmm/blocks_evaluator.hpp"

#include <algorithm>

#include "linalg/compensated_sum.hpp"
#include "linalg/dense.hpp"
#include "lmm/group_lanes.hpp"
#include "lmm/blocks_steps.hpp"
#include "lmm/fixed_size.hpp"
#include "lmm/memory.hpp"
#include "lmm/profile.hpp"
#include "lmm/theta_layout.hpp"

namespace corvane::lmm {
namespace {

using linalg::CompensatedSum;
using linalg::Index;

// Per-chunk totals of the value pass (BlocksValueTotals over `sums`). Slots
// of neighbouring chunks are written by different threads: keep each on its
// own cache lines.
struct alignas(64) Acc1 {
    std::vector<double> sums;  // hi (1+p), lo (1+p), cc (2), xx (p(p+1)/2)
    bool ok = true;            // no group's factorisation failed
    std::vector<double> slot;  // per-group storage when no workspace is kept
    std::vector<double> out;   // the contributions of one scalar step
    Index p = 0;

    void reset(Index p_) {
        p = p_;
        sums.assign(2 * (1 + p) + 2 + p * (p + 1) / 2, 0.0);
        ok = true;
    }
    BlocksValueTotals totals() {
        double* s = sums.data();
        return {s, s + 1 + p, s + 2 * (1 + p), s + 2 * (1 + p) + 2};
    }
    const double* hi() const { return sums.data(); }
    const double* lo() const { return sums.data() + 1 + p; }
    const double* cc() const { return sums.data() + 2 * (1 + p); }
    const double* xx() const { return sums.data() + 2 * (1 + p) + 2; }

    // Adds another chunk's totals into these (CompensatedSum::merge on each
    // compensated sum: lo = part.lo + (lo + err)).
    void merge(const Acc1& part) {
        const Index n_comp = 1 + p;
        double* h = sums.data();
        double* l = h + n_comp;
        double* c = l + n_comp;
        linalg::merge_compensated(h, l, part.hi(), part.lo(), n_comp);
        linalg::merge_compensated(c, c + 1, part.cc(), part.cc() + 1, 1);
        double* x = c + 2;
        for (Index e = 0; e < p * (p + 1) / 2; ++e) x[e] = part.xx()[e] + x[e];
        ok = ok && part.ok;
    }
};

// Per-chunk totals of the gradient pass, with the chunk's per-group scratch.
struct alignas(64) Acc2 {
    std::vector<double> dlogdet;  // n_theta
    std::vector<double> dpwrss;   // n_theta
    std::vector<double> scratch;  // the scalar step's scratch, then u, g, dp for W groups

    void reset(Index n_theta) {
        dlogdet.assign(n_theta, 0.0);
        dpwrss.assign(n_theta, 0.0);
    }

    // Adds lane l of a step's g and dp: one group, in the group's order.
    void add_group(const double* g, const double* dp, Index l, Index width) {
        for (Index t = 0; t < dlogdet.size(); ++t) {
            dlogdet[t] = g[t * width + l] + dlogdet[t];
            dpwrss[t] = dpwrss[t] - dp[t * width + l];
        }
    }
};

Index slot_length(Index p, Index q) { return blocks_slot_length(p, q); }

// The workspace of the gradient modes, taken from the design's scratch pool
// and given back to it.
class Workspace {
public:
    Workspace(const LmmData& d, Index length) : pool_(d.design->scratch), data_(pool_.take(length)) {
        if (data_.size() == length) return;
        require_memory({size_product(length, sizeof(double))});
        // Every slot is written by the value pass before anything reads it.
        data_.resize(length);
    }
    Workspace(const Workspace&) = delete;
    Workspace& operator=(const Workspace&) = delete;
    ~Workspace() { pool_.give(std::move(data_)); }
    double* data() { return data_.data(); }

private:
    ScratchPool& pool_;
    WorkspaceBuffer data_;
};

BlocksLaneData lane_data(const LmmData& d, const double* lambda) {
    return {d.design->ztz.data(), d.design->ztx.data(), d.response.zty.data(), lambda, d.design->q, d.design->p};
}

// The groups [begin, end) of one chunk: runs of `width` groups through
// `lanes(first)`, the rest one by one through `scalar(i)`; each returns false
// to stop. The split depends only on the chunk's bounds and the width, so
// both passes of an evaluation cut a chunk the same way.
template <class Lanes, class Scalar>
void for_groups(Index begin, Index end, Index width, Lanes&& lanes, Scalar&& scalar) {
    Index i = begin;
    if (width > 1)
        for (; i + width <= end; i += width)
            if (!lanes(i)) return;
    for (; i < end; ++i)
        if (!scalar(i)) return;
}

// Everything the gradient pass reads besides the workspace.
struct GradientInputs {
    BlocksGradientInputs steps;
    double* u_out;  // m*q in Full mode, else null
};

// The value pass over all groups, each into its own slot of `workspace` (the
// gradient modes; groups that went through lanes together share their slots,
// interleaved) or into per-chunk scratch (null workspace); the chunk totals
// reduced in chunk order. Nothing when a group's factor fails.
template <Index Q, Index P>
std::optional<Acc1> value_pass(const LmmData& d, const double* lambda, double* workspace, Schedule schedule,
                               const GroupLaneKernels& lk) {
    const Index p = d.design->p, q = d.design->q, m = d.design->m;
    const Index cost = blocks_cost(p, q);
    const Index chunk = chunk_length(cost);
    const Index n_chunks = chunk_count(m, chunk);
    const bool parallel = go_parallel(schedule, m, chunk, cost);
    const Index slot = slot_length(p, q);
    const Index width = lk.width, n_out = blocks_value_out_length(p, q);
    const unsigned all_lanes = (1u << width) - 1;
    const BlocksLaneData ld = lane_data(d, lambda);

    std::vector<Acc1> slots(parallel ? reduce_slots(n_chunks, (p * p + 3 * p + slot) * sizeof(double)) : 1);
    Acc1 total;
    total.reset(p);
    chunked_reduce(
        n_chunks, parallel, slots,
        [&](Index c, Acc1& out) {
            // Built by the thread that runs the chunk, so its small vectors
            // do not share cache lines with another thread's.
            Acc1 acc;
            acc.reset(p);
            if (!workspace) acc.slot.assign(slot, 0.0);
            acc.out.assign(n_out, 0.0);
            const BlocksValueTotals totals = acc.totals();
            for_groups(
                c * chunk, std::min(m, (c + 1) * chunk), width,
                [&](Index first) {
                    double* storage = workspace ? workspace + first * slot : nullptr;
                    if (lk.value(ld, first, storage, totals) != all_lanes) return acc.ok = false;
                    return true;
                },
                [&](Index i) {
                    double* storage = workspace ? workspace + i * slot : acc.slot.data();
                    if (!blocks_value_step<Q, P>(d.design->ztz_of(i), d.design->ztx_of(i), d.zty_of(i), lambda,
                                                 storage, acc.out.data(), q, p))
                        return acc.ok = false;
                    add_value_terms(acc.out.data(), totals, p, q);
                    return true;
                });
            out = std::move(acc);
        },
        [&](Index, const Acc1& acc) { total.merge(acc); });
    if (!total.ok) return std::nullopt;
    return total;
}

// The reduced fixed-effect system from the value pass's totals:
//   A = X'X - sum rzx'rzx (full), c = X'y - sum rzx'cu, r2 = y'y - sum |cu|^2.
struct Reduced {
    std::vector<double> a, c;
    double r2, ldl2;
};

Reduced reduce(const LmmData& d, const Acc1& total) {
    const Index p = d.design->p;
    Reduced out{std::vector<double>(p * p), std::vector<double>(p), 0.0, 0.0};
    const double* xx = total.xx();
    for (Index l = 0; l < p; ++l)
        for (Index j = l; j < p; ++j) out.a[l * p + j] = d.design->xtx[l * p + j] - *xx++;
    for (Index l = 0; l < p; ++l)
        for (Index j = 0; j < l; ++j) out.a[l * p + j] = out.a[j * p + l];
    // x - (hi + lo) as (x - hi) - lo, as CompensatedSum::subtracted_from.
    for (Index k = 0; k < p; ++k) out.c[k] = (d.response.xty[k] - total.hi()[1 + k]) - total.lo()[1 + k];
    out.r2 = (d.response.yty - total.cc()[0]) - total.cc()[1];
    out.ldl2 = total.hi()[0] + total.lo()[0];
    return out;
}

template <Index Q, Index P>
std::optional<EvalResult> run_blocks(const LmmData& d, std::span<const double> theta, bool reml,
                                     EvalMode mode, Schedule schedule, const GroupLaneKernels& lk) {
    const Index p = d.design->p, q = d.design->q, m = d.design->m, n_theta = d.design->theta_pairs.size();
    const std::vector<double> lambda = theta_to_lambda(theta, q);
    const Index cost = blocks_cost(p, q);
    const Index chunk = chunk_length(cost);
    const Index n_chunks = chunk_count(m, chunk);
    const bool parallel = go_parallel(schedule, m, chunk, cost);
    const bool gradient = mode != EvalMode::ValueOnly;
    const Index slot = slot_length(p, q);

    std::optional<Workspace> workspace;
    if (gradient) workspace.emplace(d, m * slot);

    std::optional<Acc1> total =
        value_pass<Q, P>(d, lambda.data(), gradient ? workspace->data() : nullptr, schedule, lk);
    if (!total) return std::nullopt;
    Reduced r = reduce(d, *total);
    const double ldl2 = r.ldl2;
    std::optional<Profile> prof = profile(*d.design, std::move(r.a), std::move(r.c), reml, r.r2, ldl2);
    if (!prof) return std::nullopt;

    EvalResult result = result_from(*prof, ldl2, reml);
    if (!gradient) {
        result.beta = std::move(prof->beta);
        return result;
    }

    // Gradient pass.
    std::vector<double> a_inv;
    if (mode == EvalMode::Full || reml) {
        a_inv.resize(p * p);
        linalg::inverse_from_cholesky(prof->factor.data(), a_inv.data(), p);
    }
    if (mode == EvalMode::Full) result.u.assign(m * q, 0.0);
    std::vector<Index> pairs(2 * n_theta);
    for (Index t = 0; t < n_theta; ++t) {
        pairs[2 * t] = d.design->theta_pairs[t].row;
        pairs[2 * t + 1] = d.design->theta_pairs[t].col;
    }
    const GradientInputs inputs{{prof->beta.data(), reml ? a_inv.data() : nullptr, reml, pairs.data(), n_theta},
                                mode == EvalMode::Full ? result.u.data() : nullptr};
    const BlocksLaneData ld = lane_data(d, lambda.data());
    const Index width = lk.width, scratch_length = blocks_gradient_scratch_length(p, q);
    std::vector<Acc2> grad_slots(parallel ? reduce_slots(n_chunks, (2 * n_theta + 3 * q * q) * sizeof(double)) : 1);
    std::vector<double> dlogdet(n_theta, 0.0), dpwrss(n_theta, 0.0);
    chunked_reduce(
        n_chunks, parallel, grad_slots,
        [&](Index c, Acc2& out) {
            Acc2 acc;
            acc.reset(n_theta);
            acc.scratch.assign(scratch_length + width * (q + 2 * n_theta), 0.0);
            double* u = acc.scratch.data() + scratch_length;
            double* g = u + width * q;
            double* dp = g + width * n_theta;
            for_groups(
                c * chunk, std::min(m, (c + 1) * chunk), width,
                [&](Index first) {
                    lk.gradient(ld, inputs.steps, first, workspace->data() + first * slot, u, g, dp);
                    for (Index l = 0; l < width; ++l) {
                        if (inputs.u_out)
                            for (Index k = 0; k < q; ++k) inputs.u_out[(first + l) * q + k] = u[k * width + l];
                        acc.add_group(g, dp, l, width);
                    }
                    return true;
                },
                [&](Index i) {
                    blocks_gradient_step<Q, P>(d.design->ztx_of(i), d.zty_of(i), workspace->data() + i * slot,
                                               inputs.steps, acc.scratch.data(), u, g, dp, q, p);
                    if (inputs.u_out) std::copy_n(u, q, inputs.u_out + i * q);
                    acc.add_group(g, dp, 0, 1);
                    return true;
                });
            out = std::move(acc);
        },
        [&](Index, const Acc2& acc) {
            for (Index t = 0; t < n_theta; ++t) {
                dlogdet[t] = acc.dlogdet[t] + dlogdet[t];
                dpwrss[t] = acc.dpwrss[t] + dpwrss[t];
            }
        });
    const double s = prof->nmp / prof->pwrss;
    result.grad.resize(n_theta);
    for (Index t = 0; t < n_theta; ++t) result.grad[t] = dlogdet[t] + s * dpwrss[t];
    result.beta = std::move(prof->beta);
    if (mode == EvalMode::Full) result.a_inv = std::move(a_inv);
    return result;
}

}  // namespace

std::uint64_t blocks_cost(std::uint64_t p, std::uint64_t q) {
    return (3 * q * q + (q + q * q) / 2) * (p + q) + 2 * p * p * q + 8;
}

std::optional<ReducedSystem> blocks_reduced_system(const LmmData& d, std::span<const double> theta,
                                                  const EvalOptions& options) {
    const Index p = d.design->p, p1 = p + 1;
    const std::vector<double> lambda = theta_to_lambda(theta, d.design->q);
    const GroupLaneKernels lk = group_lane_kernels(d.design->q, p, options.generic, options.lanes);
    auto pass = [&](auto fixed_q, auto fixed_p) {
        return value_pass<decltype(fixed_q)::value, decltype(fixed_p)::value>(d, lambda.data(), nullptr,
                                                                              options.schedule, lk);
    };
    const std::optional<Acc1> total =
        options.generic ? pass(Fixed<0>{}, Fixed<0>{})
                        : with_q(d.design->q, false, [&](auto fq) { return with_p(p, [&](auto fp) { return pass(fq, fp); }); });
    if (!total) return std::nullopt;
    const Reduced r = reduce(d, *total);
    ReducedSystem out{std::vector<double>(p1 * p1), r.ldl2};
    for (Index x = 0; x < p; ++x) {
        for (Index y = 0; y < p; ++y) out.s[x * p1 + y] = r.a[x * p + y];
        out.s[x * p1 + p] = r.c[x];
        out.s[p * p1 + x] = r.c[x];
    }
    out.s[p * p1 + p] = r.r2;
    return out;
}

std::optional<EvalResult> evaluate_blocks(const LmmData& d, std::span<const double> theta,
                                          bool reml, EvalMode mode, const EvalOptions& options) {
    const GroupLaneKernels lk = group_lane_kernels(d.design->q, d.design->p, options.generic, options.lanes);
    if (options.generic) return run_blocks<0, 0>(d, theta, reml, mode, options.schedule, lk);
    return with_q(d.design->q, false, [&](auto fixed_q) {
        return with_p(d.design->p, [&](auto fixed_p) {
            return run_blocks<decltype(fixed_q)::value, decltype(fixed_p)::value>(d, theta, reml, mode,
                                                                                  options.schedule, lk);
        });
    });
}

}  // namespace corvane::lmm

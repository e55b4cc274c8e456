#include "lmm/augmented_evaluator.hpp"

#include <algorithm>
#include <cmath>
#include <type_traits>

#include "linalg/dense.hpp"
#include "linalg/elementary.hpp"
#include "lmm/fixed_size.hpp"
#include "lmm/group_lanes.hpp"
#include "lmm/streaming_steps.hpp"

namespace corvane::lmm {
namespace {

using linalg::CompensatedSum;
using linalg::Index;

// The q x q matrices of one chunk, allocated once and reused for each item.
struct Workspace {
    std::vector<double> storage;
    double *zl, *m, *minv, *b, *k, *zb, *zk, *dk;  // q x q each
    double *w, *v;                                 // q x (p+1) each (groups only)

    Workspace(Index q, Index p) : storage(8 * q * q + 2 * q * (p + 1), 0.0) {
        double* s = storage.data();
        for (double** matrix : {&zl, &m, &minv, &b, &k, &zb, &zk, &dk}) {
            *matrix = s;
            s += q * q;
        }
        w = s;
        v = s + q * (p + 1);
    }
};

// sum over (j, k) with F[j][k] != 0 of F[j][k] * S[c][j][k][x][y] into `into`
// (upper triangle), S's design part from `xsums` (y < p) and its last column
// from the response's `ysums`. Every entry of `into` receives its terms in
// (j, k) order, as from one (p+1) x (p+1) block.
template <Index Q>
void add_class_block(const Classes& classes, const double* ysums, Index c, const double* f, Index q_dynamic,
                     Index p1, double* hi, double* lo) {
    // One addition into packed entry (x, y): CompensatedSum::add's steps.
    auto add = [&](Index x, Index y, double v) {
        const Index e = upper_index(p1, x, y);
        linalg::add_compensated(hi + e, lo + e, &v, 1);
    };
    const Index q = linalg::size_of<Q>(q_dynamic), p = p1 - 1, pp = p * p;
    const double* xsums = classes.xsums.data() + c * q * q * pp;
    const double* ys = ysums + c * q * q * p1;
    for (Index j = 0; j < q; ++j)
        for (Index k = 0; k < q; ++k) {
            const double fjk = f[j * q + k];
            if (fjk == 0.0) continue;
            const double* block = xsums + (j * q + k) * pp;
            const double* last = ys + (j * q + k) * p1;
            for (Index x = 0; x < p; ++x) {
                for (Index y = x; y < p; ++y) add(x, y, fjk * block[x * p + y]);
                add(x, p, fjk * last[x]);
            }
            add(p, p, fjk * last[p]);
        }
}

// The classes of a chunk, one by one.
template <Index Q>
AccA class_chunk(const LmmData& d, const Classes& classes, Index first, Index end, const double* lambda,
                 bool gradient) {
    const Index q = linalg::size_of<Q>(d.design->q), p = d.design->p, p1 = p + 1, n_up = upper_length(p1);
    const Index n_theta = d.design->theta_pairs.size();
    const double* ysums = d.response.class_ysums.data();

    AccA acc;
    acc.reset(p, n_theta, gradient);
    Workspace ws(q, p);

    for (Index i = first; i < end; ++i) {
        const double* ztz = classes.class_ztz.data() + i * q * q;
        const double w = classes.counts[i];

        if (!factor_m<Q>(ztz, lambda, ws.zl, ws.m, q)) {
            acc.ok = false;
            return acc;
        }
        double s = 0.0;
        for (Index j = 0; j < q; ++j) s = s + linalg::log_of(ws.m[j * q + j]);
        const double scaled = (w * 2.0) * s;
        linalg::add_compensated(acc.logdet, acc.logdet + 1, &scaled, 1);

        linalg::inverse_from_cholesky<Q>(ws.m, ws.minv, q);
        linalg::product<Q, Q, Q>(lambda, ws.minv, ws.b, q, q, q);
        for (Index x = 0; x < q; ++x)
            for (Index y = 0; y < q; ++y) ws.k[x * q + y] = linalg::dot(ws.b + x * q, lambda + y * q, q);
        add_class_block<Q>(classes, ysums, i, ws.k, q, p1, acc.corr_hi.data(), acc.corr_lo.data());
        if (!gradient) continue;

        linalg::product<Q, Q, Q>(ztz, ws.b, ws.zb, q, q, q);
        for (Index x = 0; x < q; ++x)
            for (Index y = 0; y < q; ++y) ws.zk[x * q + y] = linalg::dot(ws.zb + x * q, lambda + y * q, q);
        for (Index t = 0; t < n_theta; ++t) {
            const Index r = d.design->theta_pairs[t].row, c = d.design->theta_pairs[t].col;
            acc.trace[t] = acc.trace[t] + (w * 2.0) * ws.zb[r * q + c];
            // dK/d theta_t = E M^-1 Lambda' + Lambda M^-1 E' - B E' Z'Z K - K Z'Z E B'.
            for (Index x = 0; x < q; ++x)
                for (Index y = 0; y <= x; ++y) {
                    const double a = x == r ? ws.b[y * q + c] : 0.0;
                    const double b = y == r ? ws.b[x * q + c] : 0.0;
                    const double v = (a - ws.b[x * q + c] * ws.zk[r * q + y]) +
                                     (b - ws.b[y * q + c] * ws.zk[r * q + x]);
                    ws.dk[x * q + y] = v;
                    ws.dk[y * q + x] = v;
                }
            add_class_block<Q>(classes, ysums, i, ws.dk, q, p1, acc.dcorr_hi.data() + t * n_up,
                               acc.dcorr_lo.data() + t * n_up);
        }
    }
    return acc;
}

// The groups of a chunk: runs of `width` groups through the lanes step, the
// rest one by one, every group's terms added in group order.
template <Index Q>
AccA group_chunk(const LmmData& d, Index first, Index end, const double* lambda, bool gradient,
                 const GroupLaneKernels& lk) {
    const Index q = linalg::size_of<Q>(d.design->q), p = d.design->p, n_theta = d.design->theta_pairs.size();
    AccA acc;
    acc.reset(p, n_theta, gradient);
    std::vector<Index> pairs(2 * n_theta);
    for (Index t = 0; t < n_theta; ++t) {
        pairs[2 * t] = d.design->theta_pairs[t].row;
        pairs[2 * t + 1] = d.design->theta_pairs[t].col;
    }
    const StreamingTotals totals{acc.logdet,      acc.corr_hi.data(),  acc.corr_lo.data(),
                                 acc.trace.data(), acc.dcorr_hi.data(), acc.dcorr_lo.data()};
    Index i = first;
    if (lk.streaming) {
        const BlocksLaneData ld{d.design->ztz.data(), d.design->ztx.data(), d.response.zty.data(), lambda, q, p};
        const unsigned all_lanes = (1u << lk.width) - 1;
        for (; i + lk.width <= end; i += lk.width)
            if (lk.streaming(ld, pairs.data(), n_theta, gradient, i, totals) != all_lanes) {
                acc.ok = false;
                return acc;
            }
    }
    std::vector<double> scratch(streaming_scratch_length(p, q)), out(streaming_out_length(p, n_theta, gradient));
    for (; i < end; ++i) {
        if (!streaming_group_step<Q>(d.design->ztz_of(i), d.design->ztx_of(i), d.zty_of(i), lambda, pairs.data(),
                                     n_theta, gradient, scratch.data(), out.data(), q, p)) {
            acc.ok = false;
            return acc;
        }
        add_streaming_terms(out.data(), totals, p, n_theta, gradient);
    }
    return acc;
}



}  // namespace

std::uint64_t streaming_cost(std::uint64_t p, std::uint64_t q) {
    const std::uint64_t t = (q + q * q) / 2 + 1;
    return (q * q * (p + 3) + q * (p + 1) * (p + 2) / 2) * t + 4 * q * q * q + 8;
}

std::uint64_t aggregated_cost(std::uint64_t p, std::uint64_t q) {
    const std::uint64_t t = (q + q * q) / 2 + 1;
    return q * q * (((p + 1) * (p + 2) / 2 + 2) * t + 4 * q) + 8;
}

void AccA::reset(std::uint64_t p, std::uint64_t n_theta, bool gradient) {
    const Index n_up = upper_length(p + 1);
    corr_hi.assign(n_up, 0.0);
    corr_lo.assign(n_up, 0.0);
    trace.assign(gradient ? n_theta : 0, 0.0);
    dcorr_hi.assign(gradient ? n_theta * n_up : 0, 0.0);
    dcorr_lo.assign(gradient ? n_theta * n_up : 0, 0.0);
    logdet[0] = logdet[1] = 0.0;
    ok = true;
}

void AccA::merge(const AccA& part) {
    linalg::merge_compensated(corr_hi.data(), corr_lo.data(), part.corr_hi.data(), part.corr_lo.data(),
                              corr_hi.size());
    for (Index k = 0; k < trace.size(); ++k) trace[k] = part.trace[k] + trace[k];
    linalg::merge_compensated(dcorr_hi.data(), dcorr_lo.data(), part.dcorr_hi.data(), part.dcorr_lo.data(),
                              dcorr_hi.size());
    linalg::merge_compensated(logdet, logdet + 1, part.logdet, part.logdet + 1, 1);
    ok = ok && part.ok;
}

AccA augmented_chunk(const GroupSource& source, std::uint64_t first, std::uint64_t length,
                     const double* lambda, bool gradient, bool generic, bool lanes) {
    const LmmData& d = source.data;
    const Index end = std::min(source.count(), first + length);
    const GroupLaneKernels lk = group_lane_kernels(d.design->q, d.design->p, generic, lanes);
    return with_q(d.design->q, generic, [&](auto fixed) {
        return group_chunk<decltype(fixed)::value>(d, first, end, lambda, gradient, lk);
    });
}

AccA augmented_chunk(const ClassSource& source, std::uint64_t first, std::uint64_t length,
                     const double* lambda, bool gradient, bool generic) {
    const LmmData& d = source.data;
    const Index end = std::min(source.count(), first + length);
    return with_q(d.design->q, generic, [&](auto fixed) {
        return class_chunk<decltype(fixed)::value>(d, source.classes, first, end, lambda, gradient);
    });
}

}  // namespace corvane::lmm

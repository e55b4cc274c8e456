#include "lmm/augmented_evaluator.hpp"

#include <algorithm>
#include <cmath>
#include <type_traits>

#include "linalg/dense.hpp"
#include "lmm/fixed_size.hpp"

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

// Per-item data of the two sources behind one interface.
struct GroupItem {
    const LmmData& d;
    Index q, p1;
    double weight(Index) const { return 1.0; }
    const double* ztz(Index i) const { return d.design->ztz_of(i); }
    // Log-determinant and trace terms of a group: s * 2.0.
    static double scaled(double s, double) { return s * 2.0; }
};

struct ClassItem {
    const Classes& c;
    Index q, p1;
    double weight(Index i) const { return c.counts[i]; }
    const double* ztz(Index i) const { return c.class_ztz.data() + i * q * q; }
    // For a class: (w * 2.0) * s.
    static double scaled(double s, double w) { return (w * 2.0) * s; }
};

// sum over (j, k) with F[j][k] != 0 of F[j][k] * S[c][j][k][x][y] into `into`
// (upper triangle), S's design part from `xsums` (y < p) and its last column
// from the response's `ysums`. Every entry of `into` receives its terms in
// (j, k) order, as from one (p+1) x (p+1) block.
template <Index Q>
void add_class_block(const Classes& classes, const double* ysums, Index c, const double* f, Index q_dynamic,
                     Index p1, CompensatedSum* into) {
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
                for (Index y = x; y < p; ++y) into[x * p1 + y].add(fjk * block[x * p + y]);
                into[x * p1 + p].add(fjk * last[x]);
            }
            into[p * p1 + p].add(fjk * last[p]);
        }
}

// W' F W into `into` (upper triangle), with V = F W (zero-skipping on F).
template <Index Q>
void add_group_block(const double* w, const double* f, double* v, Index q_dynamic, Index p1,
                     CompensatedSum* into) {
    const Index q = linalg::size_of<Q>(q_dynamic);
    linalg::product<Q, Q>(f, w, v, q, q, p1);
    for (Index x = 0; x < p1; ++x)
        for (Index y = x; y < p1; ++y) into[x * p1 + y].add(linalg::dot(w + x, v + y, q, p1, p1));
}

template <Index Q, class Item>
AccA run_chunk(const LmmData& d, const Classes* classes, const Item& item, Index first, Index end,
               const double* lambda, bool gradient) {
    const Index q = linalg::size_of<Q>(d.design->q), p = d.design->p, p1 = p + 1, pp = p1 * p1;
    const Index n_theta = d.design->theta_pairs.size();
    constexpr bool kGroups = std::is_same_v<Item, GroupItem>;
    const double* ysums = d.response.class_ysums.data();

    AccA acc;
    acc.corr.assign(pp, CompensatedSum{});
    if (gradient) {
        acc.trace.assign(n_theta, 0.0);
        acc.dcorr.assign(n_theta * pp, CompensatedSum{});
    }
    Workspace ws(q, p);

    for (Index i = first; i < end; ++i) {
        const double* ztz = item.ztz(i);
        const double w = item.weight(i);

        if (!factor_m<Q>(ztz, lambda, ws.zl, ws.m, q)) {
            acc.ok = false;
            return acc;
        }
        double s = 0.0;
        for (Index j = 0; j < q; ++j) s = s + std::log(ws.m[j * q + j]);
        acc.logdet.add(Item::scaled(s, w));

        linalg::inverse_from_cholesky<Q>(ws.m, ws.minv, q);
        linalg::product<Q, Q, Q>(lambda, ws.minv, ws.b, q, q, q);
        for (Index x = 0; x < q; ++x)
            for (Index y = 0; y < q; ++y) ws.k[x * q + y] = linalg::dot(ws.b + x * q, lambda + y * q, q);

        if constexpr (kGroups) {
            // W_i: row a = (Z_i'X_i row a, Z_i'y_i[a]).
            for (Index a = 0; a < q; ++a) {
                std::copy_n(d.design->ztx.data() + (i * q + a) * p, p, ws.w + a * p1);
                ws.w[a * p1 + p] = d.response.zty[i * q + a];
            }
            add_group_block<Q>(ws.w, ws.k, ws.v, q, p1, acc.corr.data());
        } else {
            add_class_block<Q>(*classes, ysums, i, ws.k, q, p1, acc.corr.data());
        }
        if (!gradient) continue;

        linalg::product<Q, Q, Q>(ztz, ws.b, ws.zb, q, q, q);
        for (Index x = 0; x < q; ++x)
            for (Index y = 0; y < q; ++y) ws.zk[x * q + y] = linalg::dot(ws.zb + x * q, lambda + y * q, q);
        for (Index t = 0; t < n_theta; ++t) {
            const Index r = d.design->theta_pairs[t].row, c = d.design->theta_pairs[t].col;
            acc.trace[t] = acc.trace[t] + Item::scaled(ws.zb[r * q + c], w);
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
            CompensatedSum* block = acc.dcorr.data() + t * pp;
            if constexpr (kGroups)
                add_group_block<Q>(ws.w, ws.dk, ws.v, q, p1, block);
            else
                add_class_block<Q>(*classes, ysums, i, ws.dk, q, p1, block);
        }
    }
    return acc;
}

template <class Item>
AccA dispatch_q(const LmmData& d, const Classes* classes, const Item& item, Index first, Index end,
                const double* lambda, bool gradient, bool generic) {
    return with_q(d.design->q, generic, [&](auto fixed) {
        return run_chunk<decltype(fixed)::value>(d, classes, item, first, end, lambda, gradient);
    });
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

AccA augmented_chunk(const GroupSource& source, std::uint64_t first, std::uint64_t length,
                     const double* lambda, bool gradient, bool generic) {
    const LmmData& d = source.data;
    const GroupItem item{d, d.design->q, d.design->p + 1};
    const Index end = std::min(source.count(), first + length);
    return dispatch_q(d, nullptr, item, first, end, lambda, gradient, generic);
}

AccA augmented_chunk(const ClassSource& source, std::uint64_t first, std::uint64_t length,
                     const double* lambda, bool gradient, bool generic) {
    const LmmData& d = source.data;
    const ClassItem item{source.classes, d.design->q, d.design->p + 1};
    const Index end = std::min(source.count(), first + length);
    return dispatch_q(d, &source.classes, item, first, end, lambda, gradient, generic);
}

}  // namespace corvane::lmm

#include "lmm/random_effects.hpp"

#include <algorithm>
#include <limits>

#include "linalg/dense.hpp"
#include "lmm/fixed_size.hpp"
#include "parallel/pool.hpp"

namespace corvane::lmm {
namespace {

using linalg::Index;

template <Index Q>
void group_modes(const LmmData& d, Index i, const double* lambda, const double* beta, double* scratch,
                 double* u) {
    const Index q = linalg::size_of<Q>(d.design->q), p = d.design->p;
    const double* ztz = d.design->ztz_of(i);
    const double* ztx = d.design->ztx_of(i);
    const double* zty = d.zty_of(i);
    double* a = scratch;
    double* m = a + q * q;
    double* r = m + q * q;

    if (!factor_m<Q>(ztz, lambda, a, m, q)) {
        std::fill_n(u, q, std::numeric_limits<double>::quiet_NaN());
        return;
    }
    for (Index c = 0; c < q; ++c) {
        double t = zty[c];
        for (Index k = 0; k < p; ++k) t = t - ztx[c * p + k] * beta[k];
        r[c] = t;
    }
    linalg::product_transposed<Q, Q, 1>(lambda, r, u, q, q, 1);
    linalg::forward_solve<Q>(m, u, q);
    linalg::back_solve<Q>(m, u, q);
}

template <Index Q>
std::vector<double> run(const LmmData& d, const double* lambda, const double* beta, Schedule schedule) {
    const Index q = d.design->q, p = d.design->p, m = d.design->m;
    std::vector<double> u(m * q, 0.0);
    const Index cost = std::max<Index>(1, q * (p + 2 * q * q) + 4);
    const Index chunk = chunk_length(cost);
    const Index n_chunks = chunk_count(m, chunk);
    auto run_chunk = [&](std::size_t c) {
        std::vector<double> scratch(2 * q * q + q, 0.0);
        const Index end = std::min(m, (c + 1) * chunk);
        for (Index i = c * chunk; i < end; ++i)
            group_modes<Q>(d, i, lambda, beta, scratch.data(), u.data() + i * q);
    };
    for_each_chunk(n_chunks, go_parallel(schedule, m, chunk, cost), run_chunk);
    return u;
}

}  // namespace

std::vector<double> random_effects(const LmmData& d, const double* lambda, const double* beta,
                                   const EvalOptions& options) {
    return with_q(d.design->q, options.generic, [&](auto fixed) {
        return run<decltype(fixed)::value>(d, lambda, beta, options.schedule);
    });
}

}  // namespace corvane::lmm

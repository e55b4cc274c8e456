// Conditional covariances of the random effects, group by group:
//   A = Z_i'Z_i Lambda, M = Lambda'A + I = L L', W = M^-1, T = Lambda W,
//   result = (T Lambda') * sigma2.
#include <algorithm>

#include "linalg/dense.hpp"
#include "lmm/fixed_size.hpp"
#include "lmm/derived.hpp"
#include "lmm/theta_layout.hpp"
#include "parallel/pool.hpp"

namespace corvane::lmm {
namespace {

using linalg::Index;

template <Index Q>
bool group_covariance(const LmmData& d, Index i, const double* lambda, double sigma2, double* scratch,
                      double* out) {
    const Index q = linalg::size_of<Q>(d.design->q);
    const double* ztz = d.design->ztz_of(i);
    double* a = scratch;
    double* m = a + q * q;
    double* w = m + q * q;
    double* t = w + q * q;
    if (!factor_m<Q>(ztz, lambda, a, m, q)) return false;
    linalg::inverse_from_cholesky<Q>(m, w, q);
    linalg::product<Q, Q, Q>(lambda, w, t, q, q, q);
    for (Index r = 0; r < q; ++r)
        for (Index c = 0; c < q; ++c) out[r * q + c] = linalg::dot(t + r * q, lambda + c * q, q) * sigma2;
    return true;
}

template <Index Q>
std::optional<std::vector<double>> run(const LmmData& d, const std::vector<double>& lambda, double sigma2,
                                       Schedule schedule) {
    const Index q = d.design->q, m = d.design->m, qq = q * q;
    std::vector<double> out(m * qq, 0.0);
    const Index cost = std::max<Index>(1, 4 * q * q * q + 4);
    const Index chunk = chunk_length(cost);
    const Index n_chunks = chunk_count(m, chunk);
    std::vector<unsigned char> ok(n_chunks, 1);
    auto run_chunk = [&](std::size_t c) {
        std::vector<double> scratch(4 * qq, 0.0);
        const Index end = std::min(m, (c + 1) * chunk);
        for (Index i = c * chunk; i < end; ++i) {
            if (!group_covariance<Q>(d, i, lambda.data(), sigma2, scratch.data(), out.data() + i * qq)) {
                ok[c] = 0;
                return;
            }
        }
    };
    for_each_chunk(n_chunks, go_parallel(schedule, m, chunk, cost), run_chunk);
    if (std::find(ok.begin(), ok.end(), 0) != ok.end()) return std::nullopt;
    return out;
}

}  // namespace

std::optional<std::vector<double>> conditional_covariances(const LmmData& d,
                                                           std::span<const double> theta,
                                                           double sigma2, const EvalOptions& options) {
    const std::vector<double> lambda = theta_to_lambda(theta, d.design->q);
    return with_q(d.design->q, options.generic, [&](auto fixed) {
        return run<decltype(fixed)::value>(d, lambda, sigma2, options.schedule);
    });
}

}  // namespace corvane::lmm

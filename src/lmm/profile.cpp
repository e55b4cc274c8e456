#include "lmm/profile.hpp"

#include <cmath>

#include "linalg/dense.hpp"
#include "linalg/elementary.hpp"

namespace corvane::lmm {

namespace {
// 1 + ln(2 pi) in double precision.
constexpr double kOnePlusLogTwoPi = 2.8378770664093453;
}  // namespace

std::optional<Profile> profile(const Design& design, std::vector<double>&& a,
                               std::vector<double>&& c, bool reml, double r2, double ldl2) {
    const std::uint64_t n = design.n, p = design.p;
    if (reml && n <= p) return std::nullopt;
    if (!linalg::cholesky(a.data(), p)) return std::nullopt;
    Profile out;
    out.ldrx2 = linalg::log_det(a.data(), p);
    linalg::forward_solve(a.data(), c.data(), p);
    double s2 = -0.0;
    for (std::uint64_t k = 0; k < p; ++k) s2 = s2 + c[k] * c[k];
    linalg::back_solve(a.data(), c.data(), p);
    out.pwrss = r2 - s2;
    if (!linalg::pivot_ok(out.pwrss)) return std::nullopt;
    out.nmp = static_cast<double>(reml ? n - p : n);
    out.deviance = (ldl2 + (reml ? out.ldrx2 : 0.0)) +
                   (linalg::log_of(out.pwrss / out.nmp) + kOnePlusLogTwoPi) * out.nmp;
    // A positive but subnormal pwrss can still give sigma2 = pwrss / nmp = 0
    // and a criterion of -inf, which would beat every genuine optimum: an
    // exact fit, reported as infeasible like pwrss = 0 itself.
    if (!std::isfinite(out.deviance)) return std::nullopt;
    out.beta = std::move(c);
    out.factor = std::move(a);
    return out;
}

EvalResult result_from(const Profile& prof, double ldl2, bool reml) {
    EvalResult result;
    result.deviance = prof.deviance;
    result.sigma2 = prof.pwrss / prof.nmp;
    result.pwrss = prof.pwrss;
    result.ldl2 = ldl2;
    result.ldrx2 = reml ? prof.ldrx2 : 0.0;
    return result;
}

}  // namespace corvane::lmm

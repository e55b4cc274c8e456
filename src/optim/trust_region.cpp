#include "optim/trust_region.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "linalg/symmetric_eigen.hpp"

namespace corvane::optim {
namespace {

constexpr double kAccept = 1e-4;          // smallest actual/predicted decrease accepted
constexpr double kShrinkBelow = 0.25;     // ratios below: shrink the region
constexpr double kGrowAbove = 0.75;       // ratios above with a step on the edge: grow it
constexpr double kDefiniteness = 1e-10;   // smallest eigenvalue / largest |eigenvalue| to count as positive
constexpr double kReleaseCurvature = 1e-8;  // negative curvature (relative) that releases a held block
constexpr double kResolution = 1e-13;     // relative changes of f below this are rounding

// The rounding of f at a point: what the objective reports, or at least a
// fixed fraction of |f|.
double resolution_of(const SecondOrder& at) {
    return std::max(kResolution * std::max(1.0, std::fabs(at.f)), at.resolution);
}

double norm2(const std::vector<double>& v) {
    double s = 0.0;
    for (double x : v) s = s + x * x;
    return std::sqrt(s);
}

// The submatrix of h on the index list.
std::vector<double> sub(const std::vector<double>& h, std::size_t n, const std::vector<std::size_t>& idx) {
    const std::size_t k = idx.size();
    std::vector<double> out(k * k);
    for (std::size_t i = 0; i < k; ++i)
        for (std::size_t j = 0; j < k; ++j) out[i * k + j] = h[idx[i] * n + idx[j]];
    return out;
}

// The eigen-decompositions of the last few matrices: an iteration asks for
// the same free Hessian's (its smallest eigenvalue, the certificate) and a
// rejected step for the same scaled one again. A matrix equal entry for
// entry gets the same decomposition, so reusing it changes no bit.
class EigenMemo {
public:
    const linalg::SymmetricEigen& of(const std::vector<double>& m, std::size_t k) {
        for (Entry& e : entries_)
            if (e.k == k && e.matrix == m) return e.eigen;
        if (entries_.size() == kKept) entries_.erase(entries_.begin());
        entries_.push_back(Entry{m, k, linalg::symmetric_eigen(m, k)});
        return entries_.back().eigen;
    }

private:
    struct Entry {
        std::vector<double> matrix;
        std::size_t k;
        linalg::SymmetricEigen eigen;
    };
    static constexpr std::size_t kKept = 3;
    std::vector<Entry> entries_;
};

double min_eigenvalue(EigenMemo& memo, const std::vector<double>& h, std::size_t k) {
    if (k == 0) return std::numeric_limits<double>::infinity();
    return memo.of(h, k).values[0];
}

// min g's + s'Hs/2 subject to |s| <= radius, solved exactly through the
// eigen-decomposition of H (k x k). In the hard case (g has no component on
// the lowest eigenvector and the shifted Newton step is short) the step is
// completed along that eigenvector, in the direction that raises the
// variables marked in `prefer_up` (their bounds lie below).
std::vector<double> trust_step(EigenMemo& memo, const std::vector<double>& h, const std::vector<double>& g,
                               std::size_t k, double radius, const std::vector<bool>& prefer_up) {
    const linalg::SymmetricEigen e = memo.of(h, k);
    std::vector<double> gt(k, 0.0);
    for (std::size_t j = 0; j < k; ++j) {
        double s = 0.0;
        for (std::size_t i = 0; i < k; ++i) s = s + e.vectors[i * k + j] * g[i];
        gt[j] = s;
    }
    const double lmin = e.values[0];
    const double scale = std::max({std::fabs(e.values[0]), std::fabs(e.values[k - 1]), 1e-300});
    const double gnorm = norm2(g);
    auto step_norm2 = [&](double mu, bool skip_lowest) {
        double s = 0.0;
        for (std::size_t j = 0; j < k; ++j) {
            if (skip_lowest && e.values[j] - lmin <= 1e-12 * scale) continue;
            const double c = gt[j] / (e.values[j] + mu);
            s = s + c * c;
        }
        return s;
    };
    auto assemble = [&](double mu, bool skip_lowest) {
        std::vector<double> s(k, 0.0);
        for (std::size_t j = 0; j < k; ++j) {
            if (skip_lowest && e.values[j] - lmin <= 1e-12 * scale) continue;
            const double c = -gt[j] / (e.values[j] + mu);
            for (std::size_t i = 0; i < k; ++i) s[i] = s[i] + c * e.vectors[i * k + j];
        }
        return s;
    };

    if (lmin > kDefiniteness * scale && step_norm2(0.0, false) <= radius * radius) return assemble(0.0, false);

    const double lo = std::max(0.0, -lmin);
    // Hard case: no gradient along the lowest eigenvectors.
    double g_low = 0.0;
    for (std::size_t j = 0; j < k; ++j)
        if (e.values[j] - lmin <= 1e-12 * scale) g_low = std::max(g_low, std::fabs(gt[j]));
    if (g_low <= 1e-12 * std::max(gnorm, 1e-300) || gnorm == 0.0) {
        const double rest = lo > 0.0 || lmin > 0.0 ? step_norm2(lo, true) : 0.0;
        if (rest <= radius * radius) {
            std::vector<double> s = lo > 0.0 || lmin > 0.0 ? assemble(lo, true) : std::vector<double>(k, 0.0);
            const double tau = std::sqrt(radius * radius - rest);
            double up = 0.0;
            for (std::size_t i = 0; i < k; ++i)
                if (prefer_up[i]) up = up + e.vectors[i * k + 0];
            const double sign = up < 0.0 ? -1.0 : 1.0;
            for (std::size_t i = 0; i < k; ++i) s[i] = s[i] + sign * tau * e.vectors[i * k + 0];
            return s;
        }
    }
    // |s(mu)| = radius for mu in (lo, hi]: Newton on 1/|s(mu)| - 1/radius,
    // which is concave and increasing, kept inside the bracket by bisection.
    double a = lo, b = lo + gnorm / radius + 1e-300;
    double mu = b;
    for (int it = 0; it < 200; ++it) {
        const double s2 = step_norm2(mu, false);
        const double sn = std::sqrt(s2);
        if (std::fabs(sn - radius) <= 1e-12 * radius) break;
        if (sn > radius)
            a = mu;
        else
            b = mu;
        double d3 = 0.0;
        for (std::size_t j = 0; j < k; ++j) {
            const double den = e.values[j] + mu;
            d3 = d3 + gt[j] * gt[j] / (den * den * den);
        }
        // d/dmu (1/|s|) = d3 / |s|^3.
        const double next = mu - (1.0 / sn - 1.0 / radius) * (sn * sn * sn) / d3;
        mu = next > a && next < b ? next : 0.5 * (a + b);
        if (b - a <= 1e-15 * std::max(1.0, b)) break;
    }
    return assemble(mu, false);
}

}  // namespace

TrustRegionResult minimize_trust_region(const SecondOrderObjective& objective, std::span<const double> x0,
                                        std::span<const double> lower,
                                        const std::vector<std::vector<std::size_t>>& tied,
                                        const Canonicalise& canonicalise, const TrustRegionOptions& options) {
    const std::size_t n = x0.size();
    TrustRegionResult out;
    std::vector<double> x(x0.begin(), x0.end());
    auto bounded = [&](std::size_t i) { return std::isfinite(lower[i]); };
    bool at_any = false;
    for (std::size_t i = 0; i < n; ++i)
        if (bounded(i) && x[i] <= lower[i]) {
            x[i] = lower[i];
            at_any = true;
        }
    if (at_any && canonicalise) canonicalise(x);

    std::optional<SecondOrder> at = objective(x);
    out.evaluations = 1;
    if (!at) {
        out.x = std::move(x);
        out.status = TrustStatus::InitialInfeasible;
        out.message = "initial point infeasible";
        out.grad_inf_norm = std::numeric_limits<double>::infinity();
        out.min_free_eigenvalue = std::numeric_limits<double>::quiet_NaN();
        return out;
    }

    EigenMemo memo;
    std::vector<double> d(n, 0.0);
    auto update_scaling = [&]() {
        double dmax = 0.0;
        for (std::size_t i = 0; i < n; ++i) d[i] = std::max(d[i], std::sqrt(std::fabs(at->h[i * n + i])));
        for (std::size_t i = 0; i < n; ++i) dmax = std::max(dmax, d[i]);
        for (std::size_t i = 0; i < n; ++i) d[i] = std::max(d[i], std::max(1e-8 * dmax, 1e-150));
    };
    update_scaling();
    double radius = 0.0;
    {
        double s = 0.0;
        for (std::size_t i = 0; i < n; ++i) s = s + (d[i] * x[i]) * (d[i] * x[i]);
        radius = std::max(std::sqrt(s), 1.0);
    }

    std::vector<std::size_t> held, free;
    std::vector<bool> released_up(n, false);
    double gnorm = 0.0, lmin_free = 0.0;
    bool released_any = false;
    // The held blocks and free variables at x, and the certificate's figures.
    auto classify = [&]() {
        std::vector<bool> is_held(n, false);
        std::fill(released_up.begin(), released_up.end(), false);
        released_any = false;
        double hscale = 1.0;
        for (std::size_t i = 0; i < n; ++i) hscale = std::max(hscale, std::fabs(at->h[i * n + i]));
        const double gtol_abs = options.gtol * std::max(1.0, std::fabs(at->f));
        for (std::size_t i = 0; i < n; ++i) {
            if (!bounded(i) || x[i] > lower[i]) continue;
            const std::vector<std::size_t>& block = tied[i];
            bool release = at->g[i] < -gtol_abs;
            if (!release)
                release = min_eigenvalue(memo, sub(at->h, n, block), block.size()) < -kReleaseCurvature * hscale;
            if (release) {
                released_any = true;
                released_up[i] = true;
            } else {
                for (std::size_t j : block) is_held[j] = true;
            }
        }
        held.clear();
        free.clear();
        for (std::size_t i = 0; i < n; ++i) (is_held[i] ? held : free).push_back(i);
        gnorm = 0.0;
        for (std::size_t i : free) gnorm = std::max(gnorm, std::fabs(at->g[i]));
        lmin_free = free.empty() ? std::numeric_limits<double>::quiet_NaN()
                                 : min_eigenvalue(memo, sub(at->h, n, free), free.size());
    };
    // Converged: nothing released, the free Hessian positive definite, and
    // either the free gradient below tolerance or the decrease a Newton step
    // predicts, g'H^-1 g / 2, below what f can resolve (its rounding). In the
    // second case the gradient, exact where f is not, may still be above its
    // own rounding: `polish` then takes full Newton steps while each at
    // least halves the free gradient (f cannot judge them).
    bool polish_done = false;
    auto polish = [&]() -> bool {
        if (polish_done || free.empty()) return false;
        const std::size_t k = free.size();
        const linalg::SymmetricEigen e = memo.of(sub(at->h, n, free), k);
        std::vector<double> trial(x);
        for (std::size_t j = 0; j < k; ++j) {
            double c = 0.0;
            for (std::size_t i = 0; i < k; ++i) c = c + e.vectors[i * k + j] * at->g[free[i]];
            const double coef = c / e.values[j];
            for (std::size_t i = 0; i < k; ++i) trial[free[i]] = trial[free[i]] - coef * e.vectors[i * k + j];
        }
        for (std::size_t i = 0; i < n; ++i)
            if (bounded(i) && trial[i] <= lower[i]) return polish_done = true, false;
        std::optional<SecondOrder> next = objective(trial);
        ++out.evaluations;
        if (!next || !(std::fabs(next->f - at->f) <= 2.0 * std::max(resolution_of(*at), resolution_of(*next))))
            return polish_done = true, false;
        double gnext = 0.0;
        for (std::size_t i : free) gnext = std::max(gnext, std::fabs(next->g[i]));
        if (!(gnext < 0.5 * gnorm)) return polish_done = true, false;
        x = std::move(trial);
        at = std::move(next);
        return true;
    };
    auto certified = [&]() {
        if (released_any) return false;
        const double scale = std::max(1.0, std::fabs(at->f));
        if (free.empty()) return true;
        const linalg::SymmetricEigen e = memo.of(sub(at->h, n, free), free.size());
        const double big = std::max(std::fabs(e.values.front()), std::fabs(e.values.back()));
        if (!(e.values.front() > kDefiniteness * big)) return false;
        if (gnorm <= options.gtol * scale) return true;
        const std::size_t k = free.size();
        double decrement = 0.0;
        for (std::size_t j = 0; j < k; ++j) {
            double c = 0.0;
            for (std::size_t i = 0; i < k; ++i) c = c + e.vectors[i * k + j] * at->g[free[i]];
            decrement = decrement + c * c / e.values[j];
        }
        return 0.5 * decrement <= std::max(kResolution * 1e-2 * scale, at->resolution);
    };

    out.message = "maximum iterations reached";
    bool done = false;
    for (;;) {
        classify();
        if (certified()) {
            if (gnorm > options.gtol * std::max(1.0, std::fabs(at->f)) && out.iterations < options.max_iter &&
                polish()) {
                ++out.iterations;
                continue;
            }
            out.status = held.empty() ? TrustStatus::Interior : TrustStatus::Boundary;
            out.message = held.empty() ? "converged: gradient below tolerance, Hessian positive definite"
                                       : "converged on the boundary: free gradient below tolerance, Hessian "
                                         "positive definite on the free parameters";
            done = true;
            break;
        }
        if (out.iterations >= options.max_iter) break;
        ++out.iterations;

        // The step on the free variables, in scaled coordinates.
        const std::size_t k = free.size();
        std::vector<double> hs(k * k), gs(k);
        std::vector<bool> up(k);
        for (std::size_t a = 0; a < k; ++a) {
            gs[a] = at->g[free[a]] / d[free[a]];
            up[a] = released_up[free[a]];
            for (std::size_t b = 0; b < k; ++b)
                hs[a * k + b] = at->h[free[a] * n + free[b]] / (d[free[a]] * d[free[b]]);
        }
        const std::vector<double> ss = trust_step(memo, hs, gs, k, radius, up);
        std::vector<double> trial(x);
        bool hit = false;
        for (std::size_t a = 0; a < k; ++a) trial[free[a]] = x[free[a]] + ss[a] / d[free[a]];
        for (std::size_t i = 0; i < n; ++i)
            if (bounded(i) && trial[i] <= lower[i]) {
                trial[i] = lower[i];
                hit = true;
            }
        // The model's decrease for the step actually taken.
        std::vector<double> s(n);
        for (std::size_t i = 0; i < n; ++i) s[i] = trial[i] - x[i];
        double lin = 0.0, quad = 0.0, scaled = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
            lin = lin + at->g[i] * s[i];
            double hsi = 0.0;
            for (std::size_t j = 0; j < n; ++j) hsi = hsi + at->h[i * n + j] * s[j];
            quad = quad + s[i] * hsi;
            scaled = scaled + (d[i] * s[i]) * (d[i] * s[i]);
        }
        const double predicted = -(lin + 0.5 * quad);
        const double step_size = std::sqrt(scaled);

        double ratio = -std::numeric_limits<double>::infinity();
        std::optional<SecondOrder> next;
        if (predicted > 0.0 && step_size > 0.0) {
            next = objective(trial);
            ++out.evaluations;
            if (next && std::isfinite(next->f)) ratio = (at->f - next->f) / predicted;
        }
        // Below what the criterion can resolve (its rounding), the change of
        // f says nothing: there a step is judged by the gradient it reaches.
        if (!(ratio > kAccept) && next && predicted <= resolution_of(*at) &&
            std::fabs(next->f - at->f) <= 2.0 * std::max(resolution_of(*at), resolution_of(*next))) {
            double gnext = 0.0;
            for (std::size_t i : free) gnext = std::max(gnext, std::fabs(next->g[i]));
            if (gnext < 0.5 * gnorm) ratio = 1.0;
        }
        if (ratio > kAccept) {
            x = std::move(trial);
            at = std::move(next);
            if (hit && canonicalise) {
                std::vector<double> before(x);
                canonicalise(x);
                if (x != before) {
                    std::optional<SecondOrder> again = objective(x);
                    ++out.evaluations;
                    if (again)
                        at = std::move(again);
                    else
                        x = std::move(before);
                }
            }
            update_scaling();
        }
        if (ratio < kShrinkBelow)
            radius = 0.25 * (step_size > 0.0 ? std::min(step_size, radius) : radius);
        else if (ratio > kGrowAbove && step_size >= 0.99 * radius)
            radius = 2.0 * radius;
        double xs = 0.0;
        for (std::size_t i = 0; i < n; ++i) xs = xs + (d[i] * x[i]) * (d[i] * x[i]);
        if (radius <= 1e-15 * std::max(1.0, std::sqrt(xs))) {
            classify();
            if (certified()) continue;  // reported at the top of the loop
            out.message = gnorm <= options.gtol * std::max(1.0, std::fabs(at->f))
                              ? "no decrease found and the Hessian is not positive definite on the free "
                                "parameters (a flat or saddle point)"
                              : "no decrease found: the gradient stays above tolerance (rounding limits the "
                                "criterion's accuracy here)";
            break;
        }
    }
    if (!done) {
        classify();
        out.status = TrustStatus::NotConverged;
    }
    out.grad_inf_norm = gnorm;
    out.min_free_eigenvalue = lmin_free;
    out.at_bound = held;
    out.x = std::move(x);
    out.at = std::move(*at);
    return out;
}

}  // namespace corvane::optim

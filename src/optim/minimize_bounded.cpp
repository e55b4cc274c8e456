#include "optim/minimize_bounded.hpp"

#include <algorithm>
#include <cmath>
#include <deque>
#include <limits>

namespace corvane::optim {
namespace {

constexpr std::size_t kHistory = 10;
constexpr int kTrials = 40;
constexpr double kStepFactor = 0.5;
constexpr double kSufficientDecrease = 1e-4;
constexpr double kSmallSlope = 1e-16;
constexpr double kCurvature = 1e-12;
constexpr double kGradientNotSmall = 1e-4;

bool bounded(double l) { return std::isfinite(l); }

double dot(const std::vector<double>& a, const std::vector<double>& b) {
    double s = 0.0;
    for (std::size_t i = 0; i < a.size(); ++i) s = s + a[i] * b[i];
    return s;
}

void project(std::vector<double>& x, std::span<const double> lower) {
    for (std::size_t i = 0; i < x.size(); ++i)
        if (bounded(lower[i]) && x[i] < lower[i]) x[i] = lower[i];
}

// Infinity norm of the projected gradient; NaN components are ignored.
double projected_gradient_norm(const std::vector<double>& x, const std::vector<double>& g,
                               std::span<const double> lower) {
    double norm = 0.0;
    for (std::size_t i = 0; i < x.size(); ++i) {
        const bool held = bounded(lower[i]) && x[i] <= lower[i] && g[i] > 0.0;
        const double c = held ? 0.0 : std::fabs(g[i]);
        if (c > norm) norm = c;
    }
    return norm;
}

// Zeroes the components of d that would leave an active bound.
void project_direction(std::vector<double>& d, const std::vector<double>& x,
                       std::span<const double> lower) {
    for (std::size_t i = 0; i < d.size(); ++i)
        if (bounded(lower[i]) && x[i] <= lower[i] && d[i] < 0.0) d[i] = 0.0;
}

struct Pair {
    std::vector<double> s, y;
    double rho;
};

}  // namespace

OptimResult minimize_bounded(const Objective& objective, std::span<const double> x0,
                             std::span<const double> lower, std::uint64_t max_iter, double gtol,
                             double ftol) {
    const std::size_t n = x0.size();
    OptimResult out;
    std::vector<double> x(x0.begin(), x0.end());
    project(x, lower);

    double f = 0.0;
    std::vector<double> g(n);
    if (!objective(x, f, g)) {
        out.x = std::move(x);
        out.message = "initial point infeasible";
        out.fun = std::numeric_limits<double>::infinity();
        out.grad_inf_norm = std::numeric_limits<double>::infinity();
        return out;
    }
    out.fev = 1;
    out.message = "maximum iterations reached";

    std::deque<Pair> history;
    std::vector<double> d(n), x_new(n), g_new(n), alpha;
    while (out.iterations < max_iter) {
        ++out.iterations;
        if (projected_gradient_norm(x, g, lower) < gtol) {
            out.message = "projected gradient below tolerance";
            out.converged = true;
            break;
        }

        // Two-loop recursion from d = -g.
        for (std::size_t i = 0; i < n; ++i) d[i] = -g[i];
        alpha.assign(history.size(), 0.0);
        for (std::size_t k = history.size(); k-- > 0;) {
            alpha[k] = history[k].rho * dot(history[k].s, d);
            for (std::size_t i = 0; i < n; ++i) d[i] = d[i] - alpha[k] * history[k].y[i];
        }
        if (!history.empty()) {
            const Pair& newest = history.back();
            const double yy = dot(newest.y, newest.y);
            if (yy > 0.0) {
                const double gamma = dot(newest.s, newest.y) / yy;
                for (double& v : d) v = v * gamma;
            }
        }
        for (std::size_t k = 0; k < history.size(); ++k) {
            const double beta = history[k].rho * dot(history[k].y, d);
            for (std::size_t i = 0; i < n; ++i) d[i] = d[i] + (alpha[k] - beta) * history[k].s[i];
        }
        project_direction(d, x, lower);
        if (dot(g, d) >= 0.0) {
            history.clear();
            for (std::size_t i = 0; i < n; ++i) d[i] = -g[i];
            project_direction(d, x, lower);
        }

        // Backtracking line search.
        double t = 1.0, f_new = 0.0;
        bool accepted = false;
        for (int trial = 0; trial < kTrials; ++trial, t = t * kStepFactor) {
            for (std::size_t i = 0; i < n; ++i) x_new[i] = x[i] + t * d[i];
            project(x_new, lower);
            ++out.fev;
            if (!objective(x_new, f_new, g_new)) continue;
            double slope = 0.0;
            for (std::size_t i = 0; i < n; ++i) slope = slope + g[i] * (x_new[i] - x[i]);
            if (f_new <= f + kSufficientDecrease * slope ||
                (f_new < f && std::fabs(slope) < kSmallSlope)) {
                accepted = true;
                break;
            }
        }
        if (!accepted) {
            if (history.empty()) {
                out.message = "line search failed";
                break;
            }
            history.clear();
            if (out.iterations == max_iter) {
                out.message = "maximum iterations reached";
                break;
            }
            continue;
        }

        Pair pair{std::vector<double>(n), std::vector<double>(n), 0.0};
        for (std::size_t i = 0; i < n; ++i) {
            pair.s[i] = x_new[i] - x[i];
            pair.y[i] = g_new[i] - g[i];
        }
        const double sy = dot(pair.s, pair.y);
        if (sy > kCurvature) {
            pair.rho = 1.0 / sy;
            history.push_back(std::move(pair));
            if (history.size() > kHistory) history.pop_front();
        }

        const double change = std::fabs(f - f_new) / std::max(std::fabs(f), 1.0);
        x.swap(x_new);
        g.swap(g_new);
        f = f_new;
        if (change < ftol) {
            out.converged = true;
            out.message = projected_gradient_norm(x, g, lower) < kGradientNotSmall
                              ? "relative change below tolerance"
                              : "relative change below tolerance (gradient not small)";
            break;
        }
        if (out.iterations >= max_iter) {
            out.message = "maximum iterations reached";
            break;
        }
    }

    out.grad_inf_norm = projected_gradient_norm(x, g, lower);
    if (!out.converged && out.grad_inf_norm < gtol) {
        out.message = "projected gradient below tolerance";
        out.converged = true;
    }
    out.x = std::move(x);
    out.fun = f;
    return out;
}

}  // namespace corvane::optim

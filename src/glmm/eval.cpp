#include "glmm/eval.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <utility>

#include "linalg/dense.hpp"
#include "linalg/elementary.hpp"
#include "lmm/errors.hpp"
#include "glmm/gauss_hermite.hpp"
#include "glmm/group.hpp"
#include "glmm/hessian.hpp"
#include "glmm/joint.hpp"
#include "lmm/theta_layout.hpp"
#include "parallel/interrupt.hpp"

namespace corvane::glmm {

using lmm::check_theta;
using lmm::InvalidInput;
using lmm::theta_to_lambda;

namespace {

using linalg::Index;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kRoundingUnits = 4.0;  // the deviance's rounding, in units of eps times its terms' magnitudes

void check_parameters(const GlmmData& d, std::span<const double> theta, std::span<const double> beta) {
    const GlmmDesign& g = *d.design;
    check_theta(theta, g.q);
    if (beta.size() != g.p)
        throw InvalidInput("beta must have " + std::to_string(g.p) + " entries, got " + std::to_string(beta.size()));
    for (std::size_t j = 0; j < beta.size(); ++j)
        if (!std::isfinite(beta[j])) throw InvalidInput("beta[" + std::to_string(j) + "] is not finite");
}

// Work per group for a pass: its rows times the columns they touch.
std::uint64_t group_cost(const GlmmDesign& g, std::uint64_t passes) {
    const std::uint64_t rows = std::max<std::uint64_t>(1, g.n / std::max<std::uint64_t>(g.m, 1));
    return rows * (g.p + g.q * g.q + 4) * std::max<std::uint64_t>(passes, 1);
}

std::string mode_failure(std::uint64_t group, ModeStatus status) {
    if (status == ModeStatus::Infeasible)
        return "the linear predictor of group " + std::to_string(group) + " is out of range";
    return "the conditional mode of group " + std::to_string(group) + " did not converge";
}

// The product rule of `nagq` points per dimension: q coordinates per point
// (row-major) and the weights.
struct Grid {
    std::vector<double> points;
    std::vector<double> weights;
    std::vector<double> half_sq;  // |z_j|^2 / 2
};

Grid product_grid(std::uint64_t nagq, std::uint64_t q) {
    const GaussHermite rule = gauss_hermite(nagq);
    std::uint64_t count = 1;
    for (std::uint64_t k = 0; k < q; ++k) count *= nagq;
    Grid grid;
    grid.points.resize(count * q);
    grid.weights.resize(count);
    grid.half_sq.resize(count);
    for (std::uint64_t j = 0; j < count; ++j) {
        std::uint64_t rest = j;
        double w = 1.0, s = 0.0;
        // The last coordinate varies fastest.
        for (std::uint64_t k = q; k-- > 0;) {
            const std::uint64_t i = rest % nagq;
            rest /= nagq;
            grid.points[j * q + k] = rule.nodes[i];
            w = w * rule.weights[i];
        }
        for (std::uint64_t k = 0; k < q; ++k) s = s + grid.points[j * q + k] * grid.points[j * q + k];
        grid.weights[j] = w;
        grid.half_sq[j] = 0.5 * s;
    }
    return grid;
}

// One chunk's partial result.
struct EvalSlot {
    double sum = 0.0, correction = 0.0, magnitude = 0.0, correction_magnitude = 0.0;
    std::vector<double> grad, hess;
    bool ok = true;
    std::uint64_t failed_group = 0;
    ModeStatus status = ModeStatus::Converged;
};

template <Link L, Index Q>
void evaluate_chunk(const GroupContext& c, std::uint64_t first, std::uint64_t last, const Grid* grid,
                    int derivatives, double* u_out, EvalSlot& slot) {
    const Index q = linalg::size_of<Q>(c.g.q);
    const Index nt = n_theta(q), kk = nt + c.g.p;
    GroupWork w(q, c.g.p);
    w.cur.keep = w.trial.keep = derivatives > 0;
    std::optional<HessianWork> hw;
    if (derivatives > 1) hw.emplace(q, c.g.p);
    const std::uint64_t mode_rows = grid && grid->weights.size() > 1 ? c.g.max_group : 0;
    std::vector<double> node(q), uk(q), eta_mode(mode_rows), node_delta(mode_rows), node_change(mode_rows);
    slot.sum = slot.correction = slot.magnitude = slot.correction_magnitude = 0.0;
    slot.ok = true;
    if (derivatives > 0) slot.grad.assign(kk, 0.0);
    if (derivatives > 1) slot.hess.assign(kk * kk, 0.0);
    for (std::uint64_t grp = first; grp < last; ++grp) {
        const std::uint64_t s = c.g.start[grp], e = c.g.start[grp + 1];
        const ModeStatus status = find_mode<L, Q>(c, grp, s, e, w);
        if (status != ModeStatus::Converged || !fisher_factor<Q>(c, w)) {
            slot.ok = false;
            slot.failed_group = grp;
            slot.status = status == ModeStatus::Converged ? ModeStatus::Infeasible : status;
            return;
        }
        if (u_out)
            for (Index k = 0; k < q; ++k) u_out[grp * q + k] = w.cur.u[k];
        const double half_logdet = 0.5 * linalg::log_det<Q>(w.lf.data(), q);
        double value = w.cur.f + half_logdet;
        slot.magnitude = slot.magnitude + (std::fabs(w.cur.f) + std::fabs(half_logdet));
        if (grid && grid->weights.size() > 1) {
            // Each node's f(u^ + R^-T z_j) - f(u^) as the sum of its rows'
            // changes from the mode (see loglik_change), so that it keeps the
            // digits of the change whatever the size of f.
            const std::uint64_t n = e - s;
            fill_eta<Q>(c, s, n, w.cur.b.data(), eta_mode.data());
            double total = 0.0, spread = 0.0;
            for (std::uint64_t j = 0; j < grid->weights.size(); ++j) {
                for (Index k = 0; k < q; ++k) node[k] = grid->points[j * q + k];
                linalg::back_solve<Q>(w.lf.data(), node.data(), q);
                lambda_times<Q>(c.lambda, node.data(), uk.data(), q);  // the node's move of b
                for (std::uint64_t i = 0; i < n; ++i) {
                    const double* z = c.g.z.data() + (s + i) * q;
                    double delta = 0.0;
                    for (Index k = 0; k < q; ++k) delta = delta + z[k] * uk[k];
                    node_delta[i] = delta;
                }
                c.kernels->change(L, eta_mode.data(), node_delta.data(), c.y + s, c.g.w.data() + s, n,
                                  node_change.data(), c.params);
                double change = 0.0;
                for (std::uint64_t i = 0; i < n; ++i) change = change + node_change[i];
                double prior = 0.0;  // |u^ + v|^2 / 2 - |u^|^2 / 2 = v'(u^ + v / 2)
                for (Index k = 0; k < q; ++k) prior = prior + node[k] * (w.cur.u[k] + 0.5 * node[k]);
                const double rise = prior - change;
                if (std::isnan(rise)) continue;  // a row without mass there
                const double term = grid->weights[j] * linalg::exp_of(-rise + grid->half_sq[j]);
                total = total + term;
                spread = spread + term * std::fabs(rise);
            }
            if (!(total > 0.0) || !std::isfinite(total)) {
                slot.ok = false;
                slot.failed_group = grp;
                slot.status = ModeStatus::Infeasible;
                return;
            }
            const double log_total = linalg::log_of(total);
            value = w.cur.f + half_logdet - log_total;
            slot.correction = slot.correction - log_total;
            slot.magnitude = slot.magnitude + std::fabs(log_total);
            // Each node's rise carries the rounding of its rows' changes: a
            // few units of its magnitude, and of one per row.
            slot.correction_magnitude =
                slot.correction_magnitude + (static_cast<double>(e - s) + spread / total + std::fabs(log_total));
        }
        slot.sum = slot.sum + value;
        if (derivatives > 0) laplace_gradient<L, Q>(c, s, e, w, slot.grad.data());
        if (derivatives > 1) laplace_hessian<L, Q>(c, s, e, w, *hw, slot.hess.data());
    }
}

template <Link L, Index Q>
GlmmEval evaluate_as(const GroupContext& c, const Grid* grid, int derivatives, double* u_out,
                     const GlmmOptions& options) {
    const GlmmDesign& g = c.g;
    const std::uint64_t points = grid ? grid->weights.size() : 1;
    const std::uint64_t cost = group_cost(g, 8 + points);
    const std::uint64_t chunk = chunk_length(cost);
    const std::uint64_t n_chunks = chunk_count(g.m, chunk);
    const bool parallel = go_parallel(options.schedule, g.m, chunk, cost);
    const std::uint64_t nk = n_theta(g.q) + g.p;
    std::vector<EvalSlot> slots(parallel ? reduce_slots(n_chunks, 8 * (nk + nk * nk) + 64) : 1);
    GlmmEval out;
    out.feasible = true;
    double total = 0.0, correction = 0.0, magnitude = 0.0, correction_magnitude = 0.0;
    std::vector<double> grad(derivatives > 0 ? nk : 0, 0.0), hess(derivatives > 1 ? nk * nk : 0, 0.0);
    chunked_reduce(
        n_chunks, parallel, slots,
        [&](std::uint64_t k, EvalSlot& slot) {
            evaluate_chunk<L, Q>(c, k * chunk, std::min(g.m, (k + 1) * chunk), grid, derivatives, u_out, slot);
        },
        [&](std::uint64_t, EvalSlot& slot) {
            if (!out.feasible) return;
            if (!slot.ok) {
                out.feasible = false;
                out.failure = mode_failure(slot.failed_group, slot.status);
                return;
            }
            total = total + slot.sum;
            correction = correction + slot.correction;
            magnitude = magnitude + slot.magnitude;
            correction_magnitude = correction_magnitude + slot.correction_magnitude;
            for (std::uint64_t k = 0; k < grad.size(); ++k) grad[k] = grad[k] + slot.grad[k];
            for (std::uint64_t k = 0; k < hess.size(); ++k) hess[k] = hess[k] + slot.hess[k];
        });
    if (!out.feasible) {
        out.deviance = kInf;
        return out;
    }
    out.deviance = 2.0 * total - 2.0 * c.constant;
    if (!std::isfinite(out.deviance)) {
        out.feasible = false;
        out.failure = "the deviance is not finite";
        out.deviance = kInf;
        return out;
    }
    out.correction = 2.0 * correction;
    out.resolution = deviance_rounding(magnitude, c.constant);
    out.correction_resolution = deviance_rounding(correction_magnitude, 0.0);
    for (double& v : grad) v = 2.0 * v;
    for (double& v : hess) v = 2.0 * v;
    out.grad = std::move(grad);
    out.hessian = std::move(hess);
    return out;
}

template <Link L, Index Q>
GlmmModes modes_as(const GroupContext& c, const GlmmOptions& options) {
    const GlmmDesign& g = c.g;
    const Index q = g.q;
    const std::uint64_t cost = group_cost(g, 8);
    const std::uint64_t chunk = chunk_length(cost);
    const std::uint64_t n_chunks = chunk_count(g.m, chunk);
    const bool parallel = go_parallel(options.schedule, g.m, chunk, cost);
    GlmmModes out;
    out.u.assign(g.m * q, 0.0);
    out.b.assign(g.m * q, 0.0);
    out.condvar.assign(g.m * q * q, 0.0);
    out.eta.assign(g.n, 0.0);
    out.iterations.assign(g.m, 0);
    std::vector<std::uint8_t> failed(n_chunks, 0);
    std::vector<std::uint64_t> failed_group(n_chunks, 0);
    std::vector<ModeStatus> failed_status(n_chunks, ModeStatus::Converged);
    for_each_chunk(n_chunks, parallel, [&](std::uint64_t k) {
        GroupWork w(q, g.p);
        std::vector<double> hinv(q * q), tmp(q * q);
        for (std::uint64_t grp = k * chunk; grp < std::min(g.m, (k + 1) * chunk); ++grp) {
            const std::uint64_t s = g.start[grp], e = g.start[grp + 1];
            const ModeStatus status = find_mode<L, Q>(c, grp, s, e, w);
            if (status != ModeStatus::Converged || !fisher_factor<Q>(c, w)) {
                failed[k] = 1;
                failed_group[k] = grp;
                failed_status[k] = status == ModeStatus::Converged ? ModeStatus::Infeasible : status;
                return;
            }
            out.iterations[grp] = w.iterations;
            for (Index a = 0; a < q; ++a) {
                out.u[grp * q + a] = w.cur.u[a];
                out.b[grp * q + a] = w.cur.b[a];
            }
            // Lambda H^-1 Lambda'
            linalg::inverse_from_cholesky<Q>(w.lf.data(), hinv.data(), q);
            linalg::product<Q, Q, Q>(c.lambda, hinv.data(), tmp.data(), q, q, q);
            for (Index a = 0; a < q; ++a)
                for (Index b = 0; b < q; ++b) {
                    double v = 0.0;
                    for (Index r = 0; r < q; ++r) v = v + tmp[a * q + r] * c.lambda[b * q + r];
                    out.condvar[grp * q * q + a * q + b] = v;
                }
            for (std::uint64_t i = s; i < e; ++i) out.eta[g.row[i]] = row_eta<Q>(c, i, w.cur.b.data());
        }
    });
    out.feasible = true;
    for (std::uint64_t k = 0; k < n_chunks; ++k)
        if (failed[k]) {
            out.feasible = false;
            out.failure = mode_failure(failed_group[k], failed_status[k]);
            break;
        }
    return out;
}

template <class F>
decltype(auto) dispatch(const GlmmData& d, const GlmmOptions& options, F&& f) {
    const std::uint64_t q = d.design->q;
    const auto by_q = [&](auto link_tag) -> decltype(auto) {
        constexpr Link L = decltype(link_tag)::value;
        if (!options.general_kernels) {
            if (q == 1) return f.template operator()<L, 1>();
            if (q == 2) return f.template operator()<L, 2>();
            if (q == 3) return f.template operator()<L, 3>();
        }
        return f.template operator()<L, 0>();
    };
    switch (d.design->link) {
        case Link::Logit: return by_q(std::integral_constant<Link, Link::Logit>{});
        case Link::Probit: return by_q(std::integral_constant<Link, Link::Probit>{});
        case Link::Cloglog: return by_q(std::integral_constant<Link, Link::Cloglog>{});
        case Link::NegBinLog: return by_q(std::integral_constant<Link, Link::NegBinLog>{});
        case Link::NegBin1Log: return by_q(std::integral_constant<Link, Link::NegBin1Log>{});
        default: return by_q(std::integral_constant<Link, Link::Log>{});
    }
}

}  // namespace

double deviance_rounding(double group_magnitudes, double constant) {
    // Each group's terms carry the rounding of sums of their rows' terms,
    // which the constant cancels only in the total (large counts make both
    // large): a few units of the last place of the magnitudes summed.
    return 2.0 * kRoundingUnits * std::numeric_limits<double>::epsilon() * (group_magnitudes + std::fabs(constant));
}

GlmmEval glmm_evaluate(const GlmmData& d, std::span<const double> theta, std::span<const double> beta,
                       std::uint64_t nagq, int derivatives, const GlmmOptions& options,
                       std::span<const double> u_start, std::vector<double>* u_out) {
    check_parameters(d, theta, beta);
    if (!u_start.empty() && u_start.size() != d.design->m * d.design->q)
        throw InvalidInput("u_start must have m * q entries");
    const std::uint64_t q = d.design->q;
    if (nagq < 1 || nagq > 50) throw InvalidInput("nagq must be between 1 and 50, got " + std::to_string(nagq));
    std::uint64_t points = 1;
    for (std::uint64_t k = 0; k < q; ++k) {
        points *= nagq;
        if (points > kMaxQuadraturePoints)
            throw InvalidInput("nagq = " + std::to_string(nagq) + " needs " + std::to_string(nagq) + "^" +
                               std::to_string(q) + " points per group, more than " +
                               std::to_string(kMaxQuadraturePoints));
    }
    if (derivatives < 0 || derivatives > 2) throw InvalidInput("derivatives must be 0, 1 or 2");
    const std::vector<double> lambda = theta_to_lambda(theta, q);
    const GroupContext c{*d.design, d.y.data(), lambda.data(), beta.data(), d.constant,
                         u_start.empty() ? nullptr : u_start.data(), &row_kernels(), d.params};
    std::optional<Grid> grid;
    if (nagq > 1) grid = product_grid(nagq, q);
    if (u_out) u_out->assign(d.design->m * q, 0.0);
    return dispatch(d, options, [&]<Link L, Index Q>() {
        return evaluate_as<L, Q>(c, grid ? &*grid : nullptr, derivatives, u_out ? u_out->data() : nullptr, options);
    });
}

GlmmModes glmm_modes(const GlmmData& d, std::span<const double> theta, std::span<const double> beta,
                     const GlmmOptions& options) {
    check_parameters(d, theta, beta);
    const std::vector<double> lambda = theta_to_lambda(theta, d.design->q);
    const GroupContext c{*d.design, d.y.data(), lambda.data(), beta.data(), d.constant, nullptr, &row_kernels(),
                         d.params};
    return dispatch(d, options, [&]<Link L, Index Q>() { return modes_as<L, Q>(c, options); });
}

GlmmJoint glmm_joint(const GlmmData& d, std::span<const double> theta, std::span<const double> beta_start,
                     const GlmmOptions& options) {
    check_parameters(d, theta, beta_start);
    const std::vector<double> lambda = theta_to_lambda(theta, d.design->q);
    return dispatch(d, options, [&]<Link L, Index Q>() {
        return joint_mode<L, Q>(*d.design, d.y.data(), d.constant, d.params, lambda.data(), beta_start, options);
    });
}

std::vector<double> glmm_start_beta(const GlmmData& d, const GlmmOptions&) {
    const GlmmDesign& g = *d.design;
    const Index p = g.p;
    std::vector<double> xtwx(p * p, 0.0), xtwz(p, 0.0);
    for (std::uint64_t i = 0; i < g.n; ++i) {
        if ((i & 0xFFFF) == 0) parallel::check_interrupt();
        double eta, weight;
        if (g.family == Family::Binomial) {
            const double mu = (g.w[i] * d.y[i] + 0.5) / (g.w[i] + 1.0);
            const double lg = linalg::log_of(mu / (1.0 - mu));
            switch (g.link) {
                case Link::Probit: eta = lg / 1.6; break;  // the logistic's scale against the normal's
                case Link::Cloglog: eta = linalg::log_of(-linalg::log1p_of(-mu)); break;
                default: eta = lg;
            }
            weight = g.w[i] * mu * (1.0 - mu);
        } else {
            const double mu = d.y[i] + 0.1;
            eta = linalg::log_of(mu);
            weight = g.w[i] * mu;
        }
        const double zi = eta - g.offset[i];
        const double* x = g.x.data() + i * p;
        for (Index j = 0; j < p; ++j) {
            const double wj = weight * x[j];
            xtwz[j] = xtwz[j] + wj * zi;
            for (Index l = 0; l <= j; ++l) xtwx[j * p + l] = xtwx[j * p + l] + wj * x[l];
        }
    }
    std::vector<double> beta(p, 0.0);
    if (!linalg::cholesky<0>(xtwx.data(), p)) return beta;
    beta = xtwz;
    linalg::forward_solve<0>(xtwx.data(), beta.data(), p);
    linalg::back_solve<0>(xtwx.data(), beta.data(), p);
    for (double v : beta)
        if (!std::isfinite(v)) return std::vector<double>(p, 0.0);
    return beta;
}

}  // namespace corvane::glmm

#include "lmm/replicates.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "lmm/evaluate.hpp"
#include "lmm/hessian.hpp"
#include "lmm/newton_fit.hpp"
#include "lmm/theta_layout.hpp"
#include "parallel/interrupt.hpp"
#include "parallel/pool.hpp"

namespace corvane::lmm {

ReplicateFits fit_replicates(const LmmData& design, const RowsView& rows, const double* responses,
                             std::uint64_t count, const std::vector<double>& starts, bool reml,
                             std::uint64_t max_iter, double gtol, const std::vector<std::size_t>& free,
                             bool with_derivatives) {
    const std::uint64_t n = rows.n, p = design.design->p, k = n_theta(design.design->q);
    ReplicateFits out;
    out.count = count;
    out.theta.assign(count * k, std::numeric_limits<double>::quiet_NaN());
    out.beta.assign(count * p, std::numeric_limits<double>::quiet_NaN());
    out.sigma.assign(count, std::numeric_limits<double>::quiet_NaN());
    out.deviance.assign(count, std::numeric_limits<double>::quiet_NaN());
    out.converged.assign(count, 0);
    out.evaluations.assign(count, 0);
    out.at_bound.assign(count * k, 0);
    if (with_derivatives) {
        const double nan = std::numeric_limits<double>::quiet_NaN();
        out.hess.assign(count * k * k, nan);
        out.pwrss.assign(count, nan);
        out.nmp.assign(count, nan);
        out.pwrss_grad.assign(count * k, nan);
        out.xvx.assign(count * p * p, nan);
        out.xvx_grad.assign(count * k * p * p, nan);
    }
    parallel::parallel_for(count, [&](std::size_t r) {
        parallel::check_interrupt();
        RowsView view = rows;
        view.y = responses + r * n;
        const std::unique_ptr<LmmData> data = design.with_response(view);
        NewtonFit fit = fit_newton(*data, starts, reml, max_iter, gtol, {}, free);
        if (!fit.best.converged() && !starts.empty()) {
            NewtonFit again = fit_newton(*data, {}, reml, max_iter, gtol, {}, free);
            again.evaluations += fit.evaluations;
            const bool better = again.best.converged() ||
                                (again.best.status != optim::TrustStatus::InitialInfeasible &&
                                 (fit.best.status == optim::TrustStatus::InitialInfeasible ||
                                  again.best.at.f < fit.best.at.f));
            if (better) fit = std::move(again);
            else fit.evaluations = again.evaluations;
        }
        out.evaluations[r] = fit.evaluations;
        if (fit.best.status == optim::TrustStatus::InitialInfeasible) return;
        const std::optional<EvalResult> e = evaluate(*data, fit.best.x, reml, EvalMode::ValueOnly);
        if (!e) return;
        for (std::uint64_t j = 0; j < k; ++j) out.theta[r * k + j] = fit.best.x[j];
        for (std::uint64_t j = 0; j < p; ++j) out.beta[r * p + j] = e->beta[j];
        out.sigma[r] = std::sqrt(e->sigma2);
        out.deviance[r] = e->deviance;
        out.converged[r] = fit.best.converged() ? 1 : 0;
        for (std::size_t j : fit.best.at_bound) out.at_bound[r * k + j] = 1;
        if (!with_derivatives) return;
        const std::optional<HessianResult> h = evaluate_hessian(*data, fit.best.x, reml, {}, true);
        if (!h) return;
        std::copy(h->hess.begin(), h->hess.end(), out.hess.begin() + r * k * k);
        out.pwrss[r] = h->pwrss;
        out.nmp[r] = h->nmp;
        std::copy(h->pwrss_grad.begin(), h->pwrss_grad.end(), out.pwrss_grad.begin() + r * k);
        std::copy(h->xvx.begin(), h->xvx.end(), out.xvx.begin() + r * p * p);
        std::copy(h->xvx_grad.begin(), h->xvx_grad.end(), out.xvx_grad.begin() + r * k * p * p);
    });
    return out;
}

}  // namespace corvane::lmm

#include "lmm/replicates.hpp"

#include <cmath>
#include <limits>

#include "lmm/evaluate.hpp"
#include "lmm/newton_fit.hpp"
#include "lmm/theta_layout.hpp"
#include "parallel/interrupt.hpp"
#include "parallel/pool.hpp"

namespace corvane::lmm {

ReplicateFits fit_replicates(const LmmData& design, const RowsView& rows, const double* responses,
                             std::uint64_t count, const std::vector<double>& starts, bool reml,
                             std::uint64_t max_iter, double gtol, const std::vector<std::size_t>& free) {
    const std::uint64_t n = rows.n, p = design.design->p, k = n_theta(design.design->q);
    ReplicateFits out;
    out.count = count;
    out.theta.assign(count * k, std::numeric_limits<double>::quiet_NaN());
    out.beta.assign(count * p, std::numeric_limits<double>::quiet_NaN());
    out.sigma.assign(count, std::numeric_limits<double>::quiet_NaN());
    out.deviance.assign(count, std::numeric_limits<double>::quiet_NaN());
    out.converged.assign(count, 0);
    out.evaluations.assign(count, 0);
    parallel::parallel_for(count, [&](std::size_t r) {
        parallel::check_interrupt();
        RowsView view = rows;
        view.y = responses + r * n;
        const std::unique_ptr<LmmData> data = design.with_response(view);
        NewtonFit fit = fit_newton(*data, starts, reml, max_iter, gtol, {}, free);
        if (!fit.best.converged()) {
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
    });
    return out;
}

}  // namespace corvane::lmm

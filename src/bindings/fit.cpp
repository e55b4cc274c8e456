// The fitting methods: `fit` (multi-start projected L-BFGS, the best start
// wins), `fit_newton` (multi-start trust-region Newton on the exact Hessian,
// with a certificate of the optimum) and `moment_theta` (a data-driven start).
// Every minimiser run happens without the interpreter lock and can be
// interrupted; the result dictionary is built with the lock held.
#include "bindings/fit.hpp"

#include <cmath>
#include <limits>
#include <optional>
#include <span>
#include <vector>

#include "bindings/args.hpp"
#include "bindings/errors.hpp"
#include "bindings/gil.hpp"
#include "bindings/lmm_core.hpp"
#include "bindings/numpy_api.hpp"
#include "bindings/solution_dict.hpp"
#include "lmm/evaluate.hpp"
#include "lmm/hessian.hpp"
#include "lmm/moment_start.hpp"
#include "lmm/newton_fit.hpp"
#include "lmm/replicates.hpp"
#include "lmm/theta_layout.hpp"
#include "optim/minimize_bounded.hpp"
#include "optim/trust_region.hpp"

namespace corvane::bindings {
namespace {

const lmm::LmmData& data_of(PyObject* self) { return core_data(self); }

// starts: non-empty, every entry finite (the first offender reported), and a
// multiple of the theta length; in that order.
bool check_starts(const std::vector<double>& starts, std::uint64_t q) {
    static const char* kLengthMessage = "starts must be a non-empty multiple of the theta length";
    if (starts.empty()) {
        PyErr_SetString(PyExc_ValueError, kLengthMessage);
        return false;
    }
    for (std::size_t i = 0; i < starts.size(); ++i) {
        if (!(std::fabs(starts[i]) <= std::numeric_limits<double>::max())) {
            PyErr_Format(PyExc_ValueError, "starts[%zu] is not finite", i);
            return false;
        }
    }
    if (starts.size() % lmm::n_theta(q) != 0) {
        PyErr_SetString(PyExc_ValueError, kLengthMessage);
        return false;
    }
    return true;
}

// fit's arguments, converted in signature order; starts validated.
struct FitArgs {
    std::vector<double> starts;
    bool reml = true;
    std::uint64_t max_iter = 300;
    double gtol = 1e-8;
    double ftol = 1e-12;
};

bool fit_args(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
              FitArgs& out) {
    static const char* const kNames[] = {"starts", "reml", "max_iter", "gtol", "ftol"};
    PyObject* bound[5];
    if (!bind_arguments({"fit", kNames, 5, 1}, args, nargs, kwnames, bound)) return false;
    if (!to_doubles(bound[0], "starts", out.starts)) return false;
    if (bound[1] && !to_bool(bound[1], "reml", out.reml)) return false;
    if (bound[2] && !to_uint64(bound[2], "max_iter", out.max_iter)) return false;
    if (bound[3] && !to_double(bound[3], "gtol", out.gtol)) return false;
    if (bound[4] && !to_double(bound[4], "ftol", out.ftol)) return false;

    return check_starts(out.starts, data_of(self).design->q);
}

}  // namespace

PyObject* fit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        FitArgs a;
        if (!fit_args(self, args, nargs, kwnames, a)) return nullptr;
        const lmm::LmmData& d = data_of(self);
        const std::size_t n_theta = lmm::n_theta(d.design->q);
        const std::vector<double> lower = lmm::lower_bounds(d.design->q);
        // Every evaluation of the fit reuses the kernel's workspaces.
        const lmm::ScratchPool::Hold hold(d.design->scratch);
        const optim::OptimResult best = without_gil([&] {
            const optim::Objective objective = [&](std::span<const double> theta, double& f,
                                                   std::vector<double>& g) {
                std::optional<lmm::EvalResult> r =
                    lmm::evaluate(d, theta, a.reml, lmm::EvalMode::WithGradient);
                if (!r) return false;
                f = r->deviance;
                g = std::move(r->grad);
                return true;
            };
            // One run per start, in order; a later start wins only with a
            // strictly smaller criterion, so ties keep the earliest.
            std::optional<optim::OptimResult> winner;
            for (std::size_t k = 0; k * n_theta < a.starts.size(); ++k) {
                const std::span<const double> start(a.starts.data() + k * n_theta, n_theta);
                optim::OptimResult run =
                    optim::minimize_bounded(objective, start, lower, a.max_iter, a.gtol, a.ftol);
                if (!winner || run.fun < winner->fun) winner = std::move(run);
            }
            return std::move(*winner);
        });
        return solution_dict(d, best.x, a.reml, &best);
    });
}



namespace {

// fit_newton's arguments, converted in signature order; starts validated.
struct NewtonArgs {
    std::vector<double> starts;  // empty: the moment start and the identity
    bool reml = true;
    std::uint64_t max_iter = 200;
    double gtol = 1e-10;
    std::vector<std::size_t> free;  // empty: every theta entry
};

bool newton_args(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, NewtonArgs& out) {
    static const char* const kNames[] = {"starts", "reml", "max_iter", "gtol", "free"};
    PyObject* bound[5];
    if (!bind_arguments({"fit_newton", kNames, 5, 0}, args, nargs, kwnames, bound)) return false;
    if (bound[0] && bound[0] != Py_None) {
        if (!to_doubles(bound[0], "starts", out.starts) || !check_starts(out.starts, data_of(self).design->q))
            return false;
    }
    if (bound[1] && !to_bool(bound[1], "reml", out.reml)) return false;
    if (bound[2] && !to_uint64(bound[2], "max_iter", out.max_iter)) return false;
    if (bound[3] && !to_double(bound[3], "gtol", out.gtol)) return false;
    if (!(out.gtol > 0.0) || !std::isfinite(out.gtol)) {
        PyErr_SetString(PyExc_ValueError, "gtol must be positive and finite");
        return false;
    }
    return to_free_entries(bound[4], data_of(self).design->q, out.free);
}

const char* status_name(optim::TrustStatus status) {
    switch (status) {
        case optim::TrustStatus::Interior: return "interior";
        case optim::TrustStatus::Boundary: return "boundary";
        case optim::TrustStatus::InitialInfeasible: return "initial point infeasible";
        default: return "not converged";
    }
}

bool put(PyObject* dict, const char* key, PyObject* value) {
    PyRef owned = PyRef::steal(value);
    return owned && PyDict_SetItemString(dict, key, owned.get()) == 0;
}

}  // namespace

const char kFitNewtonDoc[] =
    "fit_newton($self, starts=None, reml=True, max_iter=200, gtol=1e-10, free=None)\n--\n\n"
    "Fit by a bound-constrained trust-region Newton method on the exact Hessian.\n\n"
    "`starts` is a flat concatenation of starting vectors, by default the\n"
    "moment start (`moment_theta()`) and the identity; the lowest criterion\n"
    "wins. Returns the solution dictionary with the certificate of the winning\n"
    "run: \"converged\", \"status\" (\"interior\", \"boundary\", \"not converged\"\n"
    "or \"initial point infeasible\"), \"boundary\" (the theta indices held at\n"
    "their bound), \"grad_inf_norm\" (largest free gradient entry; converged\n"
    "means at most gtol * max(1, |criterion|)), \"min_free_eigenvalue\" (of the\n"
    "Hessian on the free entries; converged means positive), \"hessian\",\n"
    "\"iterations\", \"fev\" (evaluations over all starts) and \"message\".\n\n"
    "`free` (ascending theta indices, every diagonal entry among them) fits\n"
    "only those entries, the others held at 0 (uncorrelated blocks of random\n"
    "effects); \"hessian\" is then the free entries'.";

const char kMomentThetaDoc[] =
    "moment_theta($self)\n--\n\n"
    "A starting theta by moments: per-group least-squares estimates of the\n"
    "random effects give their covariance; the identity when too few groups\n"
    "carry information. Every diagonal entry is positive.";

PyObject* moment_theta(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        const std::vector<double> theta = without_gil([&] { return lmm::moment_theta(data_of(self)); });
        return float_list(theta);
    });
}

PyObject* fit_newton(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        NewtonArgs a;
        if (!newton_args(self, args, nargs, kwnames, a)) return nullptr;
        const lmm::LmmData& d = data_of(self);
        const std::size_t n_theta = a.free.empty() ? lmm::n_theta(d.design->q) : a.free.size();
        const lmm::NewtonFit fitted =
            without_gil([&] { return lmm::fit_newton(d, std::move(a.starts), a.reml, a.max_iter, a.gtol, {}, a.free); });
        const optim::TrustRegionResult& best = fitted.best;
        const std::uint64_t total_fev = fitted.evaluations;
        PyRef dict = PyRef::steal(solution_dict(d, best.x, a.reml, nullptr));
        if (!dict) return nullptr;
        PyRef boundary = PyRef::steal(PyList_New(0));
        if (!boundary) return nullptr;
        for (std::size_t i : best.at_bound) {
            PyRef item = PyRef::steal(PyLong_FromSize_t(i));
            if (!item || PyList_Append(boundary.get(), item.get()) < 0) return nullptr;
        }
        const npy_intp k = static_cast<npy_intp>(n_theta);
        PyObject* o = dict.get();
        const bool ok =
            put(o, "converged", PyBool_FromLong(best.converged())) &&
            put(o, "iterations", PyLong_FromUnsignedLongLong(best.iterations)) &&
            put(o, "fev", PyLong_FromUnsignedLongLong(total_fev)) &&
            put(o, "grad_inf_norm", PyFloat_FromDouble(best.grad_inf_norm)) &&
            put(o, "message", PyUnicode_FromString(best.message.c_str())) &&
            put(o, "status", PyUnicode_FromString(status_name(best.status))) &&
            put(o, "boundary", boundary.release()) &&
            put(o, "min_free_eigenvalue", PyFloat_FromDouble(best.min_free_eigenvalue)) &&
            put(o, "hessian", best.at.h.size() == n_theta * n_theta ? new_float_array({k, k}, best.at.h.data())
                                                                   : new_float_array({0, 0}, nullptr));
        if (!ok) return nullptr;
        return dict.release();
    });
}

const char kFitResponsesDoc[] =
    "fit_responses($self, y, x, z, codes, reml=True, starts=None, max_iter=200, gtol=1e-10, free=None,\n"
    "              derivatives=False)\n--\n\n"
    "Fit many responses on this design: y holds one response per row (float64,\n"
    "C-contiguous, shape (count, n)); x, z and codes are the arrays this core was\n"
    "built from (as for with_response). Each response is fitted by fit_newton\n"
    "from `starts` (default: the moment start and the identity), and from those\n"
    "defaults too when its run from `starts` does not converge. Replicates run\n"
    "in parallel without the interpreter lock; the results do not depend on the\n"
    "number of threads. Returns a dict of arrays: \"theta\" (count, n_theta),\n"
    "\"beta\" (count, p), \"sigma\", \"deviance\", \"converged\" (bool) and \"fev\"\n"
    "(count,), and \"boundary\" (count, n_theta; bool: the entries held on\n"
    "their bounds); NaN where a response could not be fitted. `free` as for\n"
    "fit_newton. derivatives=True adds variance_derivatives' \"hessian\",\n"
    "\"pwrss\", \"nmp\", \"pwrss_grad\", \"xvx\" and \"xvx_grad\" at each fit,\n"
    "with a leading axis of length count.";

PyObject* fit_responses(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const kNames[] = {"y",        "x",    "z",    "codes", "reml",
                                             "starts",   "max_iter", "gtol", "free", "derivatives"};
        PyObject* bound[10];
        if (!bind_arguments({"fit_responses", kNames, 10, 4}, args, nargs, kwnames, bound)) return nullptr;
        RowArrays arrays;
        if (!to_array(bound[0], "y", 2, NPY_FLOAT64, arrays.y) || !to_array(bound[1], "x", 2, NPY_FLOAT64, arrays.x) ||
            !to_array(bound[2], "z", 2, NPY_FLOAT64, arrays.z) ||
            !to_array(bound[3], "codes", 1, NPY_INT64, arrays.codes))
            return nullptr;
        lmm::RowsView view;
        if (!rows(arrays, view)) return nullptr;
        const lmm::LmmData& d = data_of(self);
        bool reml = true;
        std::vector<double> starts;
        std::uint64_t max_iter = 200;
        double gtol = 1e-10;
        if (bound[4] && !to_bool(bound[4], "reml", reml)) return nullptr;
        if (bound[5] && bound[5] != Py_None &&
            (!to_doubles(bound[5], "starts", starts) || !check_starts(starts, d.design->q)))
            return nullptr;
        if (bound[6] && !to_uint64(bound[6], "max_iter", max_iter)) return nullptr;
        if (bound[7] && !to_double(bound[7], "gtol", gtol)) return nullptr;
        if (!(gtol > 0.0) || !std::isfinite(gtol)) {
            PyErr_SetString(PyExc_ValueError, "gtol must be positive and finite");
            return nullptr;
        }
        std::vector<std::size_t> free;
        if (!to_free_entries(bound[8], d.design->q, free)) return nullptr;
        bool derivatives = false;
        if (bound[9] && !to_bool(bound[9], "derivatives", derivatives)) return nullptr;
        const std::uint64_t count = static_cast<std::uint64_t>(PyArray_DIM(arrays.y, 0));
        const double* responses = view.y;
        const lmm::ReplicateFits fits = without_gil(
            [&] { return lmm::fit_replicates(d, view, responses, count, starts, reml, max_iter, gtol, free, derivatives); });
        const npy_intp c = static_cast<npy_intp>(count), k = static_cast<npy_intp>(lmm::n_theta(d.design->q)),
                       p = static_cast<npy_intp>(d.design->p);
        PyRef converged = PyRef::steal(PyArray_SimpleNew(1, &c, NPY_BOOL));
        PyRef fev = PyRef::steal(PyArray_SimpleNew(1, &c, NPY_UINT64));
        const npy_intp bound_dims[2] = {c, k};
        PyRef at_bound = PyRef::steal(PyArray_SimpleNew(2, bound_dims, NPY_BOOL));
        if (!converged || !fev || !at_bound) return nullptr;
        npy_bool* held = static_cast<npy_bool*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(at_bound.get())));
        for (std::size_t i = 0; i < fits.at_bound.size(); ++i) held[i] = fits.at_bound[i] ? NPY_TRUE : NPY_FALSE;
        for (npy_intp r = 0; r < c; ++r) {
            static_cast<npy_bool*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(converged.get())))[r] =
                fits.converged[r] ? NPY_TRUE : NPY_FALSE;
            static_cast<npy_uint64*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(fev.get())))[r] =
                fits.evaluations[r];
        }
        PyRef dict = PyRef::steal(PyDict_New());
        if (!dict) return nullptr;
        PyObject* o = dict.get();
        const bool ok = put(o, "theta", new_float_array({c, k}, fits.theta.data())) &&
                        put(o, "beta", new_float_array({c, p}, fits.beta.data())) &&
                        put(o, "sigma", new_float_array({c}, fits.sigma.data())) &&
                        put(o, "deviance", new_float_array({c}, fits.deviance.data())) &&
                        put(o, "converged", converged.release()) && put(o, "fev", fev.release()) &&
                        put(o, "boundary", at_bound.release());
        if (!ok) return nullptr;
        if (derivatives) {
            const bool more = put(o, "hessian", new_float_array({c, k, k}, fits.hess.data())) &&
                              put(o, "pwrss", new_float_array({c}, fits.pwrss.data())) &&
                              put(o, "nmp", new_float_array({c}, fits.nmp.data())) &&
                              put(o, "pwrss_grad", new_float_array({c, k}, fits.pwrss_grad.data())) &&
                              put(o, "xvx", new_float_array({c, p, p}, fits.xvx.data())) &&
                              put(o, "xvx_grad", new_float_array({c, k, p, p}, fits.xvx_grad.data()));
            if (!more) return nullptr;
        }
        return dict.release();
    });
}

}  // namespace corvane::bindings

// The class LmmCore: construction, getters and the method table.
//
// An instance owns one prepared design and nothing else; it holds no Python
// references and never changes after construction, so methods only read it
// and any number of threads may call them at once. Every method converts its
// arguments to owned C++ values with the interpreter lock held, releases the
// lock for the numerical work, and retakes it to build the result.
#include "bindings/lmm_core.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "bindings/accumulator.hpp"
#include "bindings/args.hpp"
#include "bindings/numpy_api.hpp"
#include "bindings/errors.hpp"
#include "bindings/fit.hpp"
#include "bindings/gil.hpp"
#include "bindings/solution_dict.hpp"
#include "lmm/derived.hpp"
#include "lmm/evaluate.hpp"
#include "lmm/hessian.hpp"
#include "lmm/lmm_data.hpp"
#include "lmm/theta_layout.hpp"
#include "lmm/within_groups.hpp"

namespace corvane::bindings {
namespace {

struct CoreObject {
    PyObject_HEAD
    lmm::LmmData* data;  // owned; set by the constructor, freed by dealloc
};

}  // namespace

const lmm::LmmData& core_data(PyObject* self) { return *reinterpret_cast<CoreObject*>(self)->data; }

namespace {

const lmm::LmmData& data_of(PyObject* self) { return core_data(self); }

}  // namespace

// Wraps a finished design in a new instance of `type`.
PyObject* new_core(PyTypeObject* type, std::unique_ptr<lmm::LmmData> data) {
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    reinterpret_cast<CoreObject*>(self)->data = data.release();
    return self;
}

namespace {

PyObject* wrap(PyTypeObject* type, std::unique_ptr<lmm::LmmData> data) { return new_core(type, std::move(data)); }

// ---- life cycle ----------------------------------------------------------

PyObject* core_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* kKeywords[] = {"y", "x", "z", "codes", "n_groups", "evaluator", nullptr};
        PyObject *y, *x, *z, *codes, *n_groups, *evaluator = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOO|O:LmmCore",
                                         const_cast<char**>(kKeywords), &y, &x, &z, &codes,
                                         &n_groups, &evaluator))
            return nullptr;
        RowArrays arrays;
        std::uint64_t m = 0;
        lmm::EvaluatorKind requested = lmm::EvaluatorKind::Auto;
        if (!to_row_arrays(y, x, z, codes, arrays) || !to_uint64(n_groups, "n_groups", m)) return nullptr;
        if (evaluator && !to_evaluator(evaluator, requested)) return nullptr;

        lmm::RowsView rows_view;
        if (!rows(arrays, rows_view)) return nullptr;
        if (!check_dimensions(rows_view, m)) return nullptr;

        std::unique_ptr<lmm::LmmData> data =
            without_gil([&] { return lmm::prepare(rows_view, m, requested); });
        return wrap(type, std::move(data));
    });
}

void core_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    CoreObject* core = reinterpret_cast<CoreObject*>(self);
    delete core->data;
    core->data = nullptr;
    type->tp_free(self);
    Py_DECREF(type);
}

// Instances hold no Python references: only the (heap) type is visited.
int core_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    return 0;
}

int core_clear(PyObject*) { return 0; }

// ---- getters -------------------------------------------------------------

PyObject* get_n(PyObject* self, void*) { return PyLong_FromUnsignedLongLong(data_of(self).design->n); }
PyObject* get_p(PyObject* self, void*) { return PyLong_FromUnsignedLongLong(data_of(self).design->p); }
PyObject* get_q(PyObject* self, void*) { return PyLong_FromUnsignedLongLong(data_of(self).design->q); }
PyObject* get_m(PyObject* self, void*) { return PyLong_FromUnsignedLongLong(data_of(self).design->m); }
PyObject* get_n_theta(PyObject* self, void*) {
    return PyLong_FromUnsignedLongLong(lmm::n_theta(data_of(self).design->q));
}

PyObject* get_evaluator(PyObject* self, void*) {
    const lmm::LmmData& d = data_of(self);
    switch (d.design->evaluator) {
        case lmm::EvaluatorKind::Streaming: return PyUnicode_FromString("streaming");
        case lmm::EvaluatorKind::Aggregated:
            return PyUnicode_FromString(d.design->classes ? "aggregated" : "blocks");
        default: return PyUnicode_FromString("blocks");
    }
}

PyObject* get_n_classes(PyObject* self, void*) {
    const lmm::LmmData& d = data_of(self);
    if (!d.design->classes) Py_RETURN_NONE;
    return PyLong_FromUnsignedLongLong(d.design->classes->n_classes);
}

PyGetSetDef kGetters[] = {
    {"n", get_n, nullptr, nullptr, nullptr},
    {"p", get_p, nullptr, nullptr, nullptr},
    {"q", get_q, nullptr, nullptr, nullptr},
    {"m", get_m, nullptr, nullptr, nullptr},
    {"n_theta", get_n_theta, nullptr, nullptr, nullptr},
    {"evaluator", get_evaluator, nullptr,
     "The kernel in use: `\"blocks\"`, `\"aggregated\"` or `\"streaming\"`.", nullptr},
    {"n_classes", get_n_classes, nullptr,
     "Number of distinct `Z_i'Z_i` classes, when the aggregated kernel is used.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---- shared argument handling -------------------------------------------


// theta and reml of a (theta, reml=True) method, converted in that order and
// theta checked for length and finiteness.
struct ThetaArgs {
    std::vector<double> theta;
    bool reml = true;
};

const char* const kThetaNames[] = {"theta", "reml"};

bool theta_args(PyObject* self, const char* function, PyObject* const* args, Py_ssize_t nargs,
                PyObject* kwnames, ThetaArgs& out) {
    PyObject* bound[2];
    const Signature signature{function, kThetaNames, 2, 1};
    if (!bind_arguments(signature, args, nargs, kwnames, bound)) return false;
    if (!to_doubles(bound[0], "theta", out.theta)) return false;
    if (bound[1] && !to_bool(bound[1], "reml", out.reml)) return false;
    lmm::check_theta(out.theta, data_of(self).design->q);  // throws InvalidInput -> ValueError
    return true;
}

// ---- methods -------------------------------------------------------------

PyObject* with_response(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const kNames[] = {"y", "x", "z", "codes"};
        PyObject* bound[4];
        if (!bind_arguments({"with_response", kNames, 4, 4}, args, nargs, kwnames, bound))
            return nullptr;
        RowArrays arrays;
        lmm::RowsView rows_view;
        if (!to_row_arrays(bound[0], bound[1], bound[2], bound[3], arrays)) return nullptr;
        if (!rows(arrays, rows_view)) return nullptr;
        std::unique_ptr<lmm::LmmData> data =
            without_gil([&] { return data_of(self).with_response(rows_view); });
        return wrap(Py_TYPE(self), std::move(data));
    });
}

PyObject* deviance_hessian(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        ThetaArgs a;
        if (!theta_args(self, "deviance_hessian", args, nargs, kwnames, a)) return nullptr;
        const lmm::LmmData& d = data_of(self);
        if (d.design->q != 1) Py_RETURN_NONE;
        const std::optional<lmm::ScalarHessian> h = without_gil([&]() -> std::optional<lmm::ScalarHessian> {
            // The Hessian's own profile can round a borderline pwrss to just
            // above zero; an infeasible criterion must still give NaN.
            if (!lmm::evaluate(d, a.theta, a.reml, lmm::EvalMode::ValueOnly)) return std::nullopt;
            return lmm::scalar_hessian(d, a.reml, a.theta[0]);
        });
        return PyFloat_FromDouble(h ? h->second : std::numeric_limits<double>::quiet_NaN());
    });
}

PyObject* hessian(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        ThetaArgs a;
        if (!theta_args(self, "hessian", args, nargs, kwnames, a)) return nullptr;
        const std::optional<lmm::HessianResult> h =
            without_gil([&] { return lmm::evaluate_hessian(data_of(self), a.theta, a.reml); });
        const npy_intp k = static_cast<npy_intp>(a.theta.size());
        if (!h) {
            const std::vector<double> nans(a.theta.size() * a.theta.size(),
                                           std::numeric_limits<double>::quiet_NaN());
            return new_float_array({k, k}, nans.data());
        }
        return new_float_array({k, k}, h->hess.data());
    });
}

PyObject* conditional_covariances(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        ThetaArgs a;
        if (!theta_args(self, "conditional_covariances", args, nargs, kwnames, a)) return nullptr;
        const lmm::LmmData& d = data_of(self);
        const std::optional<std::vector<double>> cov =
            without_gil([&]() -> std::optional<std::vector<double>> {
                const std::optional<lmm::EvalResult> r =
                    lmm::evaluate(d, a.theta, a.reml, lmm::EvalMode::ValueOnly);
                if (!r) return std::nullopt;
                return lmm::conditional_covariances(d, a.theta, r->sigma2);
            });
        if (!cov) {
            PyErr_SetString(PyExc_RuntimeError, "theta is infeasible");
            return nullptr;
        }
        const npy_intp m = static_cast<npy_intp>(d.design->m), q = static_cast<npy_intp>(d.design->q);
        return new_float_array({m, q, q}, cov->data());
    });
}

PyObject* deviance(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        ThetaArgs a;
        if (!theta_args(self, "deviance", args, nargs, kwnames, a)) return nullptr;
        const std::optional<lmm::EvalResult> result = without_gil(
            [&] { return lmm::evaluate(data_of(self), a.theta, a.reml, lmm::EvalMode::ValueOnly); });
        return PyFloat_FromDouble(result ? result->deviance : std::numeric_limits<double>::infinity());
    });
}

PyObject* deviance_grad(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        ThetaArgs a;
        if (!theta_args(self, "deviance_grad", args, nargs, kwnames, a)) return nullptr;
        const std::optional<lmm::EvalResult> result = without_gil(
            [&] { return lmm::evaluate(data_of(self), a.theta, a.reml, lmm::EvalMode::WithGradient); });
        if (!result) {
            const std::vector<double> nans(a.theta.size(), std::numeric_limits<double>::quiet_NaN());
            return Py_BuildValue("(dN)", std::numeric_limits<double>::infinity(), float_list(nans));
        }
        return Py_BuildValue("(dN)", result->deviance, float_list(result->grad));
    });
}

PyObject* solution(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        ThetaArgs a;
        if (!theta_args(self, "solution", args, nargs, kwnames, a)) return nullptr;
        return solution_dict(data_of(self), a.theta, a.reml, nullptr);
    });
}

// The products summed over the groups (and the fixed ones), for callers that
// check or describe the design: X'X, X'y, y'y, Z'Z, Z'X, Z'y, n, m.
PyObject* totals(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        const lmm::LmmData& d = data_of(self);
        const lmm::Design& g = *d.design;
        const std::uint64_t p = g.p, q = g.q, m = g.m;
        std::vector<double> ztz(q * q, 0.0), ztx(q * p, 0.0), zty(q, 0.0);
        without_gil([&] {
            for (std::uint64_t i = 0; i < m; ++i) {
                for (std::uint64_t e = 0; e < q * q; ++e) ztz[e] += g.ztz[i * q * q + e];
                for (std::uint64_t e = 0; e < q * p; ++e) ztx[e] += g.ztx[i * q * p + e];
                for (std::uint64_t e = 0; e < q; ++e) zty[e] += d.response.zty[i * q + e];
            }
        });
        const npy_intp pp = static_cast<npy_intp>(p), qq = static_cast<npy_intp>(q);
        PyRef xtx = PyRef::steal(new_float_array({pp, pp}, g.xtx.data()));
        PyRef xty = PyRef::steal(new_float_array({pp}, d.response.xty.data()));
        PyRef a = PyRef::steal(new_float_array({qq, qq}, ztz.data()));
        PyRef b = PyRef::steal(new_float_array({qq, pp}, ztx.data()));
        PyRef c = PyRef::steal(new_float_array({qq}, zty.data()));
        if (!xtx || !xty || !a || !b || !c) return nullptr;
        return Py_BuildValue("{sOsOsdsOsOsOsKsK}", "xtx", xtx.get(), "xty", xty.get(), "yty", d.response.yty,
                             "ztz", a.get(), "ztx", b.get(), "zty", c.get(), "n",
                             static_cast<unsigned long long>(g.n), "m", static_cast<unsigned long long>(m));
    });
}

// The per-group products as Accumulator.to_arrays() gives them, from which
// Accumulator.from_arrays(...).finish() makes a core with the same bits. The
// core keeps the plain per-group blocks whatever its kernel (classes are
// built from them again), the transform of X and Z (y's part is the
// identity: the response's products are already on y's transformed scale)
// and no count of batches (1). The codes' fingerprint travels only when its
// fold started at 0, as accumulated products' does; a core built from rows
// in one piece folds from n, which the products cannot say.
PyObject* products(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        const lmm::LmmData& d = data_of(self);
        const lmm::Design& g = *d.design;
        return products_dict(g, d.response, 1, g.transform ? &*g.transform : nullptr,
                             g.fingerprint_known && g.fingerprint_from_zero);
    });
}

// within_groups(pivot): see lmm/within_groups.hpp.
PyObject* within_groups(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const kNames[] = {"pivot"};
        PyObject* bound[1];
        if (!bind_arguments({"within_groups", kNames, 1, 1}, args, nargs, kwnames, bound)) return nullptr;
        const double pivot = PyFloat_AsDouble(bound[0]);
        if (pivot == -1.0 && PyErr_Occurred()) return nullptr;
        if (!(pivot >= 0.0 && pivot < 1.0)) {
            PyErr_SetString(PyExc_ValueError, "pivot must be in [0, 1)");
            return nullptr;
        }
        const lmm::LmmData& d = data_of(self);
        const std::optional<std::vector<double>> g = without_gil([&] { return lmm::within_groups(d, pivot); });
        if (!g) Py_RETURN_NONE;
        const npy_intp w = static_cast<npy_intp>(d.design->p + 1);
        return new_float_array({w, w}, g->data());
    });
}

// within_fraction(pivot, gap_low, gap_high, cut): see lmm/within_groups.hpp.
PyObject* within_fraction(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const kNames[] = {"pivot", "gap_low", "gap_high", "cut"};
        PyObject* bound[4];
        if (!bind_arguments({"within_fraction", kNames, 4, 4}, args, nargs, kwnames, bound)) return nullptr;
        double v[4];
        for (int k = 0; k < 4; ++k) {
            v[k] = PyFloat_AsDouble(bound[k]);
            if (v[k] == -1.0 && PyErr_Occurred()) return nullptr;
        }
        if (!(v[0] >= 0.0 && v[0] < 1.0)) {
            PyErr_SetString(PyExc_ValueError, "pivot must be in [0, 1)");
            return nullptr;
        }
        if (!(std::isfinite(v[1]) && std::isfinite(v[2]) && std::isfinite(v[3]) && v[1] <= v[2])) {
            PyErr_SetString(PyExc_ValueError, "gap_low, gap_high and cut must be finite, gap_low <= gap_high");
            return nullptr;
        }
        const lmm::LmmData& d = data_of(self);
        if (!(d.response.yty > 0.0)) {
            PyErr_SetString(PyExc_ValueError, "y'y must be positive");
            return nullptr;
        }
        const std::optional<double> f =
            without_gil([&] { return lmm::within_fraction(d, v[0], v[1], v[2], v[3]); });
        if (!f) Py_RETURN_NONE;
        return PyFloat_FromDouble(*f);
    });
}

PyObject* variance_derivatives(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        ThetaArgs a;
        if (!theta_args(self, "variance_derivatives", args, nargs, kwnames, a)) return nullptr;
        const lmm::LmmData& d = data_of(self);
        const std::optional<lmm::HessianResult> h =
            without_gil([&] { return lmm::evaluate_hessian(d, a.theta, a.reml, {}, true); });
        if (!h) {
            PyErr_SetString(PyExc_RuntimeError, "theta is infeasible");
            return nullptr;
        }
        const npy_intp k = static_cast<npy_intp>(a.theta.size()), p = static_cast<npy_intp>(d.design->p);
        PyRef grad = PyRef::steal(new_float_array({k}, h->grad.data()));
        PyRef hess = PyRef::steal(new_float_array({k, k}, h->hess.data()));
        PyRef pgrad = PyRef::steal(new_float_array({k}, h->pwrss_grad.data()));
        PyRef xvx = PyRef::steal(new_float_array({p, p}, h->xvx.data()));
        PyRef xvx_grad = PyRef::steal(new_float_array({k, p, p}, h->xvx_grad.data()));
        PyRef beta = PyRef::steal(new_float_array({p}, h->beta.data()));
        PyRef beta_grad = PyRef::steal(new_float_array({k, p}, h->beta_grad.data()));
        if (!grad || !hess || !pgrad || !xvx || !xvx_grad || !beta || !beta_grad) return nullptr;
        return Py_BuildValue("{sdsOsOsdsdsOsOsOsOsO}", "deviance", h->deviance, "grad", grad.get(), "hessian",
                             hess.get(), "pwrss", h->pwrss, "nmp", h->nmp, "pwrss_grad", pgrad.get(), "beta",
                             beta.get(), "beta_grad", beta_grad.get(), "xvx", xvx.get(), "xvx_grad",
                             xvx_grad.get());
    });
}

PyObject* lower_bounds(PyObject* self, PyObject*) {
    return guarded([&] { return float_list(lmm::lower_bounds(data_of(self).design->q)); });
}

PyObject* default_theta(PyObject* self, PyObject*) {
    return guarded([&] { return float_list(lmm::default_theta(data_of(self).design->q)); });
}

constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef kMethods[] = {
    {"with_response", fastcall<with_response>(), kFast,
     "with_response($self, y, x, z, codes)\n--\n\n"
     "The same design with a new response, reusing every design-only product.\n\n"
     "`x`, `z` and `codes` must be the arrays this core was built from."},
    {"deviance", fastcall<deviance>(), kFast,
     "deviance($self, theta, reml=True)\n--\n\n"
     "Profiled deviance at `theta`. Returns `inf` for an infeasible `theta`.\n\n"
     "A `theta` of the wrong length is a caller error, not an infeasible\n"
     "point: too short used to index out of bounds and abort the process,\n"
     "too long used to silently ignore the tail."},
    {"deviance_grad", fastcall<deviance_grad>(), kFast,
     "deviance_grad($self, theta, reml=True)\n--\n\n"
     "Profiled deviance and its analytic gradient at `theta`."},
    // Kept for the documented surface (q = 1 only); `hessian` serves any q.
    {"deviance_hessian", fastcall<deviance_hessian>(), kFast,
     "deviance_hessian($self, theta, reml=True)\n--\n\n"
     "Analytic second derivative of the criterion in `theta`, for `q = 1`.\n\n"
     "Returns `None` when `q > 1` (no analytic Hessian is implemented there)\n"
     "and `nan` for an infeasible `theta`."},
    {"conditional_covariances", fastcall<conditional_covariances>(), kFast,
     "conditional_covariances($self, theta, reml=True)\n--\n\n"
     "`Var(b_i | y)` for every group at `theta`, shape `(m, q, q)`, on the\n"
     "core's own (possibly rescaled) random-effects coordinates."},
    {"lower_bounds", lower_bounds, METH_NOARGS,
     "lower_bounds($self)\n--\n\n"
     "Lower bounds on `theta`: diagonal entries >= 0, off-diagonals free."},
    {"default_theta", default_theta, METH_NOARGS,
     "default_theta($self)\n--\n\n"
     "The starting value lme4 uses: the identity relative covariance factor."},
    // Kept for the documented surface: the first-order multi-start fit.
    // The front end uses `fit_newton`, the certified second-order fit.
    {"fit", fastcall<fit>(), kFast,
     "fit($self, starts, reml=True, max_iter=300, gtol=1e-8, ftol=1e-12)\n--\n\n"
     "Fit by minimising the profiled criterion over `theta` alone.\n\n"
     "`starts` is a flat concatenation of candidate starting vectors; the best\n"
     "result wins. Multi-start costs almost nothing and removes the boundary\n"
     "cases where a single start stalls."},
    {"solution", fastcall<solution>(), kFast,
     "solution($self, theta, reml=True)\n--\n\n"
     "Every derived quantity at a given `theta`, without re-optimising."},
    // Beyond the nine above: the exact Hessian and the certified fit.
    {"hessian", fastcall<hessian>(), kFast,
     "hessian($self, theta, reml=True)\n--\n\n"
     "Exact matrix of second derivatives of the criterion in `theta`, for any\n"
     "`q`: a symmetric `(n_theta, n_theta)` array, filled with NaN for an\n"
     "infeasible `theta`. Its cost is proportional to the number of groups (or\n"
     "of classes for the aggregated kernel), like an evaluation's."},
    {"fit_newton", fastcall<fit_newton>(), kFast, kFitNewtonDoc},
    {"moment_theta", moment_theta, METH_NOARGS, kMomentThetaDoc},
    {"totals", totals, METH_NOARGS,
     "totals($self)\n--\n\n"
     "The products summed over the groups: a dict of X'X, X'y, y'y, Z'Z, Z'X,\n"
     "Z'y (as the core holds them, after any transform of the rows), n and m."},
    {"variance_derivatives", fastcall<variance_derivatives>(), kFast,
     "variance_derivatives($self, theta, reml=True)\n--\n\n"
     "What inference on the fixed effects needs at theta, in one pass over the\n"
     "groups: a dict of \"deviance\", \"grad\" and \"hessian\" (as hessian()),\n"
     "\"pwrss\" and its gradient \"pwrss_grad\", \"nmp\" (n - p under REML, else n),\n"
     "\"beta\" and its derivatives \"beta_grad\" (n_theta, p),\n"
     "\"xvx\" = X'V^-1 X with V = I + Z Lambda Lambda' Z' (so cov(beta) =\n"
     "sigma^2 xvx^-1) and its derivatives \"xvx_grad\" (n_theta, p, p).\n"
     "RuntimeError(\"theta is infeasible\") where the criterion is infinite."},
    {"fit_responses", fastcall<fit_responses>(), kFast, kFitResponsesDoc},
    {"products", products, METH_NOARGS,
     "products($self)\n--\n\n"
     "The core's products per group as the dict Accumulator.to_arrays() gives\n"
     "(the plain per-group blocks whatever the kernel, batches = 1), from which\n"
     "Accumulator.from_arrays(...).finish() makes a core with the same fits bit\n"
     "for bit."},
    {"within_groups", fastcall<within_groups>(), kFast,
     "within_groups($self, pivot)\n--\n\n"
     "[X y]'[X y] less every group's projection on its own Z_i columns (their\n"
     "coefficients free): a (p + 1, p + 1) array, X'X's block first and y'y\n"
     "last, on the core's scale of the rows; None when some Z_i'Z_i is not\n"
     "clearly positive definite (a first Cholesky pivot not above zero, or a\n"
     "later one at most `pivot` of its diagonal entry)."},
    {"within_fraction", fastcall<within_fraction>(), kFast,
     "within_fraction($self, pivot, gap_low, gap_high, cut)\n--\n\n"
     "The residual sum of squares of y on X and each group's own Z_i columns as\n"
     "a fraction of y'y: within_groups(pivot)'s y'y less its X'y through the\n"
     "pseudo-inverse of its X'X block on the unit-diagonal scale of X'X\n"
     "(eigenvalues above `cut`). None when within_groups gives None, when its\n"
     "values are not finite, or when an eigenvalue lies strictly between gap_low\n"
     "and gap_high; ValueError unless y'y > 0."},
    {nullptr, nullptr, 0, nullptr},
};

const char kClassDoc[] =
    "LmmCore(y, x, z, codes, n_groups, evaluator=\"auto\")\n--\n\n"
    "Pre-computed cross-products for one grouping factor.";

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>(kClassDoc)},
    {Py_tp_new, reinterpret_cast<void*>(core_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(core_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(core_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(core_clear)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetters},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "corvane._corvane.LmmCore",
    sizeof(CoreObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
    kSlots,
};

}  // namespace

PyObject* create_core_type(PyObject* module) {
    PyRef type = PyRef::steal(PyType_FromModuleAndSpec(module, &kSpec, nullptr));
    if (!type) return nullptr;
    // The host strips the signature header from a heap type's __doc__; keep
    // the docstring whole, header first, as written above (the text signature
    // itself is still read from the header).
    PyTypeObject* tp = reinterpret_cast<PyTypeObject*>(type.get());
    PyRef doc = PyRef::steal(PyUnicode_FromString(kClassDoc));
    if (!doc || PyDict_SetItemString(tp->tp_dict, "__doc__", doc.get()) < 0) return nullptr;
    PyType_Modified(tp);
    return type.release();
}

}  // namespace corvane::bindings

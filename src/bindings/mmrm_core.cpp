// The class MmrmCore: a repeated-measures model's rows reduced to their visit
// patterns' cross-products, its criterion with exact derivatives, and fits.
//
// Like LmmCore, an instance never changes after construction and holds no
// Python references; every method converts its arguments with the
// interpreter lock held, releases it for the numerical work, and retakes it
// to build the result.
#include "bindings/mmrm_core.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "bindings/args.hpp"
#include "bindings/errors.hpp"
#include "bindings/gil.hpp"
#include "bindings/numpy_api.hpp"
#include "mmrm/data.hpp"
#include "mmrm/eval.hpp"
#include "mmrm/fit.hpp"
#include "lmm/errors.hpp"

namespace corvane::bindings {
namespace {

struct MmrmObject {
    PyObject_HEAD
    mmrm::MmrmData* data;  // owned
};

const mmrm::MmrmData& data_of(PyObject* self) { return *reinterpret_cast<MmrmObject*>(self)->data; }

bool set_item(PyObject* dict, const char* key, PyObject* value) {
    PyRef owned = PyRef::steal(value);
    return owned && PyDict_SetItemString(dict, key, owned.get()) == 0;
}

// A C-contiguous, aligned array of `ndim` dimensions and the given type.
bool contiguous_array(PyObject* object, const char* name, int ndim, int typenum, PyArrayObject*& out) {
    if (!to_array(object, name, ndim, typenum, out)) return false;
    if (!aligned_and_contiguous(out)) return set_layout_type_error();
    return true;
}

template <class T>
std::span<const T> span_of(PyArrayObject* a) {
    return std::span<const T>(static_cast<const T*>(PyArray_DATA(a)), static_cast<std::size_t>(PyArray_SIZE(a)));
}

bool to_structure(PyObject* object, mmrm::Structure& out) {
    const char* s = PyUnicode_Check(object) ? PyUnicode_AsUTF8(object) : nullptr;
    if (!s) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "structure must be a str");
        return false;
    }
    const std::optional<mmrm::Structure> got = mmrm::structure_from_name(s);
    if (!got) {
        PyErr_Format(PyExc_ValueError,
                     "structure must be one of \"us\", \"toep\", \"toeph\", \"ar1\", \"ar1h\", \"cs\", \"csh\", "
                     "\"ad\", \"adh\", \"sp_exp\", got %R",
                     object);
        return false;
    }
    out = *got;
    return true;
}

bool to_route(PyObject* object, mmrm::Route& out) {
    const char* s = PyUnicode_Check(object) ? PyUnicode_AsUTF8(object) : nullptr;
    if (s && std::strcmp(s, "auto") == 0) out = mmrm::Route::Auto;
    else if (s && std::strcmp(s, "patterns") == 0) out = mmrm::Route::Patterns;
    else if (s && std::strcmp(s, "subjects") == 0) out = mmrm::Route::Subjects;
    else {
        if (!PyErr_Occurred())
            PyErr_Format(PyExc_ValueError, "route must be \"auto\", \"patterns\" or \"subjects\", got %R", object);
        return false;
    }
    return true;
}

// The row arrays of a call, converted and viewed as MmrmRows (n, p and the
// spans; the caller sets the counts).
struct RowRefs {
    PyArrayObject *y = nullptr, *x = nullptr, *subjects = nullptr, *positions = nullptr, *groups = nullptr,
                  *weights = nullptr;
};

bool row_arrays(PyObject* y, PyObject* x, PyObject* subjects, PyObject* positions, PyObject* groups,
                PyObject* weights, bool spatial, RowRefs& a, mmrm::MmrmRows& r) {
    if (!contiguous_array(y, "y", 1, NPY_FLOAT64, a.y) || !contiguous_array(x, "x", 2, NPY_FLOAT64, a.x) ||
        !contiguous_array(subjects, "subjects", 1, NPY_INT64, a.subjects) ||
        !contiguous_array(positions, "positions", 1, spatial ? NPY_FLOAT64 : NPY_INT64, a.positions) ||
        !contiguous_array(groups, "groups", 1, NPY_INT64, a.groups))
        return false;
    if (weights && weights != Py_None && !contiguous_array(weights, "weights", 1, NPY_FLOAT64, a.weights))
        return false;
    r.n = static_cast<std::uint64_t>(PyArray_DIM(a.y, 0));
    r.p = static_cast<std::uint64_t>(PyArray_DIM(a.x, 1));
    if (static_cast<std::uint64_t>(PyArray_DIM(a.x, 0)) != r.n) {
        PyErr_SetString(PyExc_ValueError, "x and y have different numbers of rows");
        return false;
    }
    r.y = span_of<double>(a.y);
    r.x = span_of<double>(a.x);
    r.subject = span_of<std::int64_t>(a.subjects);
    r.group = span_of<std::int64_t>(a.groups);
    if (spatial) r.times = span_of<double>(a.positions);
    else r.visit = span_of<std::int64_t>(a.positions);
    if (a.weights) r.weights = span_of<double>(a.weights);
    return true;
}

PyObject* wrap_core(PyTypeObject* type, std::unique_ptr<mmrm::MmrmData> data) {
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    reinterpret_cast<MmrmObject*>(self)->data = data.release();
    return self;
}

PyObject* mmrm_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* kKeywords[] = {"y", "x", "subjects", "positions", "groups", "n_subjects", "n_visits",
                                          "n_groups", "structure", "weights", "route", nullptr};
        PyObject *y, *x, *subjects, *positions, *groups, *n_subjects, *n_visits, *n_groups, *structure;
        PyObject *weights = Py_None, *route = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOOOOOO|OO:MmrmCore", const_cast<char**>(kKeywords), &y,
                                         &x, &subjects, &positions, &groups, &n_subjects, &n_visits, &n_groups,
                                         &structure, &weights, &route))
            return nullptr;
        mmrm::MmrmRows r;
        if (!to_structure(structure, r.structure)) return nullptr;
        if (route && !to_route(route, r.route)) return nullptr;
        RowRefs refs;
        if (!row_arrays(y, x, subjects, positions, groups, weights, mmrm::is_spatial(r.structure), refs, r))
            return nullptr;
        if (!to_uint64(n_subjects, "n_subjects", r.subjects) || !to_uint64(n_visits, "n_visits", r.visits) ||
            !to_uint64(n_groups, "n_groups", r.groups))
            return nullptr;
        if (r.groups == 0 || r.subjects == 0 || (!mmrm::is_spatial(r.structure) && r.visits == 0)) {
            PyErr_SetString(PyExc_ValueError, "n_subjects, n_visits and n_groups must be positive");
            return nullptr;
        }
        std::unique_ptr<mmrm::MmrmData> data = without_gil([&] { return mmrm::build_mmrm_data(r); });
        return wrap_core(type, std::move(data));
    });
}

void mmrm_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    MmrmObject* core = reinterpret_cast<MmrmObject*>(self);
    delete core->data;
    core->data = nullptr;
    type->tp_free(self);
    Py_DECREF(type);
}

int mmrm_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    return 0;
}

int mmrm_clear(PyObject*) { return 0; }

PyObject* get_n(PyObject* self, void*) { return PyLong_FromUnsignedLongLong(data_of(self).n); }
PyObject* get_p(PyObject* self, void*) { return PyLong_FromUnsignedLongLong(data_of(self).p); }
PyObject* get_n_theta(PyObject* self, void*) { return PyLong_FromUnsignedLongLong(data_of(self).n_theta()); }
PyObject* get_n_patterns(PyObject* self, void*) { return PyLong_FromSize_t(data_of(self).patterns.size()); }
PyObject* get_subject_patterns(PyObject* self, void*) {
    std::size_t n = 0;
    for (const mmrm::Pattern& pat : data_of(self).patterns) n += pat.by_subject();
    return PyLong_FromSize_t(n);
}

PyGetSetDef kGetters[] = {
    {"n", get_n, nullptr, "Rows.", nullptr},
    {"p", get_p, nullptr, "Columns of X.", nullptr},
    {"n_theta", get_n_theta, nullptr, "Variance parameters (every group's block).", nullptr},
    {"n_patterns", get_n_patterns, nullptr, "Distinct (group, visits) patterns.", nullptr},
    {"n_subject_patterns", get_subject_patterns, nullptr,
     "Patterns whose Hessian terms are formed subject by subject (few subjects for their visits).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

bool theta_argument(PyObject* self, PyObject* object, std::vector<double>& theta) {
    if (!to_doubles(object, "theta", theta)) return false;
    const std::uint64_t nt = data_of(self).n_theta();
    if (theta.size() != nt) {
        PyErr_Format(PyExc_ValueError, "theta must have %llu entries, got %zu", static_cast<unsigned long long>(nt),
                     theta.size());
        return false;
    }
    for (double v : theta)
        if (!std::isfinite(v)) {
            PyErr_SetString(PyExc_ValueError, "theta must be finite");
            return false;
        }
    return true;
}

// The evaluation's entries into `dict`.
bool put_eval(PyObject* dict, const mmrm::MmrmEval& e, std::uint64_t nt, std::uint64_t p) {
    const npy_intp n = static_cast<npy_intp>(nt), q = static_cast<npy_intp>(p);
    if (!set_item(dict, "criterion", PyFloat_FromDouble(e.criterion)) ||
        !set_item(dict, "beta", new_float_array({q}, e.beta.data())) ||
        !set_item(dict, "cov_beta", new_float_array({q, q}, e.cov_beta.data())))
        return false;
    if (!e.grad.empty() && !set_item(dict, "grad", new_float_array({n}, e.grad.data()))) return false;
    if (!e.hess.empty() && (!set_item(dict, "hessian", new_float_array({n, n}, e.hess.data())) ||
                            !set_item(dict, "cov_beta_grad", new_float_array({n, q, q}, e.cov_beta_grad.data()))))
        return false;
    if (!e.p_k.empty() && (!set_item(dict, "p_k", new_float_array({n, q, q}, e.p_k.data())) ||
                           !set_item(dict, "weighted_q", new_float_array({q, q}, e.weighted_q.data())) ||
                           !set_item(dict, "weighted_r", new_float_array({q, q}, e.weighted_r.data()))))
        return false;
    return true;
}

PyObject* evaluate(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const kNames[] = {"theta", "reml", "derivatives", "theta_weights"};
        PyObject* b[4];
        if (!bind_arguments({"evaluate", kNames, 4, 1}, args, nargs, kwnames, b)) return nullptr;
        std::vector<double> theta, weights;
        bool reml = true;
        std::uint64_t derivatives = 2;
        if (!theta_argument(self, b[0], theta) || (b[1] && !to_bool(b[1], "reml", reml)) ||
            (b[2] && !to_uint64(b[2], "derivatives", derivatives)))
            return nullptr;
        if (derivatives > 2) {
            PyErr_SetString(PyExc_ValueError, "derivatives must be 0, 1 or 2");
            return nullptr;
        }
        const mmrm::MmrmData& d = data_of(self);
        if (b[3] && b[3] != Py_None) {
            PyArrayObject* w = nullptr;
            if (!contiguous_array(b[3], "theta_weights", 2, NPY_FLOAT64, w)) return nullptr;
            const std::uint64_t nt = d.n_theta();
            if (static_cast<std::uint64_t>(PyArray_DIM(w, 0)) != nt || static_cast<std::uint64_t>(PyArray_DIM(w, 1)) != nt) {
                PyErr_Format(PyExc_ValueError, "theta_weights must be %llu x %llu", static_cast<unsigned long long>(nt),
                             static_cast<unsigned long long>(nt));
                return nullptr;
            }
            if (derivatives != 2) {
                PyErr_SetString(PyExc_ValueError, "theta_weights needs derivatives=2");
                return nullptr;
            }
            const std::span<const double> values = span_of<double>(w);
            weights.assign(values.begin(), values.end());
        }
        const mmrm::Order order = derivatives == 0   ? mmrm::Order::Value
                                  : derivatives == 1 ? mmrm::Order::Gradient
                                                     : mmrm::Order::Hessian;
        std::optional<mmrm::MmrmEval> e =
            without_gil([&] { return mmrm::evaluate_mmrm(d, theta, reml, order, weights); });
        PyRef dict = PyRef::steal(PyDict_New());
        if (!dict || !set_item(dict.get(), "feasible", PyBool_FromLong(e.has_value()))) return nullptr;
        if (!e) {
            if (!set_item(dict.get(), "criterion", PyFloat_FromDouble(std::numeric_limits<double>::infinity())))
                return nullptr;
            return dict.release();
        }
        if (!put_eval(dict.get(), *e, d.n_theta(), d.p)) return nullptr;
        return dict.release();
    });
}

const char* status_text(optim::TrustStatus s) {
    switch (s) {
        case optim::TrustStatus::Interior: return "interior";
        case optim::TrustStatus::Boundary: return "boundary";
        case optim::TrustStatus::InitialInfeasible: return "initial point infeasible";
        default: return "not converged";
    }
}

PyObject* fit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const kNames[] = {"theta", "reml", "max_iter", "gtol"};
        PyObject* b[4];
        if (!bind_arguments({"fit", kNames, 4, 1}, args, nargs, kwnames, b)) return nullptr;
        std::vector<double> theta;
        bool reml = true;
        std::uint64_t max_iter = 200;
        double gtol = 1e-10;
        if (!theta_argument(self, b[0], theta) || (b[1] && !to_bool(b[1], "reml", reml)) ||
            (b[2] && !to_uint64(b[2], "max_iter", max_iter)) || (b[3] && !to_double(b[3], "gtol", gtol)))
            return nullptr;
        const mmrm::MmrmData& d = data_of(self);
        struct Out {
            mmrm::MmrmFit fit;
            std::optional<mmrm::MmrmEval> at;
            std::vector<double> theta_cov;
        };
        Out o = without_gil([&] {
            Out r;
            r.fit = mmrm::fit_mmrm(d, theta, reml, max_iter, gtol);
            if (r.fit.at_best) r.at = std::move(r.fit.at_best);
            else if (r.fit.best.status != optim::TrustStatus::InitialInfeasible)
                r.at = mmrm::evaluate_mmrm(d, r.fit.best.x, reml, mmrm::Order::Hessian);
            if (r.at && !r.at->hess.empty()) r.theta_cov = mmrm::theta_covariance(r.at->hess, d.n_theta());
            return r;
        });
        const optim::TrustRegionResult& best = o.fit.best;
        PyRef dict = PyRef::steal(PyDict_New());
        if (!dict ||
            !set_item(dict.get(), "theta", new_float_array({static_cast<npy_intp>(best.x.size())}, best.x.data())) ||
            !set_item(dict.get(), "converged", PyBool_FromLong(best.converged())) ||
            !set_item(dict.get(), "status", PyUnicode_FromString(status_text(best.status))) ||
            !set_item(dict.get(), "message", PyUnicode_FromString(best.message.c_str())) ||
            !set_item(dict.get(), "iterations", PyLong_FromUnsignedLongLong(best.iterations)) ||
            !set_item(dict.get(), "evaluations", PyLong_FromUnsignedLongLong(o.fit.evaluations)) ||
            !set_item(dict.get(), "grad_inf_norm", PyFloat_FromDouble(best.grad_inf_norm)) ||
            !set_item(dict.get(), "min_free_eigenvalue", PyFloat_FromDouble(best.min_free_eigenvalue)))
            return nullptr;
        if (o.at && !put_eval(dict.get(), *o.at, d.n_theta(), d.p)) return nullptr;
        const npy_intp nt = static_cast<npy_intp>(d.n_theta());
        if (!o.theta_cov.empty() && !set_item(dict.get(), "theta_vcov", new_float_array({nt, nt}, o.theta_cov.data())))
            return nullptr;
        return dict.release();
    });
}

PyObject* covariance(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const kNames[] = {"theta", "times"};
        PyObject* b[2];
        if (!bind_arguments({"covariance", kNames, 2, 1}, args, nargs, kwnames, b)) return nullptr;
        std::vector<double> theta, times;
        if (!theta_argument(self, b[0], theta)) return nullptr;
        const mmrm::MmrmData& d = data_of(self);
        const bool spatial = mmrm::is_spatial(d.structure);
        if (spatial) {
            if (!b[1] || b[1] == Py_None) {
                PyErr_SetString(PyExc_TypeError, "covariance of sp_exp needs times");
                return nullptr;
            }
            if (!to_doubles(b[1], "times", times)) return nullptr;
        }
        const std::uint64_t t = spatial ? times.size() : d.visits, per = d.theta_per_group;
        std::vector<double> out(d.groups * t * t);
        without_gil([&] {
            for (std::uint64_t g = 0; g < d.groups; ++g) {
                const std::span<const double> block(theta.data() + g * per, per);
                const mmrm::SigmaJet s = spatial ? mmrm::spatial_sigma(block, times, false)
                                                 : mmrm::visit_sigma(d.structure, block, t, false);
                std::copy(s.value.begin(), s.value.end(), out.begin() + static_cast<std::ptrdiff_t>(g * t * t));
            }
        });
        const npy_intp gn = static_cast<npy_intp>(d.groups), tn = static_cast<npy_intp>(t);
        return new_float_array({gn, tn, tn}, out.data());
    });
}

PyObject* moments(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const kNames[] = {"beta"};
        PyObject* b[1];
        if (!bind_arguments({"moments", kNames, 1, 0}, args, nargs, kwnames, b)) return nullptr;
        const mmrm::MmrmData& d = data_of(self);
        std::vector<double> beta;
        if (b[0] && b[0] != Py_None) {
            if (!to_doubles(b[0], "beta", beta)) return nullptr;
            if (beta.size() != d.p) {
                PyErr_Format(PyExc_ValueError, "beta must have %llu entries", static_cast<unsigned long long>(d.p));
                return nullptr;
            }
        }
        mmrm::Moments m = without_gil([&] { return mmrm::moments(d, beta); });
        const npy_intp p = static_cast<npy_intp>(d.p), g = static_cast<npy_intp>(d.groups);
        const npy_intp t = mmrm::is_spatial(d.structure) ? 1 : static_cast<npy_intp>(d.visits);
        PyRef dict = PyRef::steal(PyDict_New());
        if (!dict || !set_item(dict.get(), "xtx", new_float_array({p, p}, m.xtx.data())) ||
            !set_item(dict.get(), "xty", new_float_array({p}, m.xty.data())) ||
            !set_item(dict.get(), "yty", PyFloat_FromDouble(m.yty)) ||
            (!beta.empty() && (!set_item(dict.get(), "resid", new_float_array({g, t, t}, m.resid.data())) ||
                               !set_item(dict.get(), "count", new_float_array({g, t, t}, m.count.data())))))
            return nullptr;
        return dict.release();
    });
}

PyObject* patterns(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        const mmrm::MmrmData& d = data_of(self);
        PyRef list = PyRef::steal(PyList_New(0));
        if (!list) return nullptr;
        for (const mmrm::Pattern& pat : d.patterns) {
            PyRef where = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(pat.size())));
            if (!where) return nullptr;
            for (std::uint64_t a = 0; a < pat.size(); ++a) {
                PyObject* v = pat.visits.empty() ? PyFloat_FromDouble(pat.times[a])
                                                 : PyLong_FromUnsignedLongLong(pat.visits[a]);
                if (!v) return nullptr;
                PyTuple_SET_ITEM(where.get(), static_cast<Py_ssize_t>(a), v);
            }
            PyRef item = PyRef::steal(Py_BuildValue("(KOK)", static_cast<unsigned long long>(pat.group), where.get(),
                                                    static_cast<unsigned long long>(pat.subjects)));
            if (!item || PyList_Append(list.get(), item.get()) < 0) return nullptr;
        }
        return list.release();
    });
}

constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef kMethods[] = {
    {"evaluate", fastcall<evaluate>(), kFast,
     "evaluate($self, theta, reml=True, derivatives=2, theta_weights=None)\n--\n\n"
     "The criterion -2 log L (REML or ML, beta profiled out, constants\n"
     "included) at theta: a dict of \"feasible\", \"criterion\" (inf when the\n"
     "covariance is not positive definite), \"beta\", \"cov_beta\" ((X'V^-1X)^-1)\n"
     "and, for derivatives >= 1, \"grad\", for derivatives = 2, \"hessian\" and\n"
     "\"cov_beta_grad\" (n_theta, p, p), the derivatives of cov_beta in theta.\n"
     "theta_weights (n_theta, n_theta; Kenward and Roger's covariance of theta)\n"
     "adds \"p_k\" (X' dV^-1/dtheta_k X), \"weighted_q\" and \"weighted_r\" (the sums\n"
     "of w_kl Q_kl and w_kl R_kl over each group's pairs)."},
    {"fit", fastcall<fit>(), kFast,
     "fit($self, theta, reml=True, max_iter=200, gtol=1e-10)\n--\n\n"
     "Minimise the criterion over theta from `theta` by the trust-region\n"
     "Newton method on its exact Hessian: the certificate (\"theta\",\n"
     "\"converged\", \"status\", \"message\", \"iterations\", \"evaluations\",\n"
     "\"grad_inf_norm\", \"min_free_eigenvalue\"), evaluate's entries at the\n"
     "optimum and \"theta_vcov\", theta's asymptotic covariance 2 H^+."},
    {"covariance", fastcall<covariance>(), kFast,
     "covariance($self, theta, times=None)\n--\n\n"
     "Sigma of every group at theta, (groups, T, T) over the visit levels, or\n"
     "for sp_exp over the given times."},
    {"moments", fastcall<moments>(), kFast,
     "moments($self, beta=None)\n--\n\n"
     "The sums that start a fit: \"xtx\", \"xty\", \"yty\" (weighted) and, at beta,\n"
     "\"resid\" and \"count\" (groups, T, T): the residuals' cross-products per pair\n"
     "of visits summed over the subjects having both, and those subjects\n"
     "(continuous time: T = 1, every row's squared residual)."},
    {"patterns", patterns, METH_NOARGS,
     "patterns($self)\n--\n\n"
     "The visit patterns as (group, visits or times, subjects), in order of\n"
     "first appearance by subject code."},
    {nullptr, nullptr, 0, nullptr},
};

const char kClassDoc[] =
    "MmrmCore(y, x, subjects, positions, groups, n_subjects, n_visits, n_groups, structure, weights=None,\n"
    "         route=\"auto\")\n--\n\n"
    "The rows of a model for repeated measures (y_i ~ N(X_i beta, Sigma_i), Sigma_i\n"
    "the rows and columns of its group's covariance for the subject's visits),\n"
    "reduced once to per-pattern cross-products. positions: visit codes (int64)\n"
    "or, for sp_exp, times (float64). route: how the Hessian's transformed\n"
    "products are formed, \"patterns\" (from each pattern's products),\n"
    "\"subjects\" (from each subject's rows) or \"auto\" (per pattern, the cheaper);\n"
    "the criterion and its derivatives agree to rounding.";

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>(kClassDoc)},
    {Py_tp_new, reinterpret_cast<void*>(mmrm_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(mmrm_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(mmrm_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(mmrm_clear)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetters},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "corvane._corvane.MmrmCore",
    sizeof(MmrmObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
    kSlots,
};

// ---- MmrmBuilder ------------------------------------------------------------

struct BuilderObject {
    PyObject_HEAD
    mmrm::MmrmBuilder* builder;  // owned; null once finished
    std::mutex* lock;            // owned: add and finish run without the interpreter lock
    std::uint64_t p, visits, groups;
    mmrm::Structure structure;
};

BuilderObject* builder_of(PyObject* self) { return reinterpret_cast<BuilderObject*>(self); }

PyObject* builder_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* kKeywords[] = {"p", "n_visits", "n_groups", "structure", "weighted", "route", nullptr};
        PyObject *p, *n_visits, *n_groups, *structure, *weighted = Py_False, *route = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOO|OO:MmrmBuilder", const_cast<char**>(kKeywords), &p,
                                         &n_visits, &n_groups, &structure, &weighted, &route))
            return nullptr;
        std::uint64_t pp = 0, visits = 0, groups = 0;
        mmrm::Structure s;
        mmrm::Route rt = mmrm::Route::Auto;
        bool w = false;
        if (!to_uint64(p, "p", pp) || !to_uint64(n_visits, "n_visits", visits) ||
            !to_uint64(n_groups, "n_groups", groups) || !to_structure(structure, s) || !to_bool(weighted, "weighted", w) ||
            (route && !to_route(route, rt)))
            return nullptr;
        if (pp == 0 || groups == 0 || (!mmrm::is_spatial(s) && visits == 0)) {
            PyErr_SetString(PyExc_ValueError, "p, n_visits and n_groups must be positive");
            return nullptr;
        }
        auto builder = std::make_unique<mmrm::MmrmBuilder>(s, pp, visits, groups, w, rt);
        auto lock = std::make_unique<std::mutex>();
        PyObject* self = type->tp_alloc(type, 0);
        if (!self) return nullptr;
        BuilderObject* b = builder_of(self);
        b->builder = builder.release();
        b->lock = lock.release();
        b->p = pp;
        b->visits = visits;
        b->groups = groups;
        b->structure = s;
        return self;
    });
}

void builder_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    delete builder_of(self)->builder;
    delete builder_of(self)->lock;
    type->tp_free(self);
    Py_DECREF(type);
}

int builder_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    return 0;
}

PyObject* builder_add(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const kNames[] = {"y", "x", "subjects", "positions", "groups", "weights"};
        PyObject* b[6];
        if (!bind_arguments({"add", kNames, 6, 5}, args, nargs, kwnames, b)) return nullptr;
        BuilderObject* o = builder_of(self);
        mmrm::MmrmRows r;
        r.structure = o->structure;
        RowRefs refs;
        if (!row_arrays(b[0], b[1], b[2], b[3], b[4], b[5], mmrm::is_spatial(o->structure), refs, r)) return nullptr;
        std::int64_t top = -1;
        for (std::int64_t c : r.subject) top = std::max(top, c);
        r.subjects = static_cast<std::uint64_t>(top + 1);
        r.visits = o->visits;
        r.groups = o->groups;
        without_gil([&] {
            std::lock_guard<std::mutex> guard(*o->lock);
            if (!o->builder) throw lmm::InvalidInput("the builder has finished");
            o->builder->add(r);
        });
        Py_RETURN_NONE;
    });
}

PyObject* builder_finish(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        BuilderObject* o = builder_of(self);
        PyRef core_type = PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(self)), "_core_type"));
        if (!core_type) return nullptr;
        std::unique_ptr<mmrm::MmrmData> data = without_gil([&] {
            std::lock_guard<std::mutex> guard(*o->lock);
            if (!o->builder) throw lmm::InvalidInput("the builder has finished");
            std::unique_ptr<mmrm::MmrmData> d = o->builder->finish();
            delete o->builder;
            o->builder = nullptr;
            return d;
        });
        return wrap_core(reinterpret_cast<PyTypeObject*>(core_type.get()), std::move(data));
    });
}

PyMethodDef kBuilderMethods[] = {
    {"add", fastcall<builder_add>(), kFast,
     "add($self, y, x, subjects, positions, groups, weights=None)\n--\n\n"
     "Add whole subjects (every row of each subject in this call; codes are\n"
     "global and a subject of an earlier call is refused), as MmrmCore's arrays."},
    {"finish", builder_finish, METH_NOARGS,
     "finish($self)\n--\n\n"
     "The MmrmCore of every row added; the builder cannot be used again."},
    {nullptr, nullptr, 0, nullptr},
};

const char kBuilderDoc[] =
    "MmrmBuilder(p, n_visits, n_groups, structure, weighted=False, route=\"auto\")\n--\n\n"
    "A repeated-measures model's patterns built from rows given in batches:\n"
    "rows given at once or in batches (subjects in the order they first\n"
    "appear) give the same MmrmCore bit for bit.";

PyType_Slot kBuilderSlots[] = {
    {Py_tp_doc, const_cast<char*>(kBuilderDoc)},
    {Py_tp_new, reinterpret_cast<void*>(builder_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(builder_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(builder_traverse)},
    {Py_tp_methods, kBuilderMethods},
    {0, nullptr},
};

PyType_Spec kBuilderSpec = {
    "corvane._corvane.MmrmBuilder",
    sizeof(BuilderObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
    kBuilderSlots,
};

}  // namespace

PyObject* create_mmrm_builder_type(PyObject* module, PyObject* core_type) {
    PyRef type = PyRef::steal(PyType_FromModuleAndSpec(module, &kBuilderSpec, nullptr));
    if (!type) return nullptr;
    PyTypeObject* tp = reinterpret_cast<PyTypeObject*>(type.get());
    PyRef doc = PyRef::steal(PyUnicode_FromString(kBuilderDoc));
    if (!doc || PyDict_SetItemString(tp->tp_dict, "__doc__", doc.get()) < 0 ||
        PyDict_SetItemString(tp->tp_dict, "_core_type", core_type) < 0)
        return nullptr;
    PyType_Modified(tp);
    return type.release();
}

PyObject* create_mmrm_type(PyObject* module) {
    PyRef type = PyRef::steal(PyType_FromModuleAndSpec(module, &kSpec, nullptr));
    if (!type) return nullptr;
    PyTypeObject* tp = reinterpret_cast<PyTypeObject*>(type.get());
    PyRef doc = PyRef::steal(PyUnicode_FromString(kClassDoc));
    if (!doc || PyDict_SetItemString(tp->tp_dict, "__doc__", doc.get()) < 0) return nullptr;
    PyType_Modified(tp);
    return type.release();
}

}  // namespace corvane::bindings

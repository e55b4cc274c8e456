// The class GlmmCore: the generalized model's rows, grouped once, and its
// criterion, modes and fits.
//
// Like LmmCore, an instance never changes after construction and holds no
// Python references; every method converts its arguments with the
// interpreter lock held, releases it for the numerical work, and retakes it
// to build the result.
#include "bindings/glmm_core.hpp"

#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "bindings/args.hpp"
#include "bindings/errors.hpp"
#include "bindings/gil.hpp"
#include "bindings/numpy_api.hpp"
#include "glmm/data.hpp"
#include "glmm/eval.hpp"
#include "glmm/fit.hpp"
#include "lmm/theta_layout.hpp"
#include "parallel/pool.hpp"

namespace corvane::bindings {
namespace {

struct GlmmObject {
    PyObject_HEAD
    glmm::GlmmData* data;  // owned
};

const glmm::GlmmData& data_of(PyObject* self) { return *reinterpret_cast<GlmmObject*>(self)->data; }
const glmm::GlmmDesign& design_of(PyObject* self) { return *data_of(self).design; }

PyObject* wrap(PyTypeObject* type, std::unique_ptr<glmm::GlmmData> data) {
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    reinterpret_cast<GlmmObject*>(self)->data = data.release();
    return self;
}

bool set_item(PyObject* dict, const char* key, PyObject* value) {
    PyRef owned = PyRef::steal(value);
    return owned && PyDict_SetItemString(dict, key, owned.get()) == 0;
}

// A 1-D float64 array of length n, contiguous: its values.
// A 1-D float64 argument of n entries copied into out; None leaves out empty.
bool vector_argument(PyObject* object, const char* name, std::uint64_t n, std::vector<double>& out) {
    if (object == Py_None) {
        out.clear();
        return true;
    }
    PyArrayObject* a = nullptr;
    if (!to_array(object, name, 1, NPY_FLOAT64, a)) return false;
    if (static_cast<std::uint64_t>(PyArray_DIM(a, 0)) != n) {
        PyErr_Format(PyExc_ValueError, "%s must have %llu entries, got %lld", name,
                     static_cast<unsigned long long>(n), static_cast<long long>(PyArray_DIM(a, 0)));
        return false;
    }
    out.resize(n);
    for (std::uint64_t i = 0; i < n; ++i)
        out[i] = *static_cast<const double*>(PyArray_GETPTR1(a, static_cast<npy_intp>(i)));
    return true;
}

// A k x k float64 matrix argument copied row-major into out; None leaves out empty.
bool matrix_argument(PyObject* object, const char* name, std::uint64_t k, std::vector<double>& out) {
    if (object == Py_None) {
        out.clear();
        return true;
    }
    PyArrayObject* a = nullptr;
    if (!to_array(object, name, 2, NPY_FLOAT64, a)) return false;
    if (static_cast<std::uint64_t>(PyArray_DIM(a, 0)) != k || static_cast<std::uint64_t>(PyArray_DIM(a, 1)) != k) {
        PyErr_Format(PyExc_ValueError, "%s must be %llu x %llu", name, static_cast<unsigned long long>(k),
                     static_cast<unsigned long long>(k));
        return false;
    }
    out.resize(k * k);
    for (std::uint64_t i = 0; i < k; ++i)
        for (std::uint64_t j = 0; j < k; ++j)
            out[i * k + j] = *static_cast<const double*>(
                PyArray_GETPTR2(a, static_cast<npy_intp>(i), static_cast<npy_intp>(j)));
    return true;
}

bool to_family(PyObject* object, glmm::Family& out) {
    const char* s = PyUnicode_Check(object) ? PyUnicode_AsUTF8(object) : nullptr;
    if (!s) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "family must be a str");
        return false;
    }
    if (std::strcmp(s, "binomial") == 0) out = glmm::Family::Binomial;
    else if (std::strcmp(s, "poisson") == 0) out = glmm::Family::Poisson;
    else if (std::strcmp(s, "negative_binomial") == 0) out = glmm::Family::NegativeBinomial;
    else if (std::strcmp(s, "negative_binomial1") == 0) out = glmm::Family::NegativeBinomial1;
    else {
        PyErr_Format(PyExc_ValueError,
                     "family must be \"binomial\", \"poisson\", \"negative_binomial\" or \"negative_binomial1\", "
                     "got %R",
                     object);
        return false;
    }
    return true;
}

bool to_link(PyObject* object, glmm::Link& out) {
    const char* s = PyUnicode_Check(object) ? PyUnicode_AsUTF8(object) : nullptr;
    if (!s) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "link must be a str");
        return false;
    }
    if (std::strcmp(s, "logit") == 0) out = glmm::Link::Logit;
    else if (std::strcmp(s, "probit") == 0) out = glmm::Link::Probit;
    else if (std::strcmp(s, "cloglog") == 0) out = glmm::Link::Cloglog;
    else if (std::strcmp(s, "log") == 0) out = glmm::Link::Log;
    else {
        PyErr_Format(PyExc_ValueError, "link must be \"logit\", \"probit\", \"cloglog\" or \"log\", got %R", object);
        return false;
    }
    return true;
}

// ---- life cycle ----------------------------------------------------------

PyObject* glmm_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* kKeywords[] = {"y",      "x",      "z",    "codes",       "n_groups",
                                          "weights", "offset", "family", "link", "x_transform",
                                          "z_transform", "phi", nullptr};
        PyObject *y, *x, *z, *codes, *n_groups, *weights, *offset, *family, *link;
        PyObject *x_transform = Py_None, *z_transform = Py_None;
        double phi = 1.0;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOOOOOO|$OOd:GlmmCore", const_cast<char**>(kKeywords), &y,
                                         &x, &z, &codes, &n_groups, &weights, &offset, &family, &link, &x_transform,
                                         &z_transform, &phi))
            return nullptr;
        RowArrays arrays;
        std::uint64_t m = 0;
        glmm::Family fam;
        glmm::Link lnk;
        if (!to_row_arrays(y, x, z, codes, arrays) || !to_uint64(n_groups, "n_groups", m)) return nullptr;
        lmm::RowsView view;
        if (!rows(arrays, view) || !check_dimensions(view, m)) return nullptr;
        if (PyArray_NDIM(arrays.y) != 1) {
            PyErr_SetString(PyExc_TypeError, "argument 'y' must be a 1-D float64 numpy.ndarray");
            return nullptr;
        }
        std::vector<double> w, off, xa, za;
        if (!vector_argument(weights, "weights", view.n, w) || !vector_argument(offset, "offset", view.n, off) ||
            !matrix_argument(x_transform, "x_transform", view.p, xa) ||
            !matrix_argument(z_transform, "z_transform", view.q, za))
            return nullptr;
        if (!to_family(family, fam) || !to_link(link, lnk)) return nullptr;
        glmm::GlmmRows r;
        r.y = std::span<const double>(view.y, view.n);
        r.x = std::span<const double>(view.x, view.n * view.p);
        r.z = std::span<const double>(view.z, view.n * view.q);
        r.codes = std::span<const std::int64_t>(view.codes, view.n);
        r.w = w;
        r.offset = off;
        r.x_transform = xa;
        r.z_transform = za;
        r.n = view.n;
        r.p = view.p;
        r.q = view.q;
        r.m = m;
        std::unique_ptr<glmm::GlmmData> data = without_gil([&] { return glmm::prepare_glmm(r, fam, lnk, phi); });
        return wrap(type, std::move(data));
    });
}

void glmm_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    GlmmObject* core = reinterpret_cast<GlmmObject*>(self);
    delete core->data;
    core->data = nullptr;
    type->tp_free(self);
    Py_DECREF(type);
}

int glmm_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    return 0;
}

int glmm_clear(PyObject*) { return 0; }

// ---- getters -------------------------------------------------------------

PyObject* get_n(PyObject* self, void*) { return PyLong_FromUnsignedLongLong(design_of(self).n); }
PyObject* get_p(PyObject* self, void*) { return PyLong_FromUnsignedLongLong(design_of(self).p); }
PyObject* get_q(PyObject* self, void*) { return PyLong_FromUnsignedLongLong(design_of(self).q); }
PyObject* get_m(PyObject* self, void*) { return PyLong_FromUnsignedLongLong(design_of(self).m); }
PyObject* get_n_theta(PyObject* self, void*) { return PyLong_FromUnsignedLongLong(lmm::n_theta(design_of(self).q)); }
PyObject* get_family(PyObject* self, void*) { return PyUnicode_FromString(glmm::family_name(design_of(self).family)); }
PyObject* get_link(PyObject* self, void*) { return PyUnicode_FromString(glmm::link_name(design_of(self).link)); }
PyObject* get_constant(PyObject* self, void*) { return PyFloat_FromDouble(data_of(self).constant); }
PyObject* get_saturated(PyObject* self, void*) { return PyFloat_FromDouble(data_of(self).saturated); }
PyObject* get_phi(PyObject* self, void*) { return PyFloat_FromDouble(data_of(self).params.phi); }

// The same rows with another dispersion: a new core sharing the design.
PyObject* with_phi(PyObject* self, PyObject* arg) {
    return guarded([&]() -> PyObject* {
        const double phi = PyFloat_AsDouble(arg);
        if (phi == -1.0 && PyErr_Occurred()) return nullptr;
        std::unique_ptr<glmm::GlmmData> data = glmm::with_glmm_dispersion(data_of(self), phi);
        return wrap(Py_TYPE(self), std::move(data));
    });
}

PyGetSetDef kGetters[] = {
    {"n", get_n, nullptr, nullptr, nullptr},
    {"p", get_p, nullptr, nullptr, nullptr},
    {"q", get_q, nullptr, nullptr, nullptr},
    {"m", get_m, nullptr, nullptr, nullptr},
    {"n_theta", get_n_theta, nullptr, nullptr, nullptr},
    {"family", get_family, nullptr, nullptr, nullptr},
    {"phi", get_phi, nullptr,
     "The negative binomial's dispersion: phi of NB2 (variance mu + mu^2 / phi), alpha of NB1 (variance\n"
     "mu (1 + alpha)); 1 for the others.",
     nullptr},
    {"link", get_link, nullptr, nullptr, nullptr},
    {"constant", get_constant, nullptr,
     "The log-likelihood's constant: binomial coefficients, -sum w log(y!), or the negative binomial's\n"
     "sum w (log Gamma(y + phi) - log Gamma(phi) - y log phi - log y!).",
     nullptr},
    {"saturated_loglik", get_saturated, nullptr,
     "The saturated model's log-likelihood (mu = y), constant included.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---- methods ---------------------------------------------------------------

// Options shared by the methods: the schedule and kernels (tests).
bool eval_options(PyObject* general, glmm::GlmmOptions& out) {
    if (!general) return true;
    bool g = false;
    if (!to_bool(general, "general_kernels", g)) return false;
    out.general_kernels = g;
    return true;
}

PyObject* evaluate(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const kNames[] = {"theta", "beta", "nagq", "derivatives", "general_kernels"};
        PyObject* b[5];
        if (!bind_arguments({"evaluate", kNames, 5, 2}, args, nargs, kwnames, b)) return nullptr;
        std::vector<double> theta, beta;
        std::uint64_t nagq = 1, derivatives = 0;
        glmm::GlmmOptions options;
        if (!to_doubles(b[0], "theta", theta) || !to_doubles(b[1], "beta", beta)) return nullptr;
        if (b[2] && !to_uint64(b[2], "nagq", nagq)) return nullptr;
        if (b[3] && !to_uint64(b[3], "derivatives", derivatives)) return nullptr;
        if (!eval_options(b[4], options)) return nullptr;
        if (derivatives > 2) {
            PyErr_SetString(PyExc_ValueError, "derivatives must be 0, 1 or 2");
            return nullptr;
        }
        const glmm::GlmmData& d = data_of(self);
        const std::size_t nk = theta.size() + beta.size();
        struct Out {
            glmm::GlmmEval e;
            std::optional<optim::SecondOrder> so;
            double hessian_error = 0.0;
        };
        Out o = without_gil([&] {
            Out r;
            // With derivatives, their evaluation gives the value too (the same bits: the passes do
            // not depend on what else is computed).
            if (derivatives > 0)
                r.so = glmm::glmm_second_order(d, theta, beta, nagq, options, nullptr, nullptr, derivatives == 2,
                                              &r.hessian_error, &r.e);
            else
                r.e = glmm::glmm_evaluate(d, theta, beta, nagq, 0, options);
            return r;
        });
        PyRef dict = PyRef::steal(PyDict_New());
        if (!dict) return nullptr;
        if (!set_item(dict.get(), "deviance", PyFloat_FromDouble(o.e.deviance)) ||
            !set_item(dict.get(), "feasible", PyBool_FromLong(o.e.feasible)) ||
            !set_item(dict.get(), "failure", PyUnicode_FromString(o.e.failure.c_str())) ||
            !set_item(dict.get(), "correction", PyFloat_FromDouble(o.e.correction)) ||
            !set_item(dict.get(), "resolution", PyFloat_FromDouble(o.e.resolution)))
            return nullptr;
        const double nan = std::numeric_limits<double>::quiet_NaN();
        if (derivatives >= 1) {
            std::vector<double> g(nk, nan);
            if (o.so) g = o.so->g;
            else if (o.e.feasible && !o.e.grad.empty()) g = o.e.grad;
            if (!set_item(dict.get(), "grad", new_float_array({static_cast<npy_intp>(nk)}, g.data()))) return nullptr;
        }
        if (derivatives == 2) {
            std::vector<double> h(nk * nk, nan);
            if (o.so) h = o.so->h;
            if (!set_item(dict.get(), "hessian",
                          new_float_array({static_cast<npy_intp>(nk), static_cast<npy_intp>(nk)}, h.data())) ||
                !set_item(dict.get(), "hessian_error", PyFloat_FromDouble(o.hessian_error)))
                return nullptr;
        }
        return dict.release();
    });
}

PyObject* modes(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const kNames[] = {"theta", "beta", "general_kernels"};
        PyObject* b[3];
        if (!bind_arguments({"modes", kNames, 3, 2}, args, nargs, kwnames, b)) return nullptr;
        std::vector<double> theta, beta;
        glmm::GlmmOptions options;
        if (!to_doubles(b[0], "theta", theta) || !to_doubles(b[1], "beta", beta) || !eval_options(b[2], options))
            return nullptr;
        const glmm::GlmmData& d = data_of(self);
        glmm::GlmmModes r = without_gil([&] { return glmm::glmm_modes(d, theta, beta, options); });
        if (!r.feasible) {
            PyErr_SetString(PyExc_RuntimeError, r.failure.c_str());
            return nullptr;
        }
        const npy_intp m = static_cast<npy_intp>(d.design->m), q = static_cast<npy_intp>(d.design->q);
        std::vector<double> iterations(r.iterations.begin(), r.iterations.end());
        PyRef dict = PyRef::steal(PyDict_New());
        if (!dict || !set_item(dict.get(), "u", new_float_array({m, q}, r.u.data())) ||
            !set_item(dict.get(), "b", new_float_array({m, q}, r.b.data())) ||
            !set_item(dict.get(), "condvar", new_float_array({m, q, q}, r.condvar.data())) ||
            !set_item(dict.get(), "eta", new_float_array({static_cast<npy_intp>(d.design->n)}, r.eta.data())) ||
            !set_item(dict.get(), "iterations", new_float_array({m}, iterations.data())))
            return nullptr;
        return dict.release();
    });
}

PyObject* joint(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const kNames[] = {"theta", "beta_start"};
        PyObject* b[2];
        if (!bind_arguments({"joint", kNames, 2, 1}, args, nargs, kwnames, b)) return nullptr;
        std::vector<double> theta, beta;
        if (!to_doubles(b[0], "theta", theta)) return nullptr;
        if (b[1] && b[1] != Py_None && !to_doubles(b[1], "beta_start", beta)) return nullptr;
        const glmm::GlmmData& d = data_of(self);
        glmm::GlmmJoint r = without_gil([&] {
            if (beta.empty()) beta = glmm::glmm_start_beta(d);
            return glmm::glmm_joint(d, theta, beta);
        });
        if (!r.feasible) {
            PyErr_SetString(PyExc_RuntimeError, r.failure.c_str());
            return nullptr;
        }
        const npy_intp p = static_cast<npy_intp>(d.design->p);
        PyRef dict = PyRef::steal(PyDict_New());
        if (!dict || !set_item(dict.get(), "deviance", PyFloat_FromDouble(r.deviance)) ||
            !set_item(dict.get(), "beta", new_float_array({p}, r.beta.data())) ||
            !set_item(dict.get(), "precision", new_float_array({p, p}, r.precision.data())) ||
            !set_item(dict.get(), "iterations", PyLong_FromUnsignedLongLong(r.iterations)))
            return nullptr;
        return dict.release();
    });
}

PyObject* start_beta(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        const glmm::GlmmData& d = data_of(self);
        std::vector<double> beta = without_gil([&] { return glmm::glmm_start_beta(d); });
        return new_float_array({static_cast<npy_intp>(beta.size())}, beta.data());
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

// The fit's record as a dict.
PyObject* fit_dict(const glmm::GlmmFit& f, std::size_t nt, std::size_t p) {
    const std::size_t nk = nt + p;
    const double nan = std::numeric_limits<double>::quiet_NaN();
    std::vector<double> theta = f.theta, beta = f.beta, grad = f.grad, hess = f.hessian, prec = f.precision;
    theta.resize(nt, nan);
    beta.resize(p, nan);
    grad.resize(nk, nan);
    hess.resize(nk * nk, nan);
    prec.resize(p * p, nan);
    PyRef dict = PyRef::steal(PyDict_New());
    PyRef bound = PyRef::steal(PyList_New(0));
    if (!dict || !bound) return nullptr;
    for (std::size_t i : f.best.at_bound) {
        if (i >= nt) continue;
        PyRef v = PyRef::steal(PyLong_FromSize_t(i));
        if (!v || PyList_Append(bound.get(), v.get()) < 0) return nullptr;
    }
    const bool ok = f.best.converged();
    if (!set_item(dict.get(), "theta", new_float_array({static_cast<npy_intp>(nt)}, theta.data())) ||
        !set_item(dict.get(), "beta", new_float_array({static_cast<npy_intp>(p)}, beta.data())) ||
        !set_item(dict.get(), "deviance",
                  PyFloat_FromDouble(f.best.status == optim::TrustStatus::InitialInfeasible
                                         ? std::numeric_limits<double>::infinity()
                                         : f.deviance)) ||
        !set_item(dict.get(), "grad", new_float_array({static_cast<npy_intp>(nk)}, grad.data())) ||
        !set_item(dict.get(), "hessian",
                  new_float_array({static_cast<npy_intp>(nk), static_cast<npy_intp>(nk)}, hess.data())) ||
        !set_item(dict.get(), "precision",
                  new_float_array({static_cast<npy_intp>(p), static_cast<npy_intp>(p)}, prec.data())) ||
        !set_item(dict.get(), "converged", PyBool_FromLong(ok)) ||
        !set_item(dict.get(), "status", PyUnicode_FromString(status_text(f.best.status))) ||
        !set_item(dict.get(), "message", PyUnicode_FromString(f.best.message.c_str())) ||
        !set_item(dict.get(), "boundary", bound.release()) ||
        !set_item(dict.get(), "grad_inf_norm", PyFloat_FromDouble(f.best.grad_inf_norm)) ||
        !set_item(dict.get(), "min_free_eigenvalue", PyFloat_FromDouble(f.best.min_free_eigenvalue)) ||
        !set_item(dict.get(), "iterations", PyLong_FromUnsignedLongLong(f.best.iterations)) ||
        !set_item(dict.get(), "evaluations", PyLong_FromUnsignedLongLong(f.evaluations)) ||
        !set_item(dict.get(), "hessian_error", PyFloat_FromDouble(f.hessian_error)) ||
        !set_item(dict.get(), "resolution", PyFloat_FromDouble(f.best.at.resolution)) ||
        !set_item(dict.get(), "gtol", PyFloat_FromDouble(f.gtol)))
        return nullptr;
    return dict.release();
}

bool fit_arguments(PyObject* self, PyObject** b, std::vector<double>& theta, std::vector<double>& beta,
                   std::uint64_t& nagq, glmm::GlmmFitOptions& options) {
    if (b[0] && b[0] != Py_None && !to_doubles(b[0], "theta", theta)) return false;
    if (b[1] && b[1] != Py_None && !to_doubles(b[1], "beta", beta)) return false;
    if (b[2] && !to_uint64(b[2], "nagq", nagq)) return false;
    if (b[3] && !to_uint64(b[3], "max_iter", options.max_iter)) return false;
    if (b[4] && !to_double(b[4], "gtol", options.gtol)) return false;
    if (!(options.gtol >= 0.0) || !std::isfinite(options.gtol)) {
        PyErr_SetString(PyExc_ValueError, "gtol must be non-negative and finite");
        return false;
    }
    const glmm::GlmmDesign& g = design_of(self);
    if (!theta.empty() && theta.size() != lmm::n_theta(g.q)) {
        PyErr_Format(PyExc_ValueError, "theta must have %llu entries", static_cast<unsigned long long>(lmm::n_theta(g.q)));
        return false;
    }
    if (!beta.empty() && beta.size() != g.p) {
        PyErr_Format(PyExc_ValueError, "beta must have %llu entries", static_cast<unsigned long long>(g.p));
        return false;
    }
    if (nagq > 50) {
        PyErr_Format(PyExc_ValueError, "nagq must be between 0 and 50, got %llu", static_cast<unsigned long long>(nagq));
        return false;
    }
    return to_free_entries(b[5], g.q, options.free_theta);
}

PyObject* fit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const kNames[] = {"theta", "beta", "nagq", "max_iter", "gtol", "free"};
        PyObject* b[6];
        if (!bind_arguments({"fit", kNames, 6, 0}, args, nargs, kwnames, b)) return nullptr;
        std::vector<double> theta, beta;
        std::uint64_t nagq = 1;
        glmm::GlmmFitOptions options;
        if (!fit_arguments(self, b, theta, beta, nagq, options)) return nullptr;
        const glmm::GlmmData& d = data_of(self);
        if (nagq > 1) {
            // Checks nagq against q before the work starts.
            std::vector<double> t0 = lmm::default_theta(d.design->q), b0(d.design->p, 0.0);
            (void)without_gil([&] { return glmm::glmm_evaluate(d, t0, b0, nagq, 0); });
        }
        glmm::GlmmFit r = without_gil([&] { return glmm::glmm_fit(d, theta, beta, nagq, options); });
        return fit_dict(r, lmm::n_theta(d.design->q), d.design->p);
    });
}

// Fits every row of Y (k x n, the caller's row order) as a response of the
// same design, in parallel, each from (theta, beta).
PyObject* fit_responses(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const kNames[] = {"responses", "theta", "beta", "nagq", "max_iter", "gtol", "free"};
        PyObject* b[7];
        if (!bind_arguments({"fit_responses", kNames, 7, 3}, args, nargs, kwnames, b)) return nullptr;
        PyArrayObject* ys = nullptr;
        if (!to_array(b[0], "responses", 2, NPY_FLOAT64, ys)) return nullptr;
        std::vector<double> theta, beta;
        std::uint64_t nagq = 1;
        glmm::GlmmFitOptions options;
        if (!fit_arguments(self, b + 1, theta, beta, nagq, options)) return nullptr;
        const glmm::GlmmData& d = data_of(self);
        const std::uint64_t n = d.design->n;
        if (static_cast<std::uint64_t>(PyArray_DIM(ys, 1)) != n) {
            PyErr_Format(PyExc_ValueError, "responses must have %llu columns", static_cast<unsigned long long>(n));
            return nullptr;
        }
        const std::uint64_t k = static_cast<std::uint64_t>(PyArray_DIM(ys, 0));
        std::vector<double> values(k * n);
        for (std::uint64_t r = 0; r < k; ++r)
            for (std::uint64_t i = 0; i < n; ++i)
                values[r * n + i] = *static_cast<const double*>(
                    PyArray_GETPTR2(ys, static_cast<npy_intp>(r), static_cast<npy_intp>(i)));
        const std::size_t nt = lmm::n_theta(d.design->q), p = d.design->p;
        std::vector<glmm::GlmmFit> fits = without_gil([&] {
            std::vector<glmm::GlmmFit> out(k);
            parallel::parallel_for(k, [&](std::size_t r) {
                parallel::check_interrupt();
                std::unique_ptr<glmm::GlmmData> dr =
                    glmm::with_glmm_response(d, std::span<const double>(values.data() + r * n, n));
                out[r] = glmm::glmm_fit(*dr, theta, beta, nagq, options);
            });
            return out;
        });
        std::vector<double> th(k * nt), be(k * p), dev(k), conv(k);
        for (std::uint64_t r = 0; r < k; ++r) {
            const glmm::GlmmFit& f = fits[r];
            const bool ok = f.best.converged() && f.theta.size() == nt;
            for (std::size_t j = 0; j < nt; ++j) th[r * nt + j] = ok ? f.theta[j] : std::nan("");
            for (std::size_t j = 0; j < p; ++j) be[r * p + j] = ok ? f.beta[j] : std::nan("");
            dev[r] = ok ? f.deviance : std::nan("");
            conv[r] = ok ? 1.0 : 0.0;
        }
        const npy_intp kk = static_cast<npy_intp>(k);
        PyRef dict = PyRef::steal(PyDict_New());
        if (!dict || !set_item(dict.get(), "theta", new_float_array({kk, static_cast<npy_intp>(nt)}, th.data())) ||
            !set_item(dict.get(), "beta", new_float_array({kk, static_cast<npy_intp>(p)}, be.data())) ||
            !set_item(dict.get(), "deviance", new_float_array({kk}, dev.data())) ||
            !set_item(dict.get(), "converged", new_float_array({kk}, conv.data())))
            return nullptr;
        return dict.release();
    });
}

constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef kMethods[] = {
    {"evaluate", fastcall<evaluate>(), kFast,
     "evaluate($self, theta, beta, nagq=1, derivatives=0)\n--\n\n"
     "The deviance -2 log L (constants included) at (theta, beta) by the Laplace\n"
     "approximation (nagq = 1) or adaptive Gauss-Hermite quadrature with nagq\n"
     "points per dimension (nagq**q per group). A dict of \"deviance\" (inf when\n"
     "infeasible), \"feasible\", \"failure\" (why not), \"correction\" (nagq > 1: the\n"
     "deviance less its Laplace value), \"resolution\" (the deviance's estimated\n"
     "rounding) and, for derivatives >= 1, \"grad\" in (theta, beta) and, for\n"
     "derivatives = 2, \"hessian\" and \"hessian_error\" (relative to sqrt(H_ii H_jj)):\n"
     "exact for nagq = 1; for nagq > 1 the Laplace parts' exact derivatives plus\n"
     "central differences of the correction."},
    {"modes", fastcall<modes>(), kFast,
     "modes($self, theta, beta)\n--\n\n"
     "The conditional modes at (theta, beta): a dict of \"u\" (m, q) spherical,\n"
     "\"b\" = Lambda u, \"condvar\" (m, q, q) = Lambda H^-1 Lambda', \"eta\" (n) in the\n"
     "rows' order and \"iterations\" (Newton steps per group). RuntimeError when a\n"
     "mode cannot be found."},
    {"joint", fastcall<joint>(), kFast,
     "joint($self, theta, beta_start=None)\n--\n\n"
     "The joint mode of (beta, u) at theta (the nagq = 0 criterion): a dict of\n"
     "\"deviance\" (Laplace, at the joint mode), \"beta\", \"precision\" (p, p) and\n"
     "\"iterations\"."},
    {"start_beta", start_beta, METH_NOARGS,
     "start_beta($self)\n--\n\n"
     "The generalized linear model start for beta (no random effects)."},
    {"fit", fastcall<fit>(), kFast,
     "fit($self, theta=None, beta=None, nagq=1, max_iter=200, gtol=0.0, free=None)\n--\n\n"
     "Fit by the trust-region Newton method: over theta with beta from the joint\n"
     "mode for nagq = 0; over (theta, beta) for nagq >= 1, from the nagq = 0 fit\n"
     "unless both starts are given. Returns \"theta\", \"beta\", \"deviance\", \"grad\" and\n"
     "\"hessian\" in (theta, beta), \"precision\" (nagq = 0), and the certificate:\n"
     "\"converged\", \"status\", \"message\", \"boundary\", \"grad_inf_norm\",\n"
     "\"min_free_eigenvalue\", \"iterations\", \"evaluations\", \"hessian_error\",\n"
     "\"resolution\" (the deviance's rounding at the optimum), \"gtol\" (the gradient\n"
     "tolerance used). `free` (ascending theta\n"
     "indices, every diagonal entry among them) fits only those entries of theta,\n"
     "the others held at 0; \"grad\" and \"hessian\" are NaN in the rows and\n"
     "columns of the others."},
    {"with_phi", with_phi, METH_O,
     "with_phi($self, phi)\n--\n\nThe same rows with the negative binomial's dispersion phi: a new core\n"
     "sharing this one's design."},
    {"fit_responses", fastcall<fit_responses>(), kFast,
     "fit_responses($self, responses, theta, beta, nagq=1, max_iter=200, gtol=0.0, free=None)\n--\n\n"
     "Fit each row of `responses` (k, n) as the response of the same design, in\n"
     "parallel, each from (theta, beta): a dict of \"theta\" (k, n_theta), \"beta\"\n"
     "(k, p), \"deviance\" (k) and \"converged\" (k; 1.0 or 0.0, NaN rows where not);\n"
     "`free` as for fit."},
    {nullptr, nullptr, 0, nullptr},
};

const char kClassDoc[] =
    "GlmmCore(y, x, z, codes, n_groups, weights, offset, family, link, *, x_transform=None, "
    "z_transform=None, phi=1.0)\n--\n\n"
    "The rows of a generalized linear mixed model with one grouping factor,\n"
    "grouped once (weights and offset may be None: 1 and 0; the rows held as\n"
    "x' A and z' B for the optional square transforms); its deviance by\n"
    "the Laplace approximation or adaptive Gauss-Hermite quadrature,\n"
    "conditional modes and fits.";

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>(kClassDoc)},
    {Py_tp_new, reinterpret_cast<void*>(glmm_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(glmm_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(glmm_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(glmm_clear)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetters},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "corvane._corvane.GlmmCore",
    sizeof(GlmmObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
    kSlots,
};

}  // namespace

PyObject* create_glmm_type(PyObject* module) {
    PyRef type = PyRef::steal(PyType_FromModuleAndSpec(module, &kSpec, nullptr));
    if (!type) return nullptr;
    PyTypeObject* tp = reinterpret_cast<PyTypeObject*>(type.get());
    PyRef doc = PyRef::steal(PyUnicode_FromString(kClassDoc));
    if (!doc || PyDict_SetItemString(tp->tp_dict, "__doc__", doc.get()) < 0) return nullptr;
    PyType_Modified(tp);
    return type.release();
}

}  // namespace corvane::bindings

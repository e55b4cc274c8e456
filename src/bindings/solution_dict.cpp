#include "bindings/solution_dict.hpp"

#include <cmath>
#include <optional>

#include "bindings/args.hpp"
#include "bindings/gil.hpp"
#include "bindings/numpy_api.hpp"
#include "lmm/evaluate.hpp"
#include "lmm/theta_layout.hpp"

namespace corvane::bindings {
namespace {

bool put(PyObject* dict, const char* key, PyObject* value) {
    PyRef owned = PyRef::steal(value);
    return owned && PyDict_SetItemString(dict, key, owned.get()) == 0;
}

npy_intp dim(std::uint64_t v) { return static_cast<npy_intp>(v); }

}  // namespace

PyObject* solution_dict(const lmm::LmmData& d, const std::vector<double>& theta, bool reml,
                        const optim::OptimResult* optim) {
    const std::optional<lmm::EvalResult> r =
        without_gil([&] { return lmm::evaluate(d, theta, reml, lmm::EvalMode::Full); });
    if (!r) {
        PyErr_SetString(PyExc_RuntimeError, "theta is infeasible");
        return nullptr;
    }
    const std::uint64_t p = d.design->p, q = d.design->q, m = d.design->m;
    const std::vector<double> lambda = lmm::theta_to_lambda(theta, q);

    // cov_re = sigma2 * Lambda Lambda'; cov_beta = sigma2 * A^-1; b_i = Lambda u_i.
    std::vector<double> cov_re(q * q), cov_beta(p * p), b(m * q);
    for (std::uint64_t i = 0; i < q; ++i)
        for (std::uint64_t j = 0; j < q; ++j) {
            double s = 0.0;
            for (std::uint64_t k = 0; k < q; ++k) s = s + lambda[i * q + k] * lambda[j * q + k];
            cov_re[i * q + j] = r->sigma2 * s;
        }
    for (std::uint64_t e = 0; e < p * p; ++e) cov_beta[e] = r->sigma2 * r->a_inv[e];
    for (std::uint64_t g = 0; g < m; ++g)
        for (std::uint64_t j = 0; j < q; ++j) {
            double s = 0.0;
            for (std::uint64_t k = 0; k < q; ++k) s = s + lambda[j * q + k] * r->u[g * q + k];
            b[g * q + j] = s;
        }

    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return nullptr;
    PyObject* o = dict.get();
    const bool ok =
        put(o, "theta", new_float_array({dim(theta.size())}, theta.data())) &&
        put(o, "deviance", PyFloat_FromDouble(r->deviance)) &&
        put(o, "grad", new_float_array({dim(r->grad.size())}, r->grad.data())) &&
        put(o, "beta", new_float_array({dim(p)}, r->beta.data())) &&
        put(o, "cov_beta", new_float_array({dim(p), dim(p)}, cov_beta.data())) &&
        put(o, "cov_re", new_float_array({dim(q), dim(q)}, cov_re.data())) &&
        put(o, "random_effects", new_float_array({dim(m), dim(q)}, b.data())) &&
        put(o, "u", new_float_array({dim(m), dim(q)}, r->u.data())) &&
        put(o, "sigma2", PyFloat_FromDouble(r->sigma2)) &&
        put(o, "sigma", PyFloat_FromDouble(std::sqrt(r->sigma2))) &&
        put(o, "pwrss", PyFloat_FromDouble(r->pwrss)) &&
        put(o, "ldl2", PyFloat_FromDouble(r->ldl2)) &&
        put(o, "ldrx2", PyFloat_FromDouble(r->ldrx2)) &&
        put(o, "reml", PyBool_FromLong(reml)) &&
        put(o, "n", PyLong_FromUnsignedLongLong(d.design->n)) &&
        put(o, "p", PyLong_FromUnsignedLongLong(p)) &&
        put(o, "q", PyLong_FromUnsignedLongLong(q)) &&
        put(o, "m", PyLong_FromUnsignedLongLong(m));
    if (!ok) return nullptr;
    if (optim) {
        const bool ok2 = put(o, "converged", PyBool_FromLong(optim->converged)) &&
                         put(o, "iterations", PyLong_FromUnsignedLongLong(optim->iterations)) &&
                         put(o, "fev", PyLong_FromUnsignedLongLong(optim->fev)) &&
                         put(o, "grad_inf_norm", PyFloat_FromDouble(optim->grad_inf_norm)) &&
                         put(o, "message", PyUnicode_FromStringAndSize(optim->message.data(),
                                                                       static_cast<Py_ssize_t>(optim->message.size())));
        if (!ok2) return nullptr;
    }
    return dict.release();
}

}  // namespace corvane::bindings

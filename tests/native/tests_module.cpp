// corvane._corvane_tests: internals of the core exposed to pytest.
//
// Built from the same core library as corvane._corvane, only when testing;
// the package never imports it. Functions take NumPy arrays and return new
// arrays, dicts and ints so tests can compare the internals with references.
#include <atomic>
#include <cmath>
#include <chrono>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "bindings/args.hpp"
#include "bindings/errors.hpp"
#include "bindings/gil.hpp"
#include "bindings/numpy_api.hpp"
#include "linalg/compensated_sum.hpp"
#include "linalg/dense.hpp"
#include "linalg/elementary_arrays.hpp"
#include "linalg/erfc.hpp"
#include "linalg/log_gamma.hpp"
#include "glmm/row_terms.hpp"
#include "linalg/symmetric_eigen.hpp"
#include "lmm/group_lanes.hpp"
#include "lmm/classes.hpp"
#include "lmm/derived.hpp"
#include "lmm/evaluate.hpp"
#include "lmm/profile.hpp"
#include "lmm/lmm_data.hpp"
#include "lmm/theta_layout.hpp"
#include "optim/minimize_bounded.hpp"
#include "optim/trust_region.hpp"
#include "lmm/hessian.hpp"
#include "parallel/pool.hpp"

namespace corvane::bindings {
namespace {

using lmm::Schedule;

bool to_schedule(PyObject* object, Schedule& out) {
    if (!object) return true;
    if (PyUnicode_Check(object)) {
        if (PyUnicode_CompareWithASCIIString(object, "auto") == 0) return out = Schedule::Auto, true;
        if (PyUnicode_CompareWithASCIIString(object, "sequential") == 0)
            return out = Schedule::Sequential, true;
        if (PyUnicode_CompareWithASCIIString(object, "parallel") == 0)
            return out = Schedule::Parallel, true;
    }
    PyErr_SetString(PyExc_ValueError, "route must be 'auto', 'sequential' or 'parallel'");
    return false;
}

PyObject* new_array(std::initializer_list<npy_intp> shape, const double* values) {
    return new_float_array(shape, values);
}

bool set_item(PyObject* dict, const char* key, PyObject* value) {
    PyRef owned = PyRef::steal(value);
    return owned && PyDict_SetItemString(dict, key, owned.get()) == 0;
}

npy_intp as_intp(std::uint64_t v) { return static_cast<npy_intp>(v); }

PyObject* lane_width(PyObject*, PyObject*) {
    return PyLong_FromUnsignedLongLong(lmm::lane_width());
}

// The minimisers' eigen-decomposition of a symmetric matrix (its upper
// triangle read): (values ascending, vectors as columns).
PyObject* symmetric_eigen(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const kNames[] = {"a"};
        PyObject* bound[1];
        PyArrayObject* a = nullptr;
        if (!bind_arguments({"symmetric_eigen", kNames, 1, 1}, args, nargs, kwnames, bound) ||
            !to_array(bound[0], "a", 2, NPY_FLOAT64, a))
            return nullptr;
        const std::size_t n = static_cast<std::size_t>(PyArray_DIM(a, 0));
        if (static_cast<std::size_t>(PyArray_DIM(a, 1)) != n) {
            PyErr_SetString(PyExc_ValueError, "a must be square");
            return nullptr;
        }
        std::vector<double> m(n * n);
        for (std::size_t i = 0; i < n; ++i)
            for (std::size_t j = 0; j < n; ++j)
                m[i * n + j] = *static_cast<const double*>(PyArray_GETPTR2(a, static_cast<npy_intp>(i), static_cast<npy_intp>(j)));
        const linalg::SymmetricEigen e = linalg::symmetric_eigen(m, n);
        PyRef values = PyRef::steal(new_array({as_intp(n)}, e.values.data()));
        PyRef vectors = PyRef::steal(new_array({as_intp(n), as_intp(n)}, e.vectors.data()));
        if (!values || !vectors) return nullptr;
        return PyTuple_Pack(2, values.get(), vectors.get());
    });
}

// exp, expm1, log or log1p of every value of x by one route: "scalar" (the double
// form, value by value), "lanes" (the baseline build's two-wide lanes) or
// "machine" (the array form the core runs: the vector unit's where present).
// The generalized model's row terms over arrays (link "logit", "probit",
// "cloglog", "log", "nb2" or "nb1", the last two at dispersion phi; mode "value", "full" or "third") by the one-row, two-lane
// or machine route: a dict of the filled terms and "ok"; with `delta`, the
// log-density's changes ("change") instead.
PyObject* glmm_row_terms(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const kNames[] = {"link", "mode", "eta", "y", "w", "route", "delta", "phi"};
        PyObject* bound[8];
        PyArrayObject *ea = nullptr, *ya = nullptr, *wa = nullptr, *da = nullptr;
        if (!bind_arguments({"glmm_row_terms", kNames, 8, 6}, args, nargs, kwnames, bound) ||
            !to_array(bound[2], "eta", 1, NPY_FLOAT64, ea) || !to_array(bound[3], "y", 1, NPY_FLOAT64, ya) ||
            !to_array(bound[4], "w", 1, NPY_FLOAT64, wa) ||
            (bound[6] && !to_array(bound[6], "delta", 1, NPY_FLOAT64, da)))
            return nullptr;
        const auto is = [](PyObject* o, const char* text) {
            return PyUnicode_Check(o) && PyUnicode_CompareWithASCIIString(o, text) == 0;
        };
        const glmm::Link link = is(bound[0], "logit") ? glmm::Link::Logit
                                : is(bound[0], "probit") ? glmm::Link::Probit
                                : is(bound[0], "cloglog") ? glmm::Link::Cloglog
                                : is(bound[0], "nb2")     ? glmm::Link::NegBinLog
                                : is(bound[0], "nb1")     ? glmm::Link::NegBin1Log
                                                          : glmm::Link::Log;
        glmm::RowParams rp;
        if (bound[7] && bound[7] != Py_None) {
            rp.phi = PyFloat_AsDouble(bound[7]);
            if (rp.phi == -1.0 && PyErr_Occurred()) return nullptr;
            rp.log_phi = std::log(rp.phi);
            rp.log1p_phi = std::log1p(rp.phi);
        }
        const glmm::RowMode mode = is(bound[1], "value") ? glmm::RowMode::Value
                                   : is(bound[1], "full") ? glmm::RowMode::Full
                                                          : glmm::RowMode::Third;
        const std::size_t n = static_cast<std::size_t>(PyArray_DIM(ea, 0));
        if (static_cast<std::size_t>(PyArray_DIM(ya, 0)) != n || static_cast<std::size_t>(PyArray_DIM(wa, 0)) != n ||
            (da && static_cast<std::size_t>(PyArray_DIM(da, 0)) != n)) {
            PyErr_SetString(PyExc_ValueError, "eta, y, w (and delta) must have one length");
            return nullptr;
        }
        const auto copy = [n](PyArrayObject* a) {
            std::vector<double> v(n);
            for (std::size_t i = 0; i < n; ++i)
                v[i] = *static_cast<const double*>(PyArray_GETPTR1(a, static_cast<npy_intp>(i)));
            return v;
        };
        const std::vector<double> eta = copy(ea), y = copy(ya), w = copy(wa);
        glmm::RowKernels k;
        if (is(bound[5], "scalar")) k = {&glmm::row_terms_array<1>, &glmm::loglik_change_array<1>, 1};
        else if (is(bound[5], "lanes")) k = {&glmm::row_terms_array<2>, &glmm::loglik_change_array<2>, 2};
        else k = glmm::row_kernels();
        PyRef out = PyRef::steal(PyDict_New());
        if (!out) return nullptr;
        if (da) {
            const std::vector<double> delta = copy(da);
            std::vector<double> change(n);
            k.change(link, eta.data(), delta.data(), y.data(), w.data(), n, change.data(), rp);
            if (!set_item(out.get(), "change", new_array({as_intp(n)}, change.data()))) return nullptr;
            return out.release();
        }
        std::vector<std::vector<double>> t(7, std::vector<double>(n));
        const glmm::RowArrays arrays{t[0].data(), t[1].data(), t[2].data(), t[3].data(),
                                     t[4].data(), t[5].data(), t[6].data()};
        const bool ok = k.terms(link, mode, eta.data(), y.data(), w.data(), n, arrays, rp);
        static const char* const kTerms[] = {"loglik", "d1", "d2", "fisher", "fisher1", "d3", "fisher2"};
        const int filled = mode == glmm::RowMode::Value ? 1 : mode == glmm::RowMode::Full ? 5 : 7;
        for (int j = 0; j < filled; ++j)
            if (!set_item(out.get(), kTerms[j], new_array({as_intp(n)}, t[j].data()))) return nullptr;
        if (!set_item(out.get(), "ok", PyBool_FromLong(ok))) return nullptr;
        return out.release();
    });
}

PyObject* elementary(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const kNames[] = {"name", "x", "route"};
        PyObject* bound[3];
        PyArrayObject* a = nullptr;
        if (!bind_arguments({"elementary", kNames, 3, 3}, args, nargs, kwnames, bound) ||
            !to_array(bound[1], "x", 1, NPY_FLOAT64, a))
            return nullptr;
        const auto is = [](PyObject* o, const char* text) {
            return PyUnicode_Check(o) && PyUnicode_CompareWithASCIIString(o, text) == 0;
        };
        const std::size_t n = static_cast<std::size_t>(PyArray_DIM(a, 0));
        if (is(bound[0], "erfc") || is(bound[0], "lgamma")) {  // one route each: scalar functions
            const bool erfc = is(bound[0], "erfc");
            std::vector<double> out(n);
            for (std::size_t i = 0; i < n; ++i) {
                const double v = *static_cast<const double*>(PyArray_GETPTR1(a, static_cast<npy_intp>(i)));
                out[i] = erfc ? linalg::erfc_of(v) : linalg::log_gamma_of(v);
            }
            return new_array({as_intp(n)}, out.data());
        }
        linalg::Elementary which;
        if (is(bound[0], "exp")) which = linalg::Elementary::Exp;
        else if (is(bound[0], "expm1")) which = linalg::Elementary::Expm1;
        else if (is(bound[0], "log")) which = linalg::Elementary::Log;
        else if (is(bound[0], "log1p")) which = linalg::Elementary::Log1p;
        else {
            PyErr_SetString(PyExc_ValueError, "name must be 'exp', 'expm1', 'log', 'log1p', 'erfc' or 'lgamma'");
            return nullptr;
        }
        std::vector<double> x(n), out(n);
        for (std::size_t i = 0; i < n; ++i)
            x[i] = *static_cast<const double*>(PyArray_GETPTR1(a, static_cast<npy_intp>(i)));
        if (is(bound[2], "scalar")) {
            linalg::elementary_array<1>(which, x.data(), out.data(), n);
        } else if (is(bound[2], "lanes")) {
            linalg::elementary_array<2>(which, x.data(), out.data(), n);
        } else if (is(bound[2], "machine")) {
            lmm::elementary_arrays().apply(which, x.data(), out.data(), n);
        } else {
            PyErr_SetString(PyExc_ValueError, "route must be 'scalar', 'lanes' or 'machine'");
            return nullptr;
        }
        return new_array({as_intp(n)}, out.data());
    });
}

PyObject* pool_threads(PyObject*, PyObject*) {
    return guarded([] { return PyLong_FromSize_t(parallel::thread_count()); });
}

// Items 0..n-1 on the pool, each returning i*i after `work` dummy steps.
PyObject* pool_map(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const kNames[] = {"n", "work"};
        PyObject* bound[2];
        std::uint64_t n = 0, work = 0;
        if (!bind_arguments({"pool_map", kNames, 2, 1}, args, nargs, kwnames, bound) ||
            !to_uint64(bound[0], "n", n) || (bound[1] && !to_uint64(bound[1], "work", work)))
            return nullptr;
        std::vector<std::uint64_t> out;
        without_gil([&] {
            out = parallel::parallel_map<std::uint64_t>(n, [&](std::size_t i) {
                volatile std::uint64_t sink = 0;
                for (std::uint64_t k = 0; k < work; ++k) sink = sink + k;
                return static_cast<std::uint64_t>(i) * i;
            });
        });
        PyRef list = PyRef::steal(PyList_New(as_intp(n)));
        if (!list) return nullptr;
        for (std::uint64_t i = 0; i < n; ++i) {
            PyObject* item = PyLong_FromUnsignedLongLong(out[i]);
            if (!item) return nullptr;
            PyList_SET_ITEM(list.get(), as_intp(i), item);
        }
        return list.release();
    });
}

// Distinct OS threads that ran at least one of n items.
PyObject* pool_map_threads(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const kNames[] = {"n", "work"};
        PyObject* bound[2];
        std::uint64_t n = 0, work = 1000;
        if (!bind_arguments({"pool_map_threads", kNames, 2, 1}, args, nargs, kwnames, bound) ||
            !to_uint64(bound[0], "n", n) || (bound[1] && !to_uint64(bound[1], "work", work)))
            return nullptr;
        std::mutex mutex;
        std::set<std::thread::id> ids;
        without_gil([&] {
            parallel::parallel_for(n, [&](std::size_t) {
                volatile std::uint64_t sink = 0;
                for (std::uint64_t k = 0; k < work; ++k) sink = sink + k;
                std::lock_guard<std::mutex> lock(mutex);
                ids.insert(std::this_thread::get_id());
            });
        });
        return PyLong_FromSize_t(ids.size());
    });
}

// Every one of n items allocates `bytes` bytes and writes them (so that
// allocation failures happen on the pool's workers too); returns the number
// of distinct threads that ran an item, or raises MemoryError.
PyObject* pool_alloc(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const kNames[] = {"n", "bytes"};
        PyObject* bound[2];
        std::uint64_t n = 0, bytes = 0;
        if (!bind_arguments({"pool_alloc", kNames, 2, 2}, args, nargs, kwnames, bound) ||
            !to_uint64(bound[0], "n", n) || !to_uint64(bound[1], "bytes", bytes))
            return nullptr;
        std::mutex mutex;
        std::set<std::thread::id> ids;
        without_gil([&] {
            parallel::parallel_for(n, [&](std::size_t) {
                // Long enough that the workers wake up and take items.
                const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(200);
                while (std::chrono::steady_clock::now() < until) {
                }
                std::vector<char> block(bytes, 1);
                volatile char sink = block.empty() ? 0 : block.back();
                (void)sink;
                std::lock_guard<std::mutex> lock(mutex);
                ids.insert(std::this_thread::get_id());
            });
        });
        return PyLong_FromSize_t(ids.size());
    });
}

PyObject* prepare(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const kNames[] = {"y", "x", "z", "codes", "n_groups", "route"};
        PyObject* bound[6];
        RowArrays arrays;
        lmm::RowsView view;
        std::uint64_t m = 0;
        Schedule schedule = Schedule::Auto;
        if (!bind_arguments({"prepare", kNames, 6, 5}, args, nargs, kwnames, bound) ||
            !to_row_arrays(bound[0], bound[1], bound[2], bound[3], arrays) ||
            !to_uint64(bound[4], "n_groups", m) || !to_schedule(bound[5], schedule) ||
            !rows(arrays, view) || !check_dimensions(view, m))
            return nullptr;
        std::unique_ptr<lmm::LmmData> d;
        without_gil([&] {
            d = lmm::LmmData::from_rows(view, m, schedule);
        });
        const npy_intp p = as_intp(d->design->p), q = as_intp(d->design->q), mm = as_intp(d->design->m);
        PyRef dict = PyRef::steal(PyDict_New());
        PyRef pairs = PyRef::steal(PyList_New(0));
        if (!dict || !pairs) return nullptr;
        for (const lmm::ThetaPair& pair : d->design->theta_pairs) {
            PyRef item = PyRef::steal(Py_BuildValue("(KK)", pair.row, pair.col));
            if (!item || PyList_Append(pairs.get(), item.get()) < 0) return nullptr;
        }
        if (!set_item(dict.get(), "xtx", new_array({p, p}, d->design->xtx.data())) ||
            !set_item(dict.get(), "xty", new_array({p}, d->response.xty.data())) ||
            !set_item(dict.get(), "yty", PyFloat_FromDouble(d->response.yty)) ||
            !set_item(dict.get(), "ztz", new_array({mm, q, q}, d->design->ztz.data())) ||
            !set_item(dict.get(), "ztx", new_array({mm, q, p}, d->design->ztx.data())) ||
            !set_item(dict.get(), "zty", new_array({mm, q}, d->response.zty.data())) ||
            !set_item(dict.get(), "codes_fingerprint", PyLong_FromUnsignedLongLong(d->design->codes_fingerprint)) ||
            !set_item(dict.get(), "theta_pairs", pairs.release()) ||
            !set_item(dict.get(), "n", PyLong_FromUnsignedLongLong(d->design->n)) ||
            !set_item(dict.get(), "p", PyLong_FromUnsignedLongLong(d->design->p)) ||
            !set_item(dict.get(), "q", PyLong_FromUnsignedLongLong(d->design->q)) ||
            !set_item(dict.get(), "m", PyLong_FromUnsignedLongLong(d->design->m)))
            return nullptr;
        return dict.release();
    });
}

PyObject* fixed_products(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const kNames[] = {"y", "x", "with_xtx", "route"};
        PyObject* bound[4];
        PyArrayObject *y = nullptr, *x = nullptr;
        bool with_xtx = true;
        Schedule schedule = Schedule::Auto;
        if (!bind_arguments({"fixed_products", kNames, 4, 2}, args, nargs, kwnames, bound) ||
            !to_array(bound[0], "y", 1, NPY_FLOAT64, y) || !to_array(bound[1], "x", 2, NPY_FLOAT64, x) ||
            (bound[2] && !to_bool(bound[2], "with_xtx", with_xtx)) || !to_schedule(bound[3], schedule))
            return nullptr;
        if (!PyArray_IS_C_CONTIGUOUS(y) || !PyArray_IS_C_CONTIGUOUS(x) ||
            PyArray_DIM(x, 0) != PyArray_DIM(y, 0)) {
            PyErr_SetString(PyExc_ValueError, "y and x must be C-contiguous with equal rows");
            return nullptr;
        }
        const std::uint64_t n = PyArray_DIM(y, 0), p = PyArray_DIM(x, 1);
        lmm::FixedProducts f;
        without_gil([&] {
            f = lmm::fixed_products(static_cast<const double*>(PyArray_DATA(y)), n,
                                    static_cast<const double*>(PyArray_DATA(x)), p, with_xtx, schedule);
        });
        PyRef xtx = PyRef::steal(new_array({as_intp(p), as_intp(p)}, f.xtx.data()));
        PyRef xty = PyRef::steal(new_array({as_intp(p)}, f.xty.data()));
        if (!xtx || !xty) return nullptr;
        return Py_BuildValue("(OOd)", xtx.get(), xty.get(), f.yty);
    });
}

PyObject* codes_fingerprint(PyObject*, PyObject* object) {
    return guarded([&]() -> PyObject* {
        PyArrayObject* codes = nullptr;
        if (!to_array(object, "codes", 1, NPY_INT64, codes)) return nullptr;
        if (!PyArray_IS_C_CONTIGUOUS(codes)) {
            PyErr_SetString(PyExc_ValueError, "codes must be contiguous");
            return nullptr;
        }
        return PyLong_FromUnsignedLongLong(lmm::codes_fingerprint(
            static_cast<const std::int64_t*>(PyArray_DATA(codes)), PyArray_DIM(codes, 0)));
    });
}

PyObject* theta_index(PyObject*, PyObject* object) {
    return guarded([&]() -> PyObject* {
        std::uint64_t q = 0;
        if (!to_uint64(object, "q", q)) return nullptr;
        PyRef list = PyRef::steal(PyList_New(0));
        if (!list) return nullptr;
        for (const lmm::ThetaPair& pair : lmm::theta_index(q)) {
            PyRef item = PyRef::steal(Py_BuildValue("(KK)", pair.row, pair.col));
            if (!item || PyList_Append(list.get(), item.get()) < 0) return nullptr;
        }
        return list.release();
    });
}

PyObject* class_limit(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const kNames[] = {"m", "p", "q"};
        PyObject* bound[3];
        std::uint64_t m = 0, p = 0, q = 0;
        if (!bind_arguments({"class_limit", kNames, 3, 3}, args, nargs, kwnames, bound) ||
            !to_uint64(bound[0], "m", m) || !to_uint64(bound[1], "p", p) || !to_uint64(bound[2], "q", q))
            return nullptr;
        return PyLong_FromUnsignedLongLong(lmm::class_limit(m, p, q));
    });
}

// ztz (m,q,q), ztx (m,q,p), zty (m,q): C-contiguous float64 blocks.
struct Blocks {
    const double *ztz, *ztx, *zty;
    std::uint64_t m, p, q;
};

bool to_blocks(PyObject* ztz_obj, PyObject* ztx_obj, PyObject* zty_obj, Blocks& out) {
    PyArrayObject *ztz = nullptr, *ztx = nullptr, *zty = nullptr;
    if (!to_array(ztz_obj, "ztz", 3, NPY_FLOAT64, ztz) || !to_array(ztx_obj, "ztx", 3, NPY_FLOAT64, ztx) ||
        !to_array(zty_obj, "zty", 2, NPY_FLOAT64, zty))
        return false;
    const npy_intp m = PyArray_DIM(ztz, 0), q = PyArray_DIM(ztz, 1);
    if (!PyArray_IS_C_CONTIGUOUS(ztz) || !PyArray_IS_C_CONTIGUOUS(ztx) || !PyArray_IS_C_CONTIGUOUS(zty) ||
        PyArray_DIM(ztz, 2) != q || PyArray_DIM(ztx, 0) != m || PyArray_DIM(ztx, 1) != q ||
        PyArray_DIM(zty, 0) != m || PyArray_DIM(zty, 1) != q || m < 1 || q < 1) {
        PyErr_SetString(PyExc_ValueError, "blocks must be C-contiguous (m,q,q), (m,q,p), (m,q)");
        return false;
    }
    out = {static_cast<const double*>(PyArray_DATA(ztz)), static_cast<const double*>(PyArray_DATA(ztx)),
           static_cast<const double*>(PyArray_DATA(zty)), static_cast<std::uint64_t>(m),
           static_cast<std::uint64_t>(PyArray_DIM(ztx, 2)), static_cast<std::uint64_t>(q)};
    return true;
}

// The class record with its sums over [X y] reassembled as full (p+1) x (p+1)
// blocks (upper triangle), the design part and the response's last column.
PyObject* classes_dict(const lmm::Classes& c, const std::vector<double>& ysums, std::uint64_t q,
                       std::uint64_t p) {
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return nullptr;
    const npy_intp k = as_intp(c.n_classes), qq = as_intp(q), p1 = as_intp(p + 1);
    npy_intp m = as_intp(c.assignment.size());
    PyRef assignment = PyRef::steal(PyArray_SimpleNew(1, &m, NPY_UINT32));
    if (!assignment) return nullptr;
    std::copy(c.assignment.begin(), c.assignment.end(),
              static_cast<std::uint32_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(assignment.get()))));
    const std::uint64_t n1 = p + 1, blocks = c.n_classes * q * q;
    std::vector<double> sums(blocks * n1 * n1, 0.0);
    for (std::uint64_t b = 0; b < blocks; ++b)
        for (std::uint64_t x = 0; x < n1; ++x)
            for (std::uint64_t y = x; y < n1; ++y)
                sums[(b * n1 + x) * n1 + y] = y < p ? c.xsums[(b * p + x) * p + y] : ysums[b * n1 + x];
    if (!set_item(dict.get(), "counts", new_array({k}, c.counts.data())) ||
        !set_item(dict.get(), "class_ztz", new_array({k, qq, qq}, c.class_ztz.data())) ||
        !set_item(dict.get(), "sums", new_array({k, qq, qq, p1, p1}, sums.data())) ||
        !set_item(dict.get(), "assignment", assignment.release()) ||
        !set_item(dict.get(), "n_classes", PyLong_FromUnsignedLongLong(c.n_classes)))
        return nullptr;
    return dict.release();
}

PyObject* classes_build(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const kNames[] = {"ztz", "ztx", "zty", "class_limit", "route"};
        PyObject* bound[5];
        Blocks b{};
        std::optional<std::uint64_t> limit;
        Schedule schedule = Schedule::Auto;
        if (!bind_arguments({"classes_build", kNames, 5, 3}, args, nargs, kwnames, bound) ||
            !to_blocks(bound[0], bound[1], bound[2], b) || !to_schedule(bound[4], schedule))
            return nullptr;
        if (bound[3] && bound[3] != Py_None) {
            std::uint64_t value = 0;
            if (!to_uint64(bound[3], "class_limit", value)) return nullptr;
            limit = value;
        }
        std::optional<lmm::Classes> classes;
        std::vector<double> ysums;
        without_gil([&] {
            classes = lmm::Classes::build(b.q, b.p, b.m, b.ztz, b.ztx, limit, schedule);
            if (classes) ysums = lmm::class_response_sums(*classes, b.q, b.p, b.ztx, b.zty, schedule);
        });
        if (!classes) Py_RETURN_NONE;
        return classes_dict(*classes, ysums, b.q, b.p);
    });
}

PyObject* classes_with_assignment(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const kNames[] = {"ztz", "ztx", "zty", "assignment", "n_classes", "route"};
        PyObject* bound[6];
        Blocks b{};
        PyArrayObject* assignment_array = nullptr;
        std::uint64_t n_classes = 0;
        Schedule schedule = Schedule::Auto;
        if (!bind_arguments({"classes_with_assignment", kNames, 6, 5}, args, nargs, kwnames, bound) ||
            !to_blocks(bound[0], bound[1], bound[2], b) ||
            !to_array(bound[3], "assignment", 1, NPY_UINT32, assignment_array) ||
            !to_uint64(bound[4], "n_classes", n_classes) || !to_schedule(bound[5], schedule))
            return nullptr;
        if (!PyArray_IS_C_CONTIGUOUS(assignment_array) ||
            static_cast<std::uint64_t>(PyArray_DIM(assignment_array, 0)) != b.m) {
            PyErr_SetString(PyExc_ValueError, "assignment must be contiguous with m entries");
            return nullptr;
        }
        const auto* data = static_cast<const std::uint32_t*>(PyArray_DATA(assignment_array));
        std::vector<std::uint32_t> assignment(data, data + b.m);
        std::vector<std::uint64_t> representatives(n_classes, b.m);
        for (std::uint64_t i = 0; i < b.m; ++i) {
            if (assignment[i] >= n_classes) {
                PyErr_SetString(PyExc_ValueError, "class number out of range");
                return nullptr;
            }
            if (representatives[assignment[i]] == b.m) representatives[assignment[i]] = i;
        }
        for (std::uint64_t r : representatives) {
            if (r == b.m) {
                PyErr_SetString(PyExc_ValueError, "every class needs a group");
                return nullptr;
            }
        }
        lmm::Classes classes;
        std::vector<double> ysums;
        without_gil([&] {
            classes = lmm::Classes::with_assignment(b.q, b.p, b.ztz, b.ztx, std::move(assignment),
                                                    representatives, n_classes, schedule);
            ysums = lmm::class_response_sums(classes, b.q, b.p, b.ztx, b.zty, schedule);
        });
        return classes_dict(classes, ysums, b.q, b.p);
    });
}


// A C-contiguous float64 array of 1 or 2 dimensions, copied.
struct Matrix {
    std::vector<double> data;
    npy_intp rows = 0, cols = 0;
    int ndim = 0;
};

bool to_matrix(PyObject* object, const char* name, Matrix& out) {
    PyRef array = PyRef::steal(PyArray_FROMANY(object, NPY_FLOAT64, 1, 2, NPY_ARRAY_CARRAY_RO));
    if (!array) return false;
    PyArrayObject* a = reinterpret_cast<PyArrayObject*>(array.get());
    out.ndim = PyArray_NDIM(a);
    out.rows = PyArray_DIM(a, 0);
    out.cols = out.ndim == 2 ? PyArray_DIM(a, 1) : 1;
    const double* d = static_cast<const double*>(PyArray_DATA(a));
    out.data.assign(d, d + out.rows * out.cols);
    (void)name;
    return true;
}

PyObject* matrix_array(const Matrix& m) {
    if (m.ndim == 1) return new_array({m.rows}, m.data.data());
    return new_array({m.rows, m.cols}, m.data.data());
}

bool square(const Matrix& m) {
    if (m.ndim == 2 && m.rows == m.cols) return true;
    PyErr_SetString(PyExc_ValueError, "a square matrix is required");
    return false;
}

// cholesky(a) -> the factor, or None when a pivot fails.
PyObject* cholesky(PyObject*, PyObject* object) {
    return guarded([&]() -> PyObject* {
        Matrix a;
        if (!to_matrix(object, "a", a) || !square(a)) return nullptr;
        if (!linalg::cholesky(a.data.data(), a.rows)) Py_RETURN_NONE;
        return matrix_array(a);
    });
}

// Solves with a factor: kind 0 forward, 1 back; b a vector or a matrix.
PyObject* solve(PyObject* args, int kind) {
    PyObject *l_obj, *b_obj;
    if (!PyArg_ParseTuple(args, "OO", &l_obj, &b_obj)) return nullptr;
    Matrix l, b;
    if (!to_matrix(l_obj, "l", l) || !square(l) || !to_matrix(b_obj, "b", b)) return nullptr;
    if (b.rows != l.rows) {
        PyErr_SetString(PyExc_ValueError, "shapes do not match");
        return nullptr;
    }
    const std::uint64_t n = l.rows;
    if (b.ndim == 1) {
        if (kind == 0) linalg::forward_solve(l.data.data(), b.data.data(), n);
        else linalg::back_solve(l.data.data(), b.data.data(), n);
    } else {
        if (kind == 0) linalg::forward_solve_matrix(l.data.data(), b.data.data(), b.cols, n);
        else linalg::back_solve_matrix(l.data.data(), b.data.data(), b.cols, n);
    }
    return matrix_array(b);
}

PyObject* forward_solve(PyObject*, PyObject* args) {
    return guarded([&] { return solve(args, 0); });
}
PyObject* back_solve(PyObject*, PyObject* args) {
    return guarded([&] { return solve(args, 1); });
}

PyObject* inverse_from_cholesky(PyObject*, PyObject* object) {
    return guarded([&]() -> PyObject* {
        Matrix l;
        if (!to_matrix(object, "l", l) || !square(l)) return nullptr;
        Matrix x = l;
        linalg::inverse_from_cholesky(l.data.data(), x.data.data(), l.rows);
        return matrix_array(x);
    });
}

PyObject* log_det(PyObject*, PyObject* object) {
    return guarded([&]() -> PyObject* {
        Matrix l;
        if (!to_matrix(object, "l", l) || !square(l)) return nullptr;
        return PyFloat_FromDouble(linalg::log_det(l.data.data(), l.rows));
    });
}

// product(a, b, transposed=False): a b, or a' b, skipping zero entries of a.
PyObject* product(PyObject*, PyObject* args) {
    return guarded([&]() -> PyObject* {
        PyObject *a_obj, *b_obj;
        int transposed = 0;
        if (!PyArg_ParseTuple(args, "OO|p", &a_obj, &b_obj, &transposed)) return nullptr;
        Matrix a, b;
        if (!to_matrix(a_obj, "a", a) || !to_matrix(b_obj, "b", b)) return nullptr;
        if (a.ndim != 2 || b.ndim != 2 || (transposed ? a.rows : a.cols) != b.rows) {
            PyErr_SetString(PyExc_ValueError, "shapes do not match");
            return nullptr;
        }
        Matrix c;
        c.ndim = 2;
        c.rows = transposed ? a.cols : a.rows;
        c.cols = b.cols;
        c.data.resize(c.rows * c.cols);
        if (transposed)
            linalg::product_transposed(a.data.data(), b.data.data(), c.data.data(), a.rows, a.cols, b.cols);
        else
            linalg::product(a.data.data(), b.data.data(), c.data.data(), a.rows, a.cols, b.cols);
        return matrix_array(c);
    });
}

// compensated_sum(values, parts=1) -> (hi, lo): the values added one by one,
// cut into `parts` consecutive runs whose sums are merged in order.
PyObject* compensated_sum(PyObject*, PyObject* args) {
    return guarded([&]() -> PyObject* {
        PyObject* values_obj;
        Py_ssize_t parts = 1;
        if (!PyArg_ParseTuple(args, "O|n", &values_obj, &parts)) return nullptr;
        std::vector<double> values;
        if (!to_doubles(values_obj, "values", values)) return nullptr;
        if (parts < 1) parts = 1;
        linalg::CompensatedSum total;
        const std::size_t per = (values.size() + parts - 1) / parts;
        for (std::size_t start = 0; start < values.size(); start += std::max<std::size_t>(per, 1)) {
            linalg::CompensatedSum part;
            for (std::size_t i = start; i < std::min(values.size(), start + per); ++i) part.add(values[i]);
            total.merge(part);
        }
        return Py_BuildValue("(dd)", total.hi, total.lo);
    });
}

PyObject* result_dict(const lmm::EvalResult& r) {
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return nullptr;
    auto vec = [](const std::vector<double>& v) { return new_array({as_intp(v.size())}, v.data()); };
    if (!set_item(dict.get(), "grad", vec(r.grad)) || !set_item(dict.get(), "beta", vec(r.beta)) ||
        !set_item(dict.get(), "u", vec(r.u)) || !set_item(dict.get(), "a_inv", vec(r.a_inv)) ||
        !set_item(dict.get(), "deviance", PyFloat_FromDouble(r.deviance)) ||
        !set_item(dict.get(), "sigma2", PyFloat_FromDouble(r.sigma2)) ||
        !set_item(dict.get(), "pwrss", PyFloat_FromDouble(r.pwrss)) ||
        !set_item(dict.get(), "ldl2", PyFloat_FromDouble(r.ldl2)) ||
        !set_item(dict.get(), "ldrx2", PyFloat_FromDouble(r.ldrx2)))
        return nullptr;
    return dict.release();
}

// profile(a, c, n, reml, r2, ldl2) -> dict (beta, factor, ldrx2, pwrss, nmp,
// deviance) or None when infeasible.
PyObject* profile(PyObject*, PyObject* args) {
    return guarded([&]() -> PyObject* {
        PyObject *a_obj, *c_obj;
        unsigned long long n = 0;
        int reml = 1;
        double r2 = 0, ldl2 = 0;
        if (!PyArg_ParseTuple(args, "OOKpdd", &a_obj, &c_obj, &n, &reml, &r2, &ldl2)) return nullptr;
        Matrix a, c;
        if (!to_matrix(a_obj, "a", a) || !square(a) || !to_matrix(c_obj, "c", c)) return nullptr;
        if (c.ndim != 1 || c.rows != a.rows) {
            PyErr_SetString(PyExc_ValueError, "shapes do not match");
            return nullptr;
        }
        lmm::Design design;
        design.n = n;
        design.p = a.rows;
        std::optional<lmm::Profile> prof =
            lmm::profile(design, std::move(a.data), std::move(c.data), reml != 0, r2, ldl2);
        if (!prof) Py_RETURN_NONE;
        const npy_intp p = as_intp(design.p);
        PyRef dict = PyRef::steal(PyDict_New());
        if (!dict || !set_item(dict.get(), "beta", new_array({p}, prof->beta.data())) ||
            !set_item(dict.get(), "factor", new_array({p, p}, prof->factor.data())) ||
            !set_item(dict.get(), "ldrx2", PyFloat_FromDouble(prof->ldrx2)) ||
            !set_item(dict.get(), "pwrss", PyFloat_FromDouble(prof->pwrss)) ||
            !set_item(dict.get(), "nmp", PyFloat_FromDouble(prof->nmp)) ||
            !set_item(dict.get(), "deviance", PyFloat_FromDouble(prof->deviance)))
            return nullptr;
        return dict.release();
    });
}

// evaluate(y, x, z, codes, n_groups, theta, reml=True, mode="value",
//          evaluator="blocks", route="auto", generic=False, lanes=True) -> dict or None.
PyObject* evaluate(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const kNames[] = {"y", "x", "z", "codes", "n_groups", "theta",
                                             "reml", "mode", "evaluator", "route", "generic", "lanes"};
        PyObject* bound[12];
        RowArrays arrays;
        lmm::RowsView view;
        std::uint64_t m = 0;
        std::vector<double> theta;
        bool reml = true, generic = false;
        lmm::EvaluatorKind kind = lmm::EvaluatorKind::Blocks;
        lmm::EvalOptions options;
        lmm::EvalMode mode = lmm::EvalMode::ValueOnly;
        if (!bind_arguments({"evaluate", kNames, 12, 6}, args, nargs, kwnames, bound) ||
            !to_row_arrays(bound[0], bound[1], bound[2], bound[3], arrays) ||
            !to_uint64(bound[4], "n_groups", m) || !to_doubles(bound[5], "theta", theta) ||
            (bound[6] && !to_bool(bound[6], "reml", reml)) ||
            (bound[8] && !to_evaluator(bound[8], kind)) || !to_schedule(bound[9], options.schedule) ||
            (bound[10] && !to_bool(bound[10], "generic", generic)) ||
            (bound[11] && !to_bool(bound[11], "lanes", options.lanes)) || !rows(arrays, view) ||
            !check_dimensions(view, m))
            return nullptr;
        if (bound[7]) {
            if (PyUnicode_CompareWithASCIIString(bound[7], "value") == 0) mode = lmm::EvalMode::ValueOnly;
            else if (PyUnicode_CompareWithASCIIString(bound[7], "gradient") == 0) mode = lmm::EvalMode::WithGradient;
            else if (PyUnicode_CompareWithASCIIString(bound[7], "full") == 0) mode = lmm::EvalMode::Full;
            else {
                PyErr_SetString(PyExc_ValueError, "mode must be 'value', 'gradient' or 'full'");
                return nullptr;
            }
        }
        options.generic = generic;
        lmm::check_theta(theta, view.q);
        std::optional<lmm::EvalResult> result;
        without_gil([&] {
            std::unique_ptr<lmm::LmmData> d = lmm::prepare(view, m, kind);
            result = lmm::evaluate(*d, theta, reml, mode, options);
        });
        if (!result) Py_RETURN_NONE;
        return result_dict(*result);
    });
}

// minimize(fun, x0, lower, max_iter=300, gtol=1e-8, ftol=1e-12) -> dict.
// fun(x: list) returns (f, g) or None for an infeasible point; it runs with
// the interpreter lock held, and an exception it raises ends the search.
// hessian(y, x, z, codes, n_groups, theta, reml, evaluator, route, generic,
//         lanes=True, fixed_block=False)
// -> (deviance, grad, hess), with fixed_block also (pwrss_grad, beta_grad,
// xvx_grad), or None when infeasible.
PyObject* hessian(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const kNames[] = {"y", "x", "z", "codes", "n_groups", "theta",
                                             "reml", "evaluator", "route", "generic", "lanes", "fixed_block"};
        PyObject* bound[12];
        RowArrays arrays;
        lmm::RowsView view;
        std::uint64_t m = 0;
        std::vector<double> theta;
        bool reml = true, generic = false, fixed_block = false;
        lmm::EvaluatorKind kind = lmm::EvaluatorKind::Blocks;
        lmm::EvalOptions options;
        if (!bind_arguments({"hessian", kNames, 12, 6}, args, nargs, kwnames, bound) ||
            !to_row_arrays(bound[0], bound[1], bound[2], bound[3], arrays) ||
            !to_uint64(bound[4], "n_groups", m) || !to_doubles(bound[5], "theta", theta) ||
            (bound[6] && !to_bool(bound[6], "reml", reml)) ||
            (bound[7] && !to_evaluator(bound[7], kind)) || !to_schedule(bound[8], options.schedule) ||
            (bound[9] && !to_bool(bound[9], "generic", generic)) ||
            (bound[10] && !to_bool(bound[10], "lanes", options.lanes)) ||
            (bound[11] && !to_bool(bound[11], "fixed_block", fixed_block)) || !rows(arrays, view) ||
            !check_dimensions(view, m))
            return nullptr;
        options.generic = generic;
        lmm::check_theta(theta, view.q);
        std::optional<lmm::HessianResult> h;
        without_gil([&] {
            std::unique_ptr<lmm::LmmData> d = lmm::prepare(view, m, kind);
            h = lmm::evaluate_hessian(*d, theta, reml, options, fixed_block);
        });
        if (!h) Py_RETURN_NONE;
        const npy_intp k = as_intp(theta.size());
        PyRef grad = PyRef::steal(new_array({k}, h->grad.data()));
        PyRef hess = PyRef::steal(new_array({k, k}, h->hess.data()));
        if (!grad || !hess) return nullptr;
        if (!fixed_block) return Py_BuildValue("(dOO)", h->deviance, grad.get(), hess.get());
        const npy_intp p = as_intp(view.p);
        PyRef pwrss_grad = PyRef::steal(new_array({k}, h->pwrss_grad.data()));
        PyRef beta_grad = PyRef::steal(new_array({k, p}, h->beta_grad.data()));
        PyRef xvx_grad = PyRef::steal(new_array({k, p, p}, h->xvx_grad.data()));
        if (!pwrss_grad || !beta_grad || !xvx_grad) return nullptr;
        return Py_BuildValue("(dOOOOO)", h->deviance, grad.get(), hess.get(), pwrss_grad.get(), beta_grad.get(),
                             xvx_grad.get());
    });
}

// canonical_theta(theta, q) -> list
PyObject* canonical_theta(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const kNames[] = {"theta", "q"};
        PyObject* bound[2];
        std::vector<double> theta;
        std::uint64_t q = 0;
        if (!bind_arguments({"canonical_theta", kNames, 2, 2}, args, nargs, kwnames, bound) ||
            !to_doubles(bound[0], "theta", theta) || !to_uint64(bound[1], "q", q))
            return nullptr;
        lmm::check_theta(theta, q);
        return float_list(lmm::canonical_theta(theta, q));
    });
}

// trust_minimize(fun, x0, lower, tied=None, max_iter=200, gtol=1e-10): fun(x)
// returns (f, g, H) or None (infeasible); tied lists, per variable, the
// variables held with it at its bound.
PyObject* trust_minimize(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const kNames[] = {"fun", "x0", "lower", "tied", "max_iter", "gtol"};
        PyObject* bound[6];
        std::vector<double> x0, lower;
        optim::TrustRegionOptions options;
        if (!bind_arguments({"trust_minimize", kNames, 6, 3}, args, nargs, kwnames, bound) ||
            !to_doubles(bound[1], "x0", x0) || !to_doubles(bound[2], "lower", lower) ||
            (bound[4] && !to_uint64(bound[4], "max_iter", options.max_iter)) ||
            (bound[5] && !to_double(bound[5], "gtol", options.gtol)))
            return nullptr;
        const std::size_t n = x0.size();
        if (lower.size() != n) {
            PyErr_SetString(PyExc_ValueError, "x0 and lower differ in length");
            return nullptr;
        }
        std::vector<std::vector<std::size_t>> tied(n);
        for (std::size_t i = 0; i < n; ++i)
            if (std::isfinite(lower[i])) tied[i] = {i};
        if (bound[3] && bound[3] != Py_None) {
            PyRef seq = PyRef::steal(PySequence_Fast(bound[3], "tied must be a sequence"));
            if (!seq || PySequence_Fast_GET_SIZE(seq.get()) != static_cast<Py_ssize_t>(n)) {
                if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "tied needs one list per variable");
                return nullptr;
            }
            for (std::size_t i = 0; i < n; ++i) {
                std::vector<double> members;
                if (!to_doubles(PySequence_Fast_GET_ITEM(seq.get(), i), "tied", members)) return nullptr;
                tied[i].clear();
                for (double v : members) tied[i].push_back(static_cast<std::size_t>(v));
            }
        }
        PyObject* fun = bound[0];
        const optim::SecondOrderObjective objective =
            [&](std::span<const double> x) -> std::optional<optim::SecondOrder> {
            PyRef point = PyRef::steal(new_array({as_intp(x.size())}, x.data()));
            if (!point) throw PythonError{};
            PyRef answer = PyRef::steal(PyObject_CallOneArg(fun, point.get()));
            if (!answer) throw PythonError{};
            if (answer.get() == Py_None) return std::nullopt;
            PyObject *f_obj, *g_obj, *h_obj;
            optim::SecondOrder out;
            std::vector<double> h;
            if (!PyArg_ParseTuple(answer.get(), "OOO", &f_obj, &g_obj, &h_obj) || !to_double(f_obj, "f", out.f) ||
                !to_doubles(g_obj, "g", out.g))
                throw PythonError{};
            PyRef flat = PyRef::steal(PyArray_FROMANY(h_obj, NPY_FLOAT64, 2, 2, NPY_ARRAY_CARRAY_RO));
            if (!flat) throw PythonError{};
            const double* data = static_cast<const double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(flat.get())));
            out.h.assign(data, data + n * n);
            return out;
        };
        const optim::TrustRegionResult r =
            optim::minimize_trust_region(objective, x0, lower, tied, nullptr, options);
        static const char* kStatus[] = {"interior", "boundary", "not converged", "initial point infeasible"};
        PyRef dict = PyRef::steal(PyDict_New());
        std::vector<double> held(r.at_bound.begin(), r.at_bound.end());
        if (!dict || !set_item(dict.get(), "x", new_array({as_intp(r.x.size())}, r.x.data())) ||
            !set_item(dict.get(), "fun", PyFloat_FromDouble(r.at.f)) ||
            !set_item(dict.get(), "status", PyUnicode_FromString(kStatus[static_cast<int>(r.status)])) ||
            !set_item(dict.get(), "message", PyUnicode_FromString(r.message.c_str())) ||
            !set_item(dict.get(), "iterations", PyLong_FromUnsignedLongLong(r.iterations)) ||
            !set_item(dict.get(), "evaluations", PyLong_FromUnsignedLongLong(r.evaluations)) ||
            !set_item(dict.get(), "grad_inf_norm", PyFloat_FromDouble(r.grad_inf_norm)) ||
            !set_item(dict.get(), "min_free_eigenvalue", PyFloat_FromDouble(r.min_free_eigenvalue)) ||
            !set_item(dict.get(), "at_bound", float_list(held)))
            return nullptr;
        return dict.release();
    });
}

PyObject* minimize(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const kNames[] = {"fun", "x0", "lower", "max_iter", "gtol", "ftol"};
        PyObject* bound[6];
        std::vector<double> x0, lower;
        std::uint64_t max_iter = 300;
        double gtol = 1e-8, ftol = 1e-12;
        if (!bind_arguments({"minimize", kNames, 6, 3}, args, nargs, kwnames, bound) ||
            !to_doubles(bound[1], "x0", x0) || !to_doubles(bound[2], "lower", lower) ||
            (bound[3] && !to_uint64(bound[3], "max_iter", max_iter)) ||
            (bound[4] && !to_double(bound[4], "gtol", gtol)) || (bound[5] && !to_double(bound[5], "ftol", ftol)))
            return nullptr;
        if (lower.size() != x0.size()) {
            PyErr_SetString(PyExc_ValueError, "x0 and lower differ in length");
            return nullptr;
        }
        PyObject* fun = bound[0];
        const optim::Objective objective = [&](std::span<const double> x, double& f, std::vector<double>& g) {
            PyRef point = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(x.size())));
            if (!point) throw PythonError{};
            for (std::size_t i = 0; i < x.size(); ++i) {
                PyObject* item = PyFloat_FromDouble(x[i]);
                if (!item) throw PythonError{};
                PyList_SET_ITEM(point.get(), static_cast<Py_ssize_t>(i), item);
            }
            PyRef answer = PyRef::steal(PyObject_CallOneArg(fun, point.get()));
            if (!answer) throw PythonError{};
            if (answer.get() == Py_None) return false;
            PyObject *f_obj, *g_obj;
            if (!PyArg_ParseTuple(answer.get(), "OO", &f_obj, &g_obj) || !to_double(f_obj, "f", f) ||
                !to_doubles(g_obj, "g", g))
                throw PythonError{};
            if (g.size() != x.size()) {
                PyErr_SetString(PyExc_ValueError, "gradient of the wrong length");
                throw PythonError{};
            }
            return true;
        };
        const optim::OptimResult r = optim::minimize_bounded(objective, x0, lower, max_iter, gtol, ftol);
        PyRef dict = PyRef::steal(PyDict_New());
        if (!dict || !set_item(dict.get(), "x", new_array({as_intp(r.x.size())}, r.x.data())) ||
            !set_item(dict.get(), "message", PyUnicode_FromString(r.message.c_str())) ||
            !set_item(dict.get(), "fun", PyFloat_FromDouble(r.fun)) ||
            !set_item(dict.get(), "grad_inf_norm", PyFloat_FromDouble(r.grad_inf_norm)) ||
            !set_item(dict.get(), "iterations", PyLong_FromUnsignedLongLong(r.iterations)) ||
            !set_item(dict.get(), "fev", PyLong_FromUnsignedLongLong(r.fev)) ||
            !set_item(dict.get(), "converged", PyBool_FromLong(r.converged)))
            return nullptr;
        return dict.release();
    });
}

// Builds a design from rows for the derived-quantity hooks below.
bool design_args(PyObject* const* bound, lmm::RowsView& view, std::uint64_t& m, std::vector<double>& theta) {
    RowArrays arrays;
    if (!to_row_arrays(bound[0], bound[1], bound[2], bound[3], arrays) || !to_uint64(bound[4], "n_groups", m) ||
        !to_doubles(bound[5], "theta", theta) || !rows(arrays, view) || !check_dimensions(view, m))
        return false;
    lmm::check_theta(theta, view.q);
    return true;
}

// conditional_covariances(y, x, z, codes, n_groups, theta, sigma2,
//                         route="auto", generic=False) -> (m, q, q) array or None.
PyObject* conditional_covariances(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const kNames[] = {"y", "x", "z", "codes", "n_groups", "theta", "sigma2", "route", "generic"};
        PyObject* bound[9];
        lmm::RowsView view;
        std::uint64_t m = 0;
        std::vector<double> theta;
        double sigma2 = 1.0;
        bool generic = false;
        lmm::EvalOptions options;
        if (!bind_arguments({"conditional_covariances", kNames, 9, 7}, args, nargs, kwnames, bound) ||
            !design_args(bound, view, m, theta) || !to_double(bound[6], "sigma2", sigma2) ||
            !to_schedule(bound[7], options.schedule) || (bound[8] && !to_bool(bound[8], "generic", generic)))
            return nullptr;
        options.generic = generic;
        std::optional<std::vector<double>> cov;
        without_gil([&] {
            std::unique_ptr<lmm::LmmData> d = lmm::LmmData::from_rows(view, m);
            cov = lmm::conditional_covariances(*d, theta, sigma2, options);
        });
        if (!cov) Py_RETURN_NONE;
        return new_array({as_intp(m), as_intp(view.q), as_intp(view.q)}, cov->data());
    });
}

// scalar_hessian(y, x, z, codes, n_groups, theta, reml=True, evaluator="blocks",
//                route="auto") -> (value, first, second) or None.
PyObject* scalar_hessian(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const kNames[] = {"y", "x", "z", "codes", "n_groups", "theta", "reml", "evaluator", "route"};
        PyObject* bound[9];
        lmm::RowsView view;
        std::uint64_t m = 0;
        std::vector<double> theta;
        bool reml = true;
        lmm::EvaluatorKind kind = lmm::EvaluatorKind::Blocks;
        lmm::EvalOptions options;
        if (!bind_arguments({"scalar_hessian", kNames, 9, 6}, args, nargs, kwnames, bound) ||
            !design_args(bound, view, m, theta) || (bound[6] && !to_bool(bound[6], "reml", reml)) ||
            (bound[7] && !to_evaluator(bound[7], kind)) || !to_schedule(bound[8], options.schedule))
            return nullptr;
        std::optional<lmm::ScalarHessian> h;
        without_gil([&] {
            std::unique_ptr<lmm::LmmData> d = lmm::prepare(view, m, kind);
            h = lmm::scalar_hessian(*d, reml, theta[0], options);
        });
        if (!h) Py_RETURN_NONE;
        return Py_BuildValue("(ddd)", h->value, h->first, h->second);
    });
}


constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef kFunctions[] = {
    {"pool_threads", pool_threads, METH_NOARGS, "Threads of the worker pool, the caller included."},
    {"lane_width", lane_width, METH_NOARGS, "Groups per step of the vector-lanes kernels (1: none)."},
    {"symmetric_eigen", fastcall<symmetric_eigen>(), kFast,
     "symmetric_eigen(a)\n--\n\n(values ascending, vectors as columns) of a symmetric matrix."},
    {"glmm_row_terms", fastcall<glmm_row_terms>(), kFast,
     "glmm_row_terms(link, mode, eta, y, w, route, delta=None, phi=None)\n--\n\nThe generalized row terms over "
     "arrays (\"nb2\": the negative binomial's, with its phi)."},
    {"elementary", fastcall<elementary>(), kFast,
     "elementary(name, x, route)\n--\n\nexp, expm1, log or log1p of x by the scalar, two-lane or machine route;\n"
     "erfc and lgamma (the route ignored)."},
    {"pool_map", fastcall<pool_map>(), kFast, "pool_map(n, work=0)\n--\n\n[i*i for i in range(n)] on the pool."},
    {"hessian", fastcall<hessian>(), kFast, "Criterion, gradient and Hessian with forced schedules."},
    {"canonical_theta", fastcall<canonical_theta>(), kFast, "canonical_theta(theta, q)"},
    {"trust_minimize", fastcall<trust_minimize>(), kFast, "The trust-region minimiser on a Python objective."},
    {"pool_alloc", fastcall<pool_alloc>(), kFast, "pool_alloc(n, bytes)\n--\n\nItems that allocate."},
    {"pool_map_threads", fastcall<pool_map_threads>(), kFast,
     "pool_map_threads(n, work=1000)\n--\n\nDistinct threads that ran items of one map."},
    {"prepare", fastcall<prepare>(), kFast,
     "prepare(y, x, z, codes, n_groups, route='auto')\n--\n\nThe prepared design's products."},
    {"fixed_products", fastcall<fixed_products>(), kFast,
     "fixed_products(y, x, with_xtx=True, route='auto')\n--\n\n(X'X, X'y, y'y)."},
    {"codes_fingerprint", codes_fingerprint, METH_O, "Fingerprint of a code sequence."},
    {"theta_index", theta_index, METH_O, "(row, col) of each theta entry in Lambda."},
    {"class_limit", fastcall<class_limit>(), kFast, "class_limit(m, p, q)\n--\n\nThe auto rule's class limit."},
    {"classes_build", fastcall<classes_build>(), kFast,
     "classes_build(ztz, ztx, zty, class_limit=None, route='auto')\n--\n\nPartition groups into classes."},
    {"classes_with_assignment", fastcall<classes_with_assignment>(), kFast,
     "classes_with_assignment(ztz, ztx, zty, assignment, n_classes, route='auto')\n--\n\n"
     "Class sums for a given partition."},
    {"cholesky", cholesky, METH_O, "cholesky(a): the lower factor, or None when a pivot fails."},
    {"forward_solve", forward_solve, METH_VARARGS, "forward_solve(l, b): L^-1 b."},
    {"back_solve", back_solve, METH_VARARGS, "back_solve(l, b): L^-T b."},
    {"inverse_from_cholesky", inverse_from_cholesky, METH_O, "(L L')^-1 from L."},
    {"log_det", log_det, METH_O, "2 sum log L[j][j]."},
    {"product", product, METH_VARARGS, "product(a, b, transposed=False), zero-skipping."},
    {"compensated_sum", compensated_sum, METH_VARARGS, "compensated_sum(values, parts=1) -> (hi, lo)."},
    {"profile", profile, METH_VARARGS, "profile(a, c, n, reml, r2, ldl2) -> dict or None."},
    {"evaluate", fastcall<evaluate>(), kFast,
     "evaluate(y, x, z, codes, n_groups, theta, reml=True, mode='value', evaluator='blocks', "
     "route='auto', generic=False, lanes=True)\n--\n\nAn EvalResult as a dict, or None when infeasible."},
    {"minimize", fastcall<minimize>(), kFast,
     "minimize(fun, x0, lower, max_iter=300, gtol=1e-8, ftol=1e-12)\n--\n\n"
     "The bound-constrained minimiser on a Python objective returning (f, g) or None."},
    {"conditional_covariances", fastcall<conditional_covariances>(), kFast,
     "conditional_covariances(y, x, z, codes, n_groups, theta, sigma2, route='auto', generic=False)\n--\n\n"
     "Var(b_i | y) per group for a given sigma2, or None when a factorisation fails."},
    {"scalar_hessian", fastcall<scalar_hessian>(), kFast,
     "scalar_hessian(y, x, z, codes, n_groups, theta, reml=True, evaluator='blocks', route='auto')\n--\n\n"
     "(value, first, second) derivatives in theta for q = 1, or None."},
    {nullptr, nullptr, 0, nullptr},
};

int exec_module(PyObject*) { return import_numpy() < 0 ? -1 : remember_main_thread(); }

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#ifdef Py_mod_multiple_interpreters
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
    {0, nullptr},
};

PyModuleDef kModule = {PyModuleDef_HEAD_INIT, "_corvane_tests", "Internals of corvane for tests.", 0,
                       kFunctions, kSlots, nullptr, nullptr, nullptr};

}  // namespace
}  // namespace corvane::bindings

PyMODINIT_FUNC PyInit__corvane_tests(void) { return PyModuleDef_Init(&corvane::bindings::kModule); }

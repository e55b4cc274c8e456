// The class Accumulator: products summed over batches of rows, put in a new
// group order and column subset by `select`, turned into an LmmCore by
// `finish`. Methods that change the accumulator take its mutex
// (with the interpreter lock released for the numerical work), so threads
// may share one; `merge` takes both mutexes in address order.
#include "bindings/accumulator.hpp"

#include <cmath>
#include <cstdio>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "bindings/args.hpp"
#include "bindings/errors.hpp"
#include "bindings/gil.hpp"
#include "bindings/lmm_core.hpp"
#include "bindings/numpy_api.hpp"
#include "lmm/accumulator.hpp"
#include "lmm/errors.hpp"

namespace corvane::bindings {
namespace {

struct AccumulatorObject {
    PyObject_HEAD
    lmm::Accumulator* acc;  // owned
    std::mutex* mutex;      // owned
};

AccumulatorObject* as_acc(PyObject* self) { return reinterpret_cast<AccumulatorObject*>(self); }

// f(accumulator) under the accumulator's mutex, which is taken with the
// interpreter lock released: a thread holding the mutex may retake the
// interpreter lock before it lets go (to run signal handlers while it
// works), so no thread may wait for the mutex while holding that lock.
template <class F>
decltype(auto) locked(PyObject* self, F&& f) {
    AccumulatorObject* object = as_acc(self);
    return without_gil([&]() -> decltype(auto) {
        std::lock_guard<std::mutex> lock(*object->mutex);
        return f(*object->acc);
    });
}

// A vector argument of `length` finite values (None: absent); scales must
// also be positive.
bool optional_vector(PyObject* object, const char* name, std::uint64_t length, bool scale,
                     std::vector<double>& out) {
    out.clear();
    if (!object || object == Py_None) return true;
    if (!to_doubles(object, name, out)) return false;
    if (out.size() != length) {
        PyErr_Format(PyExc_ValueError, "%s must have %llu entries, got %zu", name,
                     static_cast<unsigned long long>(length), out.size());
        return false;
    }
    for (double v : out) {
        if (!std::isfinite(v) || (scale && !(v > 0.0))) {
            PyErr_Format(PyExc_ValueError, "%s must hold finite%s values", name, scale ? " positive" : "");
            return false;
        }
    }
    return true;
}

// A reference column: None, or an index below `columns` with a finite,
// non-zero reference value.
bool reference(PyObject* index, const char* name, std::uint64_t columns, double value, std::int64_t& out,
               double& out_value) {
    if (index == Py_None) return true;
    std::uint64_t j = 0;
    if (!to_uint64(index, name, j)) return false;
    if (j >= columns) {
        PyErr_Format(PyExc_ValueError, "%s must be a column index below %llu, got %llu", name,
                     static_cast<unsigned long long>(columns), static_cast<unsigned long long>(j));
        return false;
    }
    if (!std::isfinite(value) || value == 0.0) {
        PyErr_Format(PyExc_ValueError, "%s_value must be finite and non-zero", name);
        return false;
    }
    out = static_cast<std::int64_t>(j);
    out_value = value;
    return true;
}

PyObject* acc_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* kKeywords[] = {"p",     "q",           "y_shift", "y_scale",     "x_shift",
                                          "x_scale", "z_shift",   "z_scale", "x_ref",       "x_ref_value",
                                          "z_ref", "z_ref_value", "y_coef",  nullptr};
        PyObject *p_obj, *q_obj, *x_shift = nullptr, *x_scale = nullptr, *z_shift = nullptr, *z_scale = nullptr;
        PyObject *x_ref = Py_None, *z_ref = Py_None, *y_coef = nullptr;
        double y_shift = 0.0, y_scale = 1.0, x_ref_value = 1.0, z_ref_value = 1.0;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|$ddOOOOOdOdO:Accumulator", const_cast<char**>(kKeywords),
                                         &p_obj, &q_obj, &y_shift, &y_scale, &x_shift, &x_scale, &z_shift,
                                         &z_scale, &x_ref, &x_ref_value, &z_ref, &z_ref_value, &y_coef))
            return nullptr;
        std::uint64_t p = 0, q = 0;
        if (!to_uint64(p_obj, "p", p) || !to_uint64(q_obj, "q", q)) return nullptr;
        if (p == 0 || q == 0 || !lmm::dimensions_fit(1, p, q)) {
            PyErr_SetString(PyExc_ValueError, "p and q must be positive");
            return nullptr;
        }
        if (!std::isfinite(y_shift) || !std::isfinite(y_scale) || !(y_scale > 0.0)) {
            PyErr_SetString(PyExc_ValueError, "y_shift must be finite and y_scale finite and positive");
            return nullptr;
        }
        lmm::RowTransform t;
        t.y_shift = y_shift;
        t.y_scale = y_scale;
        if (y_coef == Py_None) y_coef = nullptr;
        if (!optional_vector(y_coef, "y_coef", p, false, t.y_coef)) return nullptr;
        if (!optional_vector(x_shift, "x_shift", p, false, t.x_shift) ||
            !optional_vector(x_scale, "x_scale", p, true, t.x_scale) ||
            !optional_vector(z_shift, "z_shift", q, false, t.z_shift) ||
            !optional_vector(z_scale, "z_scale", q, true, t.z_scale))
            return nullptr;
        if (!reference(x_ref, "x_ref", p, x_ref_value, t.x_ref, t.x_ref_value) ||
            !reference(z_ref, "z_ref", q, z_ref_value, t.z_ref, t.z_ref_value))
            return nullptr;
        const bool identity = y_shift == 0.0 && y_scale == 1.0 && t.y_coef.empty() && t.x_shift.empty() &&
                              t.x_scale.empty() &&
                              t.z_shift.empty() && t.z_scale.empty() && t.x_ref < 0 && t.z_ref < 0;
        if (t.x_shift.empty()) t.x_shift.assign(p, 0.0);
        if (t.x_scale.empty()) t.x_scale.assign(p, 1.0);
        if (t.z_shift.empty()) t.z_shift.assign(q, 0.0);
        if (t.z_scale.empty()) t.z_scale.assign(q, 1.0);
        auto acc = std::make_unique<lmm::Accumulator>(p, q, identity ? std::nullopt : std::optional(t));
        auto mutex = std::make_unique<std::mutex>();
        PyObject* self = type->tp_alloc(type, 0);
        if (!self) return nullptr;
        as_acc(self)->acc = acc.release();
        as_acc(self)->mutex = mutex.release();
        return self;
    });
}

void acc_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    delete as_acc(self)->acc;
    delete as_acc(self)->mutex;
    type->tp_free(self);
    Py_DECREF(type);
}

int acc_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    return 0;
}

PyObject* acc_add(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const kNames[] = {"y", "x", "z", "codes"};
        PyObject* bound[4];
        if (!bind_arguments({"add", kNames, 4, 4}, args, nargs, kwnames, bound)) return nullptr;
        RowArrays arrays;
        lmm::RowsView view;
        if (!to_row_arrays(bound[0], bound[1], bound[2], bound[3], arrays) || !rows(arrays, view)) return nullptr;
        // select() changes p: the columns are checked under the mutex.
        locked(self, [&](lmm::Accumulator& a) {
            const std::uint64_t p = a.products().design->p, q = a.products().design->q;
            if (view.n > 0 && (view.p != p || view.q != q))
                throw lmm::InvalidInput("X must have " + std::to_string(p) + " columns and Z " + std::to_string(q) +
                                        ", got " + std::to_string(view.p) + " and " + std::to_string(view.q));
            view.p = p;
            view.q = q;
            a.add(view);
        });
        Py_RETURN_NONE;
    });
}

// One column of a batch: a 1-D float64 array of n values, C-contiguous and
// aligned, or None (a column of ones). Out: its data or null.
bool to_column(PyObject* item, const char* name, Py_ssize_t k, npy_intp n, const double*& out) {
    if (item == Py_None) {
        out = nullptr;
        return true;
    }
    char label[64];
    std::snprintf(label, sizeof label, "%s[%zd]", name, k);
    PyArrayObject* array = nullptr;
    if (!to_array(item, label, 1, NPY_FLOAT64, array)) return false;
    if (PyArray_DIM(array, 0) != n) {
        PyErr_Format(PyExc_ValueError, "%s has %zd values, y has %zd", label, static_cast<Py_ssize_t>(PyArray_DIM(array, 0)),
                     static_cast<Py_ssize_t>(n));
        return false;
    }
    if (n != 0 && !aligned_and_contiguous(array)) return set_layout_type_error();
    out = static_cast<const double*>(PyArray_DATA(array));
    return true;
}

// add_columns(y, x, z, codes, keep=None): x and z sequences of columns.
PyObject* acc_add_columns(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const kNames[] = {"y", "x", "z", "codes", "keep"};
        PyObject* bound[5];
        if (!bind_arguments({"add_columns", kNames, 5, 4}, args, nargs, kwnames, bound)) return nullptr;
        PyArrayObject *y = nullptr, *codes = nullptr, *keep = nullptr;
        if (!to_array(bound[0], "y", 1, NPY_FLOAT64, y) || !to_array(bound[3], "codes", 1, NPY_INT64, codes))
            return nullptr;
        const npy_intp n = PyArray_DIM(y, 0);
        if (PyArray_DIM(codes, 0) != n) {
            PyErr_SetString(PyExc_ValueError, "y and codes must agree on the row count");
            return nullptr;
        }
        if (bound[4] && bound[4] != Py_None) {
            if (!PyArray_Check(bound[4]) || PyArray_NDIM(reinterpret_cast<PyArrayObject*>(bound[4])) != 1 ||
                PyArray_TYPE(reinterpret_cast<PyArrayObject*>(bound[4])) != NPY_BOOL) {
                PyErr_SetString(PyExc_TypeError, "argument 'keep' must be a 1-D bool numpy.ndarray or None");
                return nullptr;
            }
            keep = reinterpret_cast<PyArrayObject*>(bound[4]);
            if (PyArray_DIM(keep, 0) != n) {
                PyErr_SetString(PyExc_ValueError, "keep and y must agree on the row count");
                return nullptr;
            }
        }
        if (n != 0 && (!aligned_and_contiguous(y) || !aligned_and_contiguous(codes) ||
                       (keep && !aligned_and_contiguous(keep)))) {
            set_layout_type_error();
            return nullptr;
        }
        // The sequences are held (and so their arrays) until the call returns.
        PyRef xs = PyRef::steal(PySequence_Fast(bound[1], "x must be a sequence of columns"));
        PyRef zs = PyRef::steal(PySequence_Fast(bound[2], "z must be a sequence of columns"));
        if (!xs || !zs) return nullptr;
        lmm::ColumnsView view;
        view.n = static_cast<std::uint64_t>(n);
        view.y = static_cast<const double*>(PyArray_DATA(y));
        view.codes = static_cast<const std::int64_t*>(PyArray_DATA(codes));
        view.keep = keep ? static_cast<const std::uint8_t*>(PyArray_DATA(keep)) : nullptr;
        for (auto [seq, name, out] : {std::tuple{xs.get(), "x", &view.x}, std::tuple{zs.get(), "z", &view.z}}) {
            const Py_ssize_t k = PySequence_Fast_GET_SIZE(seq);
            out->resize(static_cast<std::size_t>(k));
            for (Py_ssize_t j = 0; j < k; ++j)
                if (!to_column(PySequence_Fast_GET_ITEM(seq, j), name, j, n, (*out)[static_cast<std::size_t>(j)]))
                    return nullptr;
        }
        locked(self, [&](lmm::Accumulator& a) { a.add_columns(view); });
        Py_RETURN_NONE;
    });
}

PyObject* acc_merge(PyObject* self, PyObject* other) {
    return guarded([&]() -> PyObject* {
        if (Py_TYPE(other) != Py_TYPE(self)) {
            PyErr_Format(PyExc_TypeError, "merge() takes an Accumulator, not %.100s", Py_TYPE(other)->tp_name);
            return nullptr;
        }
        if (other == self) {
            PyErr_SetString(PyExc_ValueError, "an accumulator cannot be merged with itself");
            return nullptr;
        }
        without_gil([&] {
            std::mutex* a = as_acc(self)->mutex;
            std::mutex* b = as_acc(other)->mutex;
            std::scoped_lock lock(*a, *b);
            as_acc(self)->acc->merge(*as_acc(other)->acc);
        });
        Py_RETURN_NONE;
    });
}

PyObject* acc_finish(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const kNames[] = {"evaluator"};
        PyObject* bound[1];
        if (!bind_arguments({"finish", kNames, 1, 0}, args, nargs, kwnames, bound)) return nullptr;
        lmm::EvaluatorKind requested = lmm::EvaluatorKind::Auto;
        if (bound[0] && !to_evaluator(bound[0], requested)) return nullptr;
        PyObject* module = PyType_GetModule(Py_TYPE(self));
        if (!module) return nullptr;
        PyRef core_type = PyRef::steal(PyObject_GetAttrString(module, "LmmCore"));
        if (!core_type) return nullptr;
        std::unique_ptr<lmm::LmmData> data =
            locked(self, [&](lmm::Accumulator& a) { return a.finish(requested); });
        return new_core(reinterpret_cast<PyTypeObject*>(core_type.get()), std::move(data));
    });
}

bool put(PyObject* dict, const char* key, PyObject* value) {
    PyRef owned = PyRef::steal(value);
    return owned && PyDict_SetItemString(dict, key, owned.get()) == 0;
}

// A copy of the products, taken under the accumulator's mutex, from which
// the Python objects are built after the mutex is released.
struct Snapshot {
    lmm::Design design;
    lmm::Response response;
    std::uint64_t batches = 0;
    std::optional<lmm::RowTransform> transform;
};

Snapshot snapshot(const lmm::Accumulator& a) {
    return Snapshot{*a.products().design, a.products().response, a.batches(), a.transform()};
}

// Indices of groups or columns: None (absent), or a one-dimensional array-like of integers
// >= 0 (an empty sequence is an empty selection).
bool optional_indices(PyObject* object, const char* name, std::optional<std::vector<std::uint64_t>>& out) {
    out.reset();
    if (!object || object == Py_None) return true;
    PyRef given = PyRef::steal(PyArray_FromAny(object, nullptr, 0, 0, NPY_ARRAY_CARRAY_RO, nullptr));
    if (!given) return false;
    PyArrayObject* a = reinterpret_cast<PyArrayObject*>(given.get());
    if (PyArray_NDIM(a) != 1) {
        PyErr_Format(PyExc_ValueError, "%s must be one-dimensional, got %d dimensions", name, PyArray_NDIM(a));
        return false;
    }
    std::vector<std::uint64_t>& v = out.emplace();
    const npy_intp n = PyArray_DIM(a, 0);
    if (n == 0) return true;  // [] is float64 to NumPy, and no index either way
    if (!PyArray_ISINTEGER(a)) {
        PyErr_Format(PyExc_TypeError, "%s must hold integers", name);
        return false;
    }
    // Every integer type casts safely to the 64-bit one of its signedness.
    const bool is_unsigned = PyArray_ISUNSIGNED(a);
    PyRef cast = PyRef::steal(PyArray_FROMANY(given.get(), is_unsigned ? NPY_UINT64 : NPY_INT64, 1, 1,
                                               NPY_ARRAY_CARRAY_RO));
    if (!cast) return false;
    const void* data = PyArray_DATA(reinterpret_cast<PyArrayObject*>(cast.get()));
    v.resize(static_cast<std::size_t>(n));
    for (npy_intp k = 0; k < n; ++k) {
        if (is_unsigned) {
            v[k] = static_cast<const std::uint64_t*>(data)[k];
            continue;
        }
        const std::int64_t i = static_cast<const std::int64_t*>(data)[k];
        if (i < 0) {
            PyErr_Format(PyExc_ValueError, "%s must hold indices >= 0, got %lld", name, static_cast<long long>(i));
            return false;
        }
        v[k] = static_cast<std::uint64_t>(i);
    }
    return true;
}

// 0, 1, ..., count - 1.
std::vector<std::uint64_t> all_indices(std::uint64_t count) {
    std::vector<std::uint64_t> v(count);
    for (std::uint64_t k = 0; k < count; ++k) v[k] = k;
    return v;
}

PyObject* acc_select(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const kNames[] = {"groups", "columns"};
        PyObject* bound[2];
        if (!bind_arguments({"select", kNames, 2, 0}, args, nargs, kwnames, bound)) return nullptr;
        std::optional<std::vector<std::uint64_t>> groups, columns;
        if (!optional_indices(bound[0], "groups", groups) || !optional_indices(bound[1], "columns", columns))
            return nullptr;
        locked(self, [&](lmm::Accumulator& a) {
            const lmm::Design& g = *a.products().design;
            a.select(groups ? *groups : all_indices(g.m), columns ? *columns : all_indices(g.p));
        });
        Py_RETURN_NONE;
    });
}

PyObject* acc_to_arrays(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        // The snapshot's blocks become the arrays as they are: a second copy
        // of many megabytes (and its page faults) would cost as much again.
        Snapshot s = locked(self, snapshot);
        MovedBlocks blocks{std::move(s.design.ztz), std::move(s.design.ztx), std::move(s.response.zty)};
        return products_dict(s.design, s.response, s.batches, s.transform ? &*s.transform : nullptr,
                             s.design.fingerprint_known, &blocks);
    });
}

// An array from the dict: float64, the given shape, copied.
bool dict_array(PyObject* dict, const char* key, std::initializer_list<npy_intp> shape, std::vector<double>& out) {
    PyObject* item = PyDict_GetItemString(dict, key);
    if (!item) {
        PyErr_Format(PyExc_ValueError, "products are missing '%s'", key);
        return false;
    }
    PyRef array = PyRef::steal(PyArray_FROMANY(item, NPY_FLOAT64, 0, 0, NPY_ARRAY_CARRAY_RO));
    if (!array) return false;
    PyArrayObject* a = reinterpret_cast<PyArrayObject*>(array.get());
    npy_intp expected = 1;
    bool match = PyArray_NDIM(a) == static_cast<int>(shape.size());
    int k = 0;
    for (npy_intp d : shape) {
        expected *= d;
        if (match && PyArray_DIM(a, k) != d) match = false;
        ++k;
    }
    if (!match) {
        PyErr_Format(PyExc_ValueError, "products '%s' have the wrong shape", key);
        return false;
    }
    const double* data = static_cast<const double*>(PyArray_DATA(a));
    out.assign(data, data + expected);
    return true;
}

bool dict_uint(PyObject* dict, const char* key, std::uint64_t& out) {
    PyObject* item = PyDict_GetItemString(dict, key);
    if (!item) {
        PyErr_Format(PyExc_ValueError, "products are missing '%s'", key);
        return false;
    }
    return to_uint64(item, key, out);
}

PyObject* acc_from_arrays(PyObject* cls, PyObject* dict) {
    return guarded([&]() -> PyObject* {
        if (!PyDict_Check(dict)) {
            PyErr_SetString(PyExc_TypeError, "from_arrays() takes the dict made by to_arrays()");
            return nullptr;
        }
        std::uint64_t p = 0, q = 0, n = 0, m = 0, batches = 0, fingerprint = 0;
        if (!dict_uint(dict, "p", p) || !dict_uint(dict, "q", q) || !dict_uint(dict, "n", n) ||
            !dict_uint(dict, "m", m) || !dict_uint(dict, "batches", batches) ||
            !dict_uint(dict, "fingerprint", fingerprint))
            return nullptr;
        if (p == 0 || q == 0 || !lmm::dimensions_fit(std::max<std::uint64_t>(m, 1), p, q)) {
            PyErr_SetString(PyExc_ValueError, "products have impossible dimensions");
            return nullptr;
        }
        // Rows always come with a group, and groups only with rows.
        if ((n == 0) != (m == 0)) {
            PyErr_Format(PyExc_ValueError, "products of %llu rows cannot have %llu groups",
                         static_cast<unsigned long long>(n), static_cast<unsigned long long>(m));
            return nullptr;
        }
        // A new accumulator with the same transform, then its products.
        PyRef kwargs = PyRef::steal(PyDict_New());
        if (!kwargs) return nullptr;
        for (const char* key : {"y_shift", "y_scale", "x_shift", "x_scale", "z_shift", "z_scale", "x_ref", "x_ref_value",
                                "z_ref", "z_ref_value", "y_coef"}) {
            PyObject* v = PyDict_GetItemString(dict, key);
            if (v && PyDict_SetItemString(kwargs.get(), key, v) < 0) return nullptr;
        }
        PyRef args = PyRef::steal(Py_BuildValue("(KK)", static_cast<unsigned long long>(p),
                                                static_cast<unsigned long long>(q)));
        if (!args) return nullptr;
        PyRef self = PyRef::steal(PyObject_Call(cls, args.get(), kwargs.get()));
        if (!self) return nullptr;
        lmm::Products products{std::make_shared<lmm::Design>(), lmm::Response{}};
        lmm::Design& g = *products.design;
        lmm::Response& r = products.response;
        const npy_intp pp = static_cast<npy_intp>(p), qq = static_cast<npy_intp>(q), mm = static_cast<npy_intp>(m);
        if (!dict_array(dict, "xtx", {pp, pp}, g.xtx) || !dict_array(dict, "xty", {pp}, r.xty) ||
            !dict_array(dict, "ztz", {mm, qq, qq}, g.ztz) || !dict_array(dict, "ztx", {mm, qq, pp}, g.ztx) ||
            !dict_array(dict, "zty", {mm, qq}, r.zty))
            return nullptr;
        PyObject* yty = PyDict_GetItemString(dict, "yty");
        PyObject* known = PyDict_GetItemString(dict, "fingerprint_known");
        if (!yty || !known) {
            PyErr_SetString(PyExc_ValueError, "products are missing 'yty' or 'fingerprint_known'");
            return nullptr;
        }
        if (!to_double(yty, "yty", r.yty)) return nullptr;
        g.n = n;
        g.p = p;
        g.q = q;
        g.m = m;
        g.theta_pairs = lmm::theta_index(q);
        g.codes_fingerprint = fingerprint;
        g.fingerprint_from_zero = true;
        g.fingerprint_known = PyObject_IsTrue(known) == 1;
        as_acc(self.get())->acc->replace(std::move(products), batches);
        return self.release();
    });
}

// Counters that add, merge and select change are read under the mutex.
template <class F>
PyObject* counter(PyObject* self, F&& read) {
    return guarded([&]() -> PyObject* {
        return PyLong_FromUnsignedLongLong(locked(self, [&](const lmm::Accumulator& a) { return read(a); }));
    });
}

PyObject* get_acc_n(PyObject* self, void*) {
    return counter(self, [](const lmm::Accumulator& a) { return a.products().design->n; });
}
PyObject* get_acc_m(PyObject* self, void*) {
    return counter(self, [](const lmm::Accumulator& a) { return a.products().design->m; });
}
PyObject* get_acc_p(PyObject* self, void*) {
    return counter(self, [](const lmm::Accumulator& a) { return a.products().design->p; });
}
// q is fixed at construction: read without the mutex.
PyObject* get_acc_q(PyObject* self, void*) {
    return PyLong_FromUnsignedLongLong(as_acc(self)->acc->products().design->q);
}
PyObject* get_acc_batches(PyObject* self, void*) {
    return counter(self, [](const lmm::Accumulator& a) { return a.batches(); });
}

PyGetSetDef kAccGetters[] = {
    {"n", get_acc_n, nullptr, "Rows added so far.", nullptr},
    {"m", get_acc_m, nullptr, "Groups so far: the largest code seen + 1.", nullptr},
    {"p", get_acc_p, nullptr, "Columns of X.", nullptr},
    {"q", get_acc_q, nullptr, "Columns of Z.", nullptr},
    {"batches", get_acc_batches, nullptr, "Batches added (merged accumulators' included).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef kAccMethods[] = {
    {"add", fastcall<acc_add>(), kFast,
     "add($self, y, x, z, codes)\n--\n\n"
     "Adds a batch of rows (the constructor's array forms; codes >= 0, the\n"
     "groups growing to the largest code + 1). Each group's rows follow its\n"
     "rows from earlier batches."},
    {"add_columns", fastcall<acc_add_columns>(), kFast,
     "add_columns($self, y, x, z, codes, keep=None)\n--\n\n"
     "Adds a batch given column by column: x and z sequences of 1-D float64\n"
     "arrays (None: a column of ones), p and q of them; keep, a bool array,\n"
     "skips the rows where it is False. The same products as add() of the\n"
     "kept rows stacked into X and Z, without stacking them first."},
    {"merge", acc_merge, METH_O,
     "merge($self, other, /)\n--\n\n"
     "Adds another accumulator's products (same p, q and transform). Merging\n"
     "in a fixed order gives the same bits every run."},
    {"finish", fastcall<acc_finish>(), kFast,
     "finish($self, evaluator=\"auto\")\n--\n\n"
     "The accumulated products as an LmmCore, its kernel chosen as the\n"
     "constructor chooses; the accumulator is empty afterwards."},
    {"select", fastcall<acc_select>(), kFast,
     "select($self, groups=None, columns=None)\n--\n\n"
     "Keeps the groups and X's columns given, in place, copying the products'\n"
     "bits. New group k is old group groups[k] (distinct indices below m);\n"
     "groups not listed are dropped, and must be ones without rows or not\n"
     "wanted (n still counts their rows). X keeps the columns listed\n"
     "(strictly increasing, at least one, the transform's reference column\n"
     "among them), with their shifts and scales. None keeps all. Any groups\n"
     "but 0..m-1 in order leave the codes unchecked: the finished core takes\n"
     "no new response. ValueError naming the argument when one is invalid."},
    {"to_arrays", acc_to_arrays, METH_NOARGS,
     "to_arrays($self)\n--\n\n"
     "The products as a dict of NumPy arrays and numbers (for another process)."},
    {"from_arrays", acc_from_arrays, METH_O | METH_CLASS,
     "from_arrays($type, products, /)\n--\n\n"
     "An accumulator holding products made by to_arrays()."},
    {nullptr, nullptr, 0, nullptr},
};

const char kAccDoc[] =
    "Accumulator(p, q, *, y_shift=0.0, y_scale=1.0, x_shift=None, x_scale=None, z_shift=None, z_scale=None,\n"
    "            x_ref=None, x_ref_value=1.0, z_ref=None, z_ref_value=1.0, y_coef=None)\n"
    "--\n\n"
    "Cross-products summed over batches of rows, for data that arrive in parts.\n\n"
    "Every value v of a column enters as (v - shift * r) * scale, where r is the\n"
    "row's value of the reference column (x_ref for y and X, z_ref for Z) over\n"
    "its reference value, or 1 without one: a linear map of the columns, so\n"
    "the model is the same whether or not the reference column is constant.\n"
    "Powers of two as scales change no digit. With y_coef (p values c), y\n"
    "enters as (y - x'c) * y_scale instead, x the row's columns as given: a\n"
    "preliminary fit taken out of the response (the model is invariant to it).";

PyType_Slot kAccSlots[] = {
    {Py_tp_doc, const_cast<char*>(kAccDoc)},
    {Py_tp_new, reinterpret_cast<void*>(acc_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(acc_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(acc_traverse)},
    {Py_tp_methods, kAccMethods},
    {Py_tp_getset, kAccGetters},
    {0, nullptr},
};

PyType_Spec kAccSpec = {
    "corvane._corvane.Accumulator",
    sizeof(AccumulatorObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
    kAccSlots,
};

}  // namespace

PyObject* products_dict(const lmm::Design& g, const lmm::Response& r, std::uint64_t batches,
                        const lmm::RowTransform* transform, bool fingerprint_known, MovedBlocks* moved) {
    const npy_intp p = static_cast<npy_intp>(g.p), q = static_cast<npy_intp>(g.q), m = static_cast<npy_intp>(g.m);
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return nullptr;
    PyObject* o = dict.get();
    bool ok = put(o, "p", PyLong_FromUnsignedLongLong(g.p)) && put(o, "q", PyLong_FromUnsignedLongLong(g.q)) &&
              put(o, "n", PyLong_FromUnsignedLongLong(g.n)) && put(o, "m", PyLong_FromUnsignedLongLong(g.m)) &&
              put(o, "batches", PyLong_FromUnsignedLongLong(batches)) &&
              put(o, "xtx", new_float_array({p, p}, g.xtx.data())) &&
              put(o, "xty", new_float_array({p}, r.xty.data())) && put(o, "yty", PyFloat_FromDouble(r.yty)) &&
              put(o, "ztz", moved ? adopt_float_array({m, q, q}, std::move(moved->ztz))
                                  : new_float_array({m, q, q}, g.ztz.data())) &&
              put(o, "ztx", moved ? adopt_float_array({m, q, p}, std::move(moved->ztx))
                                  : new_float_array({m, q, p}, g.ztx.data())) &&
              put(o, "zty", moved ? adopt_float_array({m, q}, std::move(moved->zty))
                                  : new_float_array({m, q}, r.zty.data())) &&
              put(o, "fingerprint", PyLong_FromUnsignedLongLong(g.codes_fingerprint)) &&
              put(o, "fingerprint_known", PyBool_FromLong(fingerprint_known));
    if (!ok) return nullptr;
    if (transform) {
        const lmm::RowTransform& t = *transform;
        ok = put(o, "y_shift", PyFloat_FromDouble(t.y_shift)) && put(o, "y_scale", PyFloat_FromDouble(t.y_scale)) &&
             put(o, "x_shift", new_float_array({p}, t.x_shift.data())) &&
             put(o, "x_scale", new_float_array({p}, t.x_scale.data())) &&
             put(o, "z_shift", new_float_array({q}, t.z_shift.data())) &&
             put(o, "z_scale", new_float_array({q}, t.z_scale.data()));
        if (ok && !t.y_coef.empty()) ok = put(o, "y_coef", new_float_array({p}, t.y_coef.data()));
        if (ok && t.x_ref >= 0)
            ok = put(o, "x_ref", PyLong_FromLongLong(t.x_ref)) &&
                 put(o, "x_ref_value", PyFloat_FromDouble(t.x_ref_value));
        if (ok && t.z_ref >= 0)
            ok = put(o, "z_ref", PyLong_FromLongLong(t.z_ref)) &&
                 put(o, "z_ref_value", PyFloat_FromDouble(t.z_ref_value));
        if (!ok) return nullptr;
    }
    return dict.release();
}

PyObject* create_accumulator_type(PyObject* module) {
    return PyType_FromModuleAndSpec(module, &kAccSpec, nullptr);
}

}  // namespace corvane::bindings

#include "bindings/args.hpp"

#include <algorithm>
#include <memory>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "lmm/theta_layout.hpp"

namespace corvane::bindings {
namespace {

const char* type_name(PyObject* object) { return Py_TYPE(object)->tp_name; }

// Re-raises a pending TypeError as "argument 'name': <message>"; other
// exceptions pass unchanged.
void name_type_error(const char* name) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyRef owned_type = PyRef::steal(type), owned_traceback = PyRef::steal(traceback);
    PyRef owned_value = PyRef::steal(value);
    PyRef text = PyRef::steal(value ? PyObject_Str(value) : nullptr);
    if (!text) {
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "argument '%s' has the wrong type", name);
        return;
    }
    PyErr_Format(PyExc_TypeError, "argument '%s': %U", name, text.get());
}

const char* dims_text(int ndim) {
    switch (ndim) {
        case 1: return "1-D";
        case 2: return "2-D";
        default: return "N-D";
    }
}

const char* dtype_text(int typenum) { return typenum == NPY_FLOAT64 ? "float64" : "int64"; }

// X or Z: row-major contiguous unless it has no rows or no columns. Reading
// doubles at a misaligned address is undefined behaviour, so a misaligned
// matrix is refused like a misaligned vector.
bool check_matrix(PyArrayObject* a, const char* message) {
    const npy_intp rows = PyArray_DIM(a, 0), cols = PyArray_DIM(a, 1);
    if (rows == 0 || cols == 0) return true;
    const npy_intp item = static_cast<npy_intp>(sizeof(double));
    const bool col_ok = cols == 1 || PyArray_STRIDE(a, 1) == item;
    const bool row_ok = rows == 1 || PyArray_STRIDE(a, 0) == cols * item;
    if (!(col_ok && row_ok)) {
        PyErr_SetString(PyExc_ValueError, message);
        return false;
    }
    if (reinterpret_cast<std::uintptr_t>(PyArray_DATA(a)) % alignof(double) != 0)
        return set_layout_type_error();
    return true;
}

// A string in double quotes with quotes, backslashes and control characters
// escaped, for messages that show a caller's string.
std::string quoted(PyObject* text) {
    std::string out = "\"";
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    auto hex = [](Py_UCS4 c) {
        char buffer[16];
        std::snprintf(buffer, sizeof buffer, "\\u{%x}", static_cast<unsigned>(c));
        return std::string(buffer);
    };
    for (Py_ssize_t i = 0; i < length; ++i) {
        const Py_UCS4 c = PyUnicode_READ(kind, data, i);
        switch (c) {
            case '"': out += "\\\""; continue;
            case '\\': out += "\\\\"; continue;
            case '\n': out += "\\n"; continue;
            case '\r': out += "\\r"; continue;
            case '\t': out += "\\t"; continue;
            case 0: out += "\\0"; continue;
            default: break;
        }
        if (c < 0x20 || c == 0x7f || (c >= 0x80 && c < 0xa0) || (c >= 0xd800 && c < 0xe000)) {
            out += hex(c);
        } else if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xc0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3f));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xe0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3f));
            out += static_cast<char>(0x80 | (c & 0x3f));
        } else {
            out += static_cast<char>(0xf0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3f));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3f));
            out += static_cast<char>(0x80 | (c & 0x3f));
        }
    }
    out += '"';
    return out;
}

}  // namespace

bool aligned_and_contiguous(PyArrayObject* a) {
    const int flags = PyArray_FLAGS(a);
    return (flags & NPY_ARRAY_C_CONTIGUOUS) && (flags & NPY_ARRAY_ALIGNED);
}

bool set_layout_type_error() {
    PyErr_SetString(PyExc_TypeError, "The given array is not contiguous or is misaligned.");
    return false;
}

PyObject* new_float_array(std::initializer_list<npy_intp> shape, const double* values) {
    std::vector<npy_intp> dims(shape);
    PyRef array = PyRef::steal(PyArray_SimpleNew(static_cast<int>(dims.size()), dims.data(), NPY_FLOAT64));
    if (!array) return nullptr;
    PyArrayObject* a = reinterpret_cast<PyArrayObject*>(array.get());
    std::copy_n(values, PyArray_SIZE(a), static_cast<double*>(PyArray_DATA(a)));
    return array.release();
}

namespace {

constexpr const char* kAdoptedName = "corvane.adopted_values";

void free_adopted(PyObject* capsule) {
    delete static_cast<std::vector<double>*>(PyCapsule_GetPointer(capsule, kAdoptedName));
}

}  // namespace

PyObject* adopt_float_array(std::initializer_list<npy_intp> shape, std::vector<double>&& values) {
    auto owned = std::make_unique<std::vector<double>>(std::move(values));
    std::vector<npy_intp> dims(shape);
    npy_intp size = 1;
    for (npy_intp d : dims) size *= d;
    if (static_cast<std::size_t>(size) > owned->size()) {
        PyErr_SetString(PyExc_ValueError, "too few values for the array's shape");
        return nullptr;
    }
    // An empty vector may have no buffer; NumPy wants an address either way.
    if (owned->empty()) return new_float_array(shape, nullptr);
    PyRef capsule = PyRef::steal(PyCapsule_New(owned.get(), kAdoptedName, free_adopted));
    if (!capsule) return nullptr;
    double* data = owned.release()->data();  // the capsule owns the vector from here
    PyRef array = PyRef::steal(
        PyArray_SimpleNewFromData(static_cast<int>(dims.size()), dims.data(), NPY_FLOAT64, data));
    if (!array) return nullptr;
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), capsule.release()) < 0)
        return nullptr;  // SetBaseObject took the capsule's reference even so
    return array.release();
}

bool bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** out) {
    if (nargs > sig.n_names) {
        PyErr_Format(PyExc_TypeError, "%s() takes at most %zd argument%s (%zd given)", sig.function,
                     sig.n_names, sig.n_names == 1 ? "" : "s", nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < sig.n_names; ++i) out[i] = i < nargs ? args[i] : nullptr;
    const Py_ssize_t n_kw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < n_kw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t index = -1;
        for (Py_ssize_t i = 0; i < sig.n_names; ++i) {
            if (PyUnicode_CompareWithASCIIString(key, sig.names[i]) == 0) {
                index = i;
                break;
            }
        }
        if (index < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                         sig.function, key);
            return false;
        }
        if (out[index]) {
            PyErr_Format(PyExc_TypeError, "argument for %s() given by name ('%s') and position (%zd)",
                         sig.function, sig.names[index], index + 1);
            return false;
        }
        out[index] = args[nargs + k];
    }
    for (Py_ssize_t i = 0; i < sig.n_required; ++i) {
        if (!out[i]) {
            PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zd)",
                         sig.function, sig.names[i], i + 1);
            return false;
        }
    }
    return true;
}

bool to_array(PyObject* object, const char* name, int ndim, int typenum, PyArrayObject*& out) {
    if (!PyArray_Check(object)) {
        PyErr_Format(PyExc_TypeError, "argument '%s' must be a %s %s numpy.ndarray, not %s", name,
                     dims_text(ndim), dtype_text(typenum), type_name(object));
        return false;
    }
    PyArrayObject* array = reinterpret_cast<PyArrayObject*>(object);
    if (PyArray_NDIM(array) != ndim) {
        PyErr_Format(PyExc_TypeError, "argument '%s' must be a %s %s numpy.ndarray, got %d dimension%s",
                     name, dims_text(ndim), dtype_text(typenum), PyArray_NDIM(array),
                     PyArray_NDIM(array) == 1 ? "" : "s");
        return false;
    }
    PyArray_Descr* wanted = PyArray_DescrFromType(typenum);
    const bool same = PyArray_EquivTypes(PyArray_DESCR(array), wanted);
    Py_DECREF(wanted);
    if (!same) {
        PyRef dtype = PyRef::steal(PyObject_Str(reinterpret_cast<PyObject*>(PyArray_DESCR(array))));
        if (!dtype) return false;
        PyErr_Format(PyExc_TypeError, "argument '%s' must be a %s %s numpy.ndarray, got dtype %U",
                     name, dims_text(ndim), dtype_text(typenum), dtype.get());
        return false;
    }
    out = array;
    return true;
}

bool to_row_arrays(PyObject* y, PyObject* x, PyObject* z, PyObject* codes, RowArrays& out) {
    return to_array(y, "y", 1, NPY_FLOAT64, out.y) && to_array(x, "x", 2, NPY_FLOAT64, out.x) &&
           to_array(z, "z", 2, NPY_FLOAT64, out.z) && to_array(codes, "codes", 1, NPY_INT64, out.codes);
}

bool rows(const RowArrays& a, lmm::RowsView& out) {
    if (PyArray_SIZE(a.y) != 0 && !aligned_and_contiguous(a.y)) return set_layout_type_error();
    if (PyArray_SIZE(a.codes) != 0 && !aligned_and_contiguous(a.codes)) return set_layout_type_error();
    if (!check_matrix(a.x, "X must be C-contiguous")) return false;
    if (!check_matrix(a.z, "Z must be C-contiguous")) return false;
    // y may also hold several responses, one per row (n its last dimension).
    const npy_intp n = PyArray_DIM(a.y, PyArray_NDIM(a.y) - 1);
    if (PyArray_DIM(a.codes, 0) != n || PyArray_DIM(a.x, 0) != n || PyArray_DIM(a.z, 0) != n) {
        PyErr_SetString(PyExc_ValueError, "y, X, Z and group codes must agree on the row count");
        return false;
    }
    out.y = static_cast<const double*>(PyArray_DATA(a.y));
    out.x = static_cast<const double*>(PyArray_DATA(a.x));
    out.z = static_cast<const double*>(PyArray_DATA(a.z));
    out.codes = static_cast<const std::int64_t*>(PyArray_DATA(a.codes));
    out.n = static_cast<std::uint64_t>(n);
    out.p = static_cast<std::uint64_t>(PyArray_DIM(a.x, 1));
    out.q = static_cast<std::uint64_t>(PyArray_DIM(a.z, 1));
    return true;
}

bool check_dimensions(const lmm::RowsView& r, std::uint64_t m) {
    const char* fault = nullptr;
    if (m == 0)
        fault = "n_groups must be positive";
    else if (r.p == 0)
        fault = "X must have at least one column";
    else if (r.q == 0)
        fault = "Z must have at least one column";
    else if (r.n == 0)
        fault = "y must not be empty";
    else if (!lmm::dimensions_fit(m, r.p, r.q))
        fault = "model dimensions overflow the address space";
    if (!fault) return true;
    PyErr_SetString(PyExc_ValueError, fault);
    return false;
}

bool to_doubles(PyObject* object, const char* name, std::vector<double>& out) {
    out.clear();
    if (PyUnicode_Check(object) || !PySequence_Check(object)) {
        PyErr_Format(PyExc_TypeError, "argument '%s' must be a sequence of numbers, not %s", name,
                     type_name(object));
        return false;
    }
    // A float64 vector is read directly: the same values the item-by-item
    // float conversion would give, without a Python object per entry.
    if (PyArray_Check(object)) {
        PyArrayObject* a = reinterpret_cast<PyArrayObject*>(object);
        if (PyArray_NDIM(a) == 1 && PyArray_TYPE(a) == NPY_FLOAT64 && PyArray_ISNOTSWAPPED(a) &&
            aligned_and_contiguous(a)) {
            const double* data = static_cast<const double*>(PyArray_DATA(a));
            out.assign(data, data + PyArray_DIM(a, 0));
            return true;
        }
    }
    const Py_ssize_t hint = PyObject_LengthHint(object, 0);
    if (hint < 0) return false;
    out.reserve(static_cast<std::size_t>(std::min<Py_ssize_t>(hint, Py_ssize_t{1} << 20)));
    PyRef iterator = PyRef::steal(PyObject_GetIter(object));
    if (!iterator) {
        name_type_error(name);
        return false;
    }
    while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
        const double value = PyFloat_AsDouble(item.get());
        if (value == -1.0 && PyErr_Occurred()) {
            name_type_error(name);
            return false;
        }
        out.push_back(value);
    }
    if (PyErr_Occurred()) {
        name_type_error(name);
        return false;
    }
    return true;
}

bool to_bool(PyObject* object, const char* name, bool& out) {
    if (PyBool_Check(object) || PyArray_IsScalar(object, Bool)) {
        const int truth = PyObject_IsTrue(object);
        if (truth < 0) return false;
        out = truth == 1;
        return true;
    }
    PyErr_Format(PyExc_TypeError, "argument '%s' must be bool, not %s", name, type_name(object));
    return false;
}

bool to_uint64(PyObject* object, const char* name, std::uint64_t& out) {
    PyRef index = PyRef::steal(PyNumber_Index(object));
    if (!index) {
        name_type_error(name);
        return false;
    }
    const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    out = value;
    return true;
}

bool to_double(PyObject* object, const char* name, double& out) {
    const double value = PyFloat_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred()) {
        name_type_error(name);
        return false;
    }
    out = value;
    return true;
}

bool to_evaluator(PyObject* object, lmm::EvaluatorKind& out) {
    if (!PyUnicode_Check(object)) {
        PyErr_Format(PyExc_TypeError, "argument 'evaluator' must be str, not %s", type_name(object));
        return false;
    }
    static const struct {
        const char* text;
        lmm::EvaluatorKind kind;
    } kNames[] = {{"auto", lmm::EvaluatorKind::Auto},
                  {"blocks", lmm::EvaluatorKind::Blocks},
                  {"aggregated", lmm::EvaluatorKind::Aggregated},
                  {"streaming", lmm::EvaluatorKind::Streaming}};
    for (const auto& entry : kNames) {
        if (PyUnicode_CompareWithASCIIString(object, entry.text) == 0) {
            out = entry.kind;
            return true;
        }
    }
    const std::string message =
        "evaluator must be 'auto', 'blocks', 'aggregated' or 'streaming', got " + quoted(object);
    PyErr_SetString(PyExc_ValueError, message.c_str());
    return false;
}

PyObject* float_list(const std::vector<double>& values) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(values.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < values.size(); ++i) {
        PyObject* item = PyFloat_FromDouble(values[i]);
        if (!item) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

// `free`: None, or the theta entries a fit varies (ascending, distinct, in
// range, every diagonal entry among them: the others are held at 0).
bool to_free_entries(PyObject* obj, std::uint64_t q, std::vector<std::size_t>& out) {
    out.clear();
    if (!obj || obj == Py_None) return true;
    std::vector<double> values;
    if (!to_doubles(obj, "free", values)) return false;
    const std::size_t k = lmm::n_theta(q);
    std::vector<bool> diagonal(k, false);
    for (std::uint64_t c = 0, at = 0; c < q; at += q - c, ++c) diagonal[at] = true;
    std::size_t diagonals = 0;
    for (std::size_t i = 0; i < values.size(); ++i) {
        const double v = values[i];
        if (!(v >= 0.0) || v >= static_cast<double>(k) || v != std::floor(v) ||
            (i > 0 && v <= static_cast<double>(out.back()))) {
            PyErr_Format(PyExc_ValueError, "free must list distinct theta indices in 0..%zu in ascending order", k - 1);
            return false;
        }
        out.push_back(static_cast<std::size_t>(v));
        diagonals += diagonal[out.back()] ? 1 : 0;
    }
    if (diagonals != q) {
        PyErr_SetString(PyExc_ValueError, "free must include every diagonal entry of Lambda");
        return false;
    }
    if (out.size() == k) out.clear();
    return true;
}

}  // namespace corvane::bindings

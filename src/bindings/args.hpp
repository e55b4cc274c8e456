// Argument binding and conversion shared by the constructor and the methods.
//
// Every converter has the shape (source, name, out) -> bool: true with `out`
// filled, or false with a Python exception set whose message names the
// argument. Converters hand the implementation plain C++ values.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <vector>

#include "bindings/numpy_api.hpp"
#include "lmm/evaluator_kind.hpp"
#include "lmm/lmm_data.hpp"

namespace corvane::bindings {

// A METH_FASTCALL | METH_KEYWORDS function as the PyCFunction a method table
// stores.
template <auto F>
PyCFunction fastcall() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(F));
}

// A new C-contiguous float64 array of the given shape holding a copy of
// `values` (as many as the shape holds), or null with an exception set.
PyObject* new_float_array(std::initializer_list<npy_intp> shape, const double* values);

// A new C-contiguous float64 array of the given shape that takes over
// `values` (as many as the shape holds; moved, not copied: the array frees
// them), or null with an exception set (values then freed).
PyObject* adopt_float_array(std::initializer_list<npy_intp> shape, std::vector<double>&& values);

// A new list of Python floats, or null with an exception set.
PyObject* float_list(const std::vector<double>& values);

// A fast-call signature: parameter names in order, the first n_required of
// them required.
struct Signature {
    const char* function;             // for messages: "deviance"
    const char* const* names;         // parameter names
    Py_ssize_t n_names;
    Py_ssize_t n_required;
};

// Binds positional and keyword arguments of a METH_FASTCALL|METH_KEYWORDS call
// to the signature's parameters; out[i] is a borrowed reference or null when
// the parameter was not given. TypeError with the host's usual wording on a
// missing, surplus, unknown or doubly given argument.
bool bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** out);

// A NumPy array (or subclass) with exactly `ndim` dimensions and a dtype
// equivalent to `typenum`; borrowed. TypeError naming the argument otherwise.
bool to_array(PyObject* object, const char* name, int ndim, int typenum, PyArrayObject*& out);

// C-contiguous and aligned (reading doubles at a misaligned address is
// undefined behaviour).
bool aligned_and_contiguous(PyArrayObject* a);
// The TypeError for an array that is not: always false.
bool set_layout_type_error();

// y (float64, 1-D), x and z (float64, 2-D), codes (int64, 1-D), converted in
// that order.
struct RowArrays {
    PyArrayObject* y = nullptr;
    PyArrayObject* x = nullptr;
    PyArrayObject* z = nullptr;
    PyArrayObject* codes = nullptr;
};
bool to_row_arrays(PyObject* y, PyObject* x, PyObject* z, PyObject* codes, RowArrays& out);

// The layout and row-count checks on converted row arrays, in order: y and
// codes contiguous and aligned, X and Z row-major contiguous (and aligned),
// equal row counts. Fills the view (n, p, q may be 0; later checks decide).
bool rows(const RowArrays& arrays, lmm::RowsView& out);

// The constructor's dimension checks after `rows`, in order: m >= 1, p >= 1,
// q >= 1, n >= 1, addressable sizes. ValueError with the message otherwise.
bool check_dimensions(const lmm::RowsView& rows, std::uint64_t m);

// A sequence of numbers (not a str) converted item by item with the host's
// float conversion.
bool to_doubles(PyObject* object, const char* name, std::vector<double>& out);

// A Python bool or a NumPy boolean scalar; nothing else.
bool to_bool(PyObject* object, const char* name, bool& out);

// An integer (any object with an index conversion) as unsigned 64-bit.
bool to_uint64(PyObject* object, const char* name, std::uint64_t& out);

// The host's float conversion.
bool to_double(PyObject* object, const char* name, double& out);

// "auto", "blocks", "aggregated" or "streaming" (exact match). TypeError for
// a non-str, ValueError with the quoted string otherwise.
bool to_evaluator(PyObject* object, lmm::EvaluatorKind& out);

// `free` of the fits: None (out empty), or the theta entries a fit varies
// for q random effects (ascending, distinct, in range, every diagonal entry
// among them); out is left empty when every entry is listed.
bool to_free_entries(PyObject* object, std::uint64_t q, std::vector<std::size_t>& out);

}  // namespace corvane::bindings

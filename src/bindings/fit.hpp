// The fitting methods of LmmCore: the documented multi-start `fit`, the
// certified trust-region Newton fit `fit_newton`, and the moment start.
#pragma once

#include "bindings/py_ref.hpp"

namespace corvane::bindings {

PyObject* fit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* fit_newton(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* moment_theta(PyObject* self, PyObject*);
PyObject* fit_responses(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

extern const char kFitNewtonDoc[];
extern const char kMomentThetaDoc[];
extern const char kFitResponsesDoc[];

}  // namespace corvane::bindings

// NumPy's C API, shared by every translation unit of a module. Exactly one
// file (numpy_api.cpp) defines the API table; each module calls
// import_numpy() from its exec step before using any array function.
#pragma once

#include "bindings/py_ref.hpp"

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL corvane_ARRAY_API
#ifndef CORVANE_NUMPY_API_OWNER
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>
#include <numpy/arrayscalars.h>

namespace corvane::bindings {

// 0 on success, -1 with a Python exception set.
int import_numpy();

}  // namespace corvane::bindings

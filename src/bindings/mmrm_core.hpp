// The heap type MmrmCore, created in the module's exec step.
#pragma once

#include "bindings/py_ref.hpp"

namespace corvane::bindings {

// A new reference to the class object, or null with an exception set.
PyObject* create_mmrm_type(PyObject* module);

// The class MmrmBuilder (rows added in batches, then finish() gives an
// MmrmCore of core_type), likewise.
PyObject* create_mmrm_builder_type(PyObject* module, PyObject* core_type);

}  // namespace corvane::bindings

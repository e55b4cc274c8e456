// The heap type LmmCore, created in the module's exec step.
#pragma once

#include "bindings/py_ref.hpp"
#include <memory>

#include "lmm/lmm_data.hpp"

namespace corvane::bindings {

// A new reference to the class object, or null with an exception set.
PyObject* create_core_type(PyObject* module);

// A new LmmCore (of `type`) owning `data`, or null with an exception set.
PyObject* new_core(PyTypeObject* type, std::unique_ptr<lmm::LmmData> data);

// The prepared design of an LmmCore instance (borrowed; lives as long as it).
const lmm::LmmData& core_data(PyObject* self);

}  // namespace corvane::bindings

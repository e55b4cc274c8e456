// The one boundary where C++ exceptions become Python exceptions.
//
// InvalidInput (the system's own messages) -> ValueError; std::bad_alloc and
// std::length_error (sizes no vector can hold) -> MemoryError; PythonError
// means a Python exception is already set, and so does Interrupted (the
// signal handler's exception, KeyboardInterrupt if it set none); anything
// else -> RuntimeError.
// Nothing escapes into CPython.
#pragma once

#include <version>  // defines __GLIBCXX__ under libstdc++
#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif

#include "bindings/py_ref.hpp"

namespace corvane::bindings {

// Thrown after a Python exception has been set, to unwind to the boundary.
struct PythonError {};

// Sets the Python exception for the C++ exception being handled; call it only
// inside a catch block.
void set_python_error_from_current() noexcept;

// Runs f (returning a new reference or null with an exception set) and turns
// any C++ exception into a Python exception. The one thing let through is the
// forced unwind by which the interpreter ends a daemon thread that retakes the
// lock while it exits: swallowing it would abort the process, so this is not
// noexcept and rethrows it.
template <class F>
PyObject* guarded(F&& f) {
    try {
        return f();
    }
#if defined(__GLIBCXX__)
    catch (abi::__forced_unwind&) {
        throw;
    }
#endif
    catch (...) {
        set_python_error_from_current();
        return nullptr;
    }
}

}  // namespace corvane::bindings

#include "bindings/errors.hpp"

#include <exception>
#include <new>
#include <stdexcept>

#include "lmm/errors.hpp"
#include "parallel/interrupt.hpp"

namespace corvane::bindings {

void set_python_error_from_current() noexcept {
    try {
        throw;
    } catch (const PythonError&) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_SystemError, "error return without exception set");
    } catch (const parallel::Interrupted&) {
        if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
    } catch (const lmm::InvalidInput& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
    }
}

}  // namespace corvane::bindings

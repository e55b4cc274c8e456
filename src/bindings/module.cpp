// The extension module corvane._corvane: multi-phase initialisation whose
// exec step adds the classes LmmCore, Accumulator, GlmmCore, MmrmCore and MmrmBuilder and __version__ and notes the main thread
// (the one whose calls poll for Ctrl-C), and the process-wide thread control.
// The worker pool is created by its first use.
#include "bindings/accumulator.hpp"
#include "bindings/args.hpp"
#include "bindings/errors.hpp"
#include "bindings/gil.hpp"
#include "bindings/glmm_core.hpp"
#include "bindings/lmm_core.hpp"
#include "bindings/mmrm_core.hpp"
#include "bindings/numpy_api.hpp"
#include "parallel/pool.hpp"

#ifndef CORVANE_VERSION
#define CORVANE_VERSION "0+unknown"
#endif

namespace corvane::bindings {
namespace {

PyObject* set_num_threads(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const kNames[] = {"n"};
        PyObject* bound[1];
        if (!bind_arguments({"set_num_threads", kNames, 1, 1}, args, nargs, kwnames, bound)) return nullptr;
        std::uint64_t n = 0;
        if (bound[0] != Py_None) {
            if (PyBool_Check(bound[0]) || !PyIndex_Check(bound[0])) {
                PyErr_Format(PyExc_TypeError, "n must be an int or None, not %.100s", Py_TYPE(bound[0])->tp_name);
                return nullptr;
            }
            PyRef value = PyRef::steal(PyNumber_Index(bound[0]));
            if (!value) return nullptr;
            int overflow = 0;
            const long long v = PyLong_AsLongLongAndOverflow(value.get(), &overflow);
            if (v == -1 && PyErr_Occurred()) return nullptr;
            if (overflow || v < 1 || static_cast<std::uint64_t>(v) > parallel::kMaxThreads) {
                PyErr_Format(PyExc_ValueError, "n must be between 1 and %zu, or None, got %S",
                             parallel::kMaxThreads, value.get());
                return nullptr;
            }
            n = static_cast<std::uint64_t>(v);
        }
        const std::size_t got = without_gil([&] { return parallel::set_thread_count(n); });
        return PyLong_FromSize_t(got);
    });
}

PyObject* get_num_threads(PyObject*, PyObject*) {
    return guarded([] { return PyLong_FromSize_t(without_gil([] { return parallel::thread_count(); })); });
}

constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef kFunctions[] = {
    {"set_num_threads", fastcall<set_num_threads>(), kFast,
     "set_num_threads(n)\n--\n\n"
     "Use `n` threads (the calling thread included) for corvane's parallel work,\n"
     "process-wide; `None` restores the default, one per CPU the process may run\n"
     "on. Returns the number now in effect (lower than `n` only when the system\n"
     "refuses to start more threads). Results are the same bit for bit whatever\n"
     "the number."},
    {"get_num_threads", get_num_threads, METH_NOARGS,
     "get_num_threads()\n--\n\n"
     "The number of threads corvane's parallel work uses, the calling thread\n"
     "included."},
    {nullptr, nullptr, 0, nullptr},
};

int exec_module(PyObject* module) {
    if (import_numpy() < 0 || remember_main_thread() < 0) return -1;
    PyRef type = PyRef::steal(create_core_type(module));
    if (!type) return -1;
    if (PyModule_AddType(module, reinterpret_cast<PyTypeObject*>(type.get())) < 0) return -1;
    PyRef accumulator = PyRef::steal(create_accumulator_type(module));
    if (!accumulator) return -1;
    if (PyModule_AddType(module, reinterpret_cast<PyTypeObject*>(accumulator.get())) < 0) return -1;
    PyRef glmm = PyRef::steal(create_glmm_type(module));
    if (!glmm) return -1;
    if (PyModule_AddType(module, reinterpret_cast<PyTypeObject*>(glmm.get())) < 0) return -1;
    PyRef mmrm = PyRef::steal(create_mmrm_type(module));
    if (!mmrm) return -1;
    if (PyModule_AddType(module, reinterpret_cast<PyTypeObject*>(mmrm.get())) < 0) return -1;
    PyRef mmrm_builder = PyRef::steal(create_mmrm_builder_type(module, mmrm.get()));
    if (!mmrm_builder) return -1;
    if (PyModule_AddType(module, reinterpret_cast<PyTypeObject*>(mmrm_builder.get())) < 0) return -1;
    if (PyModule_AddStringConstant(module, "__version__", CORVANE_VERSION) < 0) return -1;
    return 0;
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#ifdef Py_mod_multiple_interpreters
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
    {0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "_corvane",
    "The numerical core of corvane: LmmCore (the profiled REML / ML criterion of a linear mixed model\n"
    "with one grouping factor, its derivatives and fits, from one pass over the rows), Accumulator\n"
    "(products summed over batches of rows), GlmmCore (the generalized model's rows, its Laplace and\n"
    "quadrature deviance, modes and fits), MmrmCore (a model for repeated measures: its visit patterns'\n"
    "products, REML / ML criterion with exact derivatives, and fits) and the worker pool's thread count.",
    0,
    kFunctions,
    kSlots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace corvane::bindings

PyMODINIT_FUNC PyInit__corvane(void) { return PyModuleDef_Init(&corvane::bindings::kModule); }

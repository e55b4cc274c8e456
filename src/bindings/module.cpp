// The extension module corvane._corvane: multi-phase initialisation whose
// exec step adds the class LmmCore and __version__. Nothing else is set up at
// import; the worker pool is created by its first use.
#include "bindings/lmm_core.hpp"
#include "bindings/numpy_api.hpp"

namespace corvane::bindings {
namespace {

int exec_module(PyObject* module) {
    if (import_numpy() < 0) return -1;
    PyRef type = PyRef::steal(create_core_type(module));
    if (!type) return -1;
    if (PyModule_AddType(module, reinterpret_cast<PyTypeObject*>(type.get())) < 0) return -1;
    if (PyModule_AddStringConstant(module, "__version__", "0.2.0") < 0) return -1;
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
    "",
    0,
    nullptr,
    kSlots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace corvane::bindings

PyMODINIT_FUNC PyInit__corvane(void) { return PyModuleDef_Init(&corvane::bindings::kModule); }

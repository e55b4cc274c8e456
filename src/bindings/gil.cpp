#include "bindings/gil.hpp"

#include <atomic>

#include "platform/platform.hpp"

namespace corvane::bindings {
namespace {

std::atomic<unsigned long> g_main_thread{0};
bool g_atfork_registered = false;

// The thread that forks is the child's main thread (the interpreter makes it
// so in the child too).
void main_after_fork() { g_main_thread.store(PyThread_get_thread_ident(), std::memory_order_relaxed); }

}  // namespace

bool SignalSource::should_stop() {
    PyEval_RestoreThread(state_);
    const bool stop = PyErr_CheckSignals() < 0;
    state_ = PyEval_SaveThread();
    return stop;
}

bool on_main_thread() {
    return PyThread_get_thread_ident() == g_main_thread.load(std::memory_order_relaxed);
}

int remember_main_thread() {
    PyRef threading = PyRef::steal(PyImport_ImportModule("threading"));
    if (!threading) return -1;
    PyRef main = PyRef::steal(PyObject_CallMethod(threading.get(), "main_thread", nullptr));
    if (!main) return -1;
    PyRef ident = PyRef::steal(PyObject_GetAttrString(main.get(), "ident"));
    if (!ident) return -1;
    const unsigned long value = PyLong_AsUnsignedLong(ident.get());
    if (value == static_cast<unsigned long>(-1) && PyErr_Occurred()) return -1;
    g_main_thread.store(value, std::memory_order_relaxed);
    if (!g_atfork_registered) {
        platform::at_fork(nullptr, nullptr, main_after_fork);
        g_atfork_registered = true;
    }
    return 0;
}

}  // namespace corvane::bindings

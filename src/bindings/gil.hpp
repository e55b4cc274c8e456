// Numerical work without the interpreter lock, interruptible by signals.
//
// without_gil(f) releases the lock, runs f, retakes the lock and returns f's
// result. On the interpreter's main thread (the only one on which Python
// handles signals) it installs an interrupt scope: every kPollInterval the
// core's checks retake the lock just long enough to run the interpreter's
// pending signal handlers; when one raises (Ctrl-C raises KeyboardInterrupt)
// the work stops at its next check and the handler's exception is the call's.
//
// An exception thrown by f is held until the lock is back and rethrown then,
// so the lock is never retaken while the stack unwinds. That matters at
// interpreter exit: a daemon thread that retakes the lock then is ended by the
// interpreter with a forced unwind, which must find no destructor in the
// middle of handling another exception and no noexcept frame on its way out
// (see `guarded`).
#pragma once

#include <exception>
#include <optional>
#include <type_traits>
#include <utility>

#include "bindings/py_ref.hpp"
#include "parallel/interrupt.hpp"

namespace corvane::bindings {

// Releases the interpreter lock for its lifetime.
class Unlocked {
public:
    Unlocked() : state_(PyEval_SaveThread()) {}
    Unlocked(const Unlocked&) = delete;
    Unlocked& operator=(const Unlocked&) = delete;
    // May end the thread (a forced unwind) when the interpreter is exiting.
    ~Unlocked() noexcept(false) { PyEval_RestoreThread(state_); }
    PyThreadState*& state() { return state_; }

private:
    PyThreadState* state_;
};

// Pending signals, checked with the lock retaken for the moment of the check.
class SignalSource final : public parallel::InterruptSource {
public:
    explicit SignalSource(PyThreadState*& state) : state_(state) {}
    bool should_stop() override;

private:
    PyThreadState*& state_;
};

// Whether the calling thread is the interpreter's main thread.
bool on_main_thread();

// Records the main thread (module exec step) and keeps it right across fork.
int remember_main_thread();

template <class F>
decltype(auto) without_gil(F&& f) {
    using R = std::invoke_result_t<F&>;
    std::exception_ptr error;
    std::conditional_t<std::is_void_v<R>, bool, std::optional<R>> result{};
    {
        Unlocked unlocked;
        std::optional<SignalSource> source;
        std::optional<parallel::InterruptScope> scope;
        if (on_main_thread()) {
            source.emplace(unlocked.state());
            scope.emplace(*source);
        }
        try {
            if constexpr (std::is_void_v<R>)
                f();
            else
                result.emplace(f());
        } catch (...) {
            error = std::current_exception();
        }
    }
    if (error) std::rethrow_exception(error);
    if constexpr (!std::is_void_v<R>) return R(std::move(*result));
}

}  // namespace corvane::bindings

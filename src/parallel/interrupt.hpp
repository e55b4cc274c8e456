// Cooperative interruption of long calls.
//
// A call that may run for a long time installs an InterruptScope on the
// thread that started it, naming a source that can tell whether the caller
// wants it to stop (the bindings ask the interpreter for pending signals).
// Long loops call check_interrupt() at chunk boundaries. On the thread that
// owns the scope it asks the source at most once per kPollInterval; on pool
// workers running items of the same call it only reads the call's shared
// stop flag. Once the source says stop, every thread working for the call
// throws Interrupted at its next check, the parallel maps skip their
// remaining items and the exception reaches the caller, which unwinds
// through ordinary destructors: nothing half-built survives.
//
// Without a scope (tests, nested internal use) check_interrupt() does
// nothing, so the core works the same whether or not anyone can interrupt it.
#pragma once

#include <atomic>
#include <chrono>

namespace corvane::parallel {

// The exception a check throws once the call has been told to stop. It is not
// a std::exception: only the boundary that installed the scope handles it.
struct Interrupted {};

// Asked, on the thread that installed the scope, whether the call should
// stop. May take a while (it may wait for the interpreter lock).
class InterruptSource {
public:
    virtual bool should_stop() = 0;

protected:
    ~InterruptSource() = default;
};

inline constexpr std::chrono::milliseconds kPollInterval{20};

// The per-call state that check_interrupt() reads; shared with the pool
// workers that run the call's items.
struct InterruptToken {
    InterruptSource* source = nullptr;
    const void* owner = nullptr;  // identifies the owning thread
    std::atomic<bool> stop{false};
    std::chrono::steady_clock::time_point next_poll{};
};

// Installs a token for the calling thread for the scope's lifetime (scopes
// nest; the innermost wins).
class InterruptScope {
public:
    explicit InterruptScope(InterruptSource& source);
    InterruptScope(const InterruptScope&) = delete;
    InterruptScope& operator=(const InterruptScope&) = delete;
    ~InterruptScope();

private:
    InterruptToken token_;
    InterruptToken* previous_;
};

// Throws Interrupted when the current call should stop; cheap enough for
// every chunk boundary.
void check_interrupt();

// On the owning thread: asks the source now if the poll interval has passed
// and records the answer in the shared flag, without throwing. Used while the
// owner waits for pool workers. Returns the flag.
bool poll_interrupt();

namespace detail {
// The token of the call the current thread works for (null when none); the
// pool hands it to its workers with each map.
InterruptToken* current_token();
void set_current_token(InterruptToken* token);
}  // namespace detail

}  // namespace corvane::parallel

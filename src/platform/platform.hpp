// What the system underneath provides, behind one interface with a branch
// per system (Linux, macOS, Windows): the CPUs this process may run on, the
// memory the machine can give, huge-page advice, fork handlers and blocking
// signals on a new thread. Everything else in the core is standard C++.
#pragma once

#include <cstddef>
#include <cstdint>

namespace corvane::platform {

// CPUs the process may run on: its affinity mask where the system has one
// (Linux, Windows), otherwise the hardware's count; at least 1.
std::size_t available_cpus();

// Physical memory plus swap (the most an allocation can ever get) in bytes,
// saturated at 2^64 - 1; 0 when unknown.
std::uint64_t memory_limit_bytes();

// Asks for huge pages on [p, p + bytes) (page-aligned); a hint, ignored where
// the system has no such advice.
void advise_huge_pages(void* p, std::size_t bytes) noexcept;

// Handlers run around fork() (POSIX); nothing on systems without fork.
void at_fork(void (*prepare)(), void (*parent)(), void (*child)());

// While alive, the calling thread has every signal blocked, so that threads
// started meanwhile inherit the mask and never run the interpreter's signal
// handlers (POSIX); nothing on Windows, where signals are not per thread.
class SignalsBlocked {
public:
    SignalsBlocked();
    ~SignalsBlocked();
    SignalsBlocked(const SignalsBlocked&) = delete;
    SignalsBlocked& operator=(const SignalsBlocked&) = delete;

private:
    alignas(8) unsigned char saved_[256];
    bool active_ = false;
};

}  // namespace corvane::platform

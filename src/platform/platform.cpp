#include "platform/platform.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <thread>

#include "platform/checked.hpp"

#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>
#endif
#if defined(__linux__)
#include <sched.h>
#include <sys/sysinfo.h>
#endif
#if defined(__APPLE__)
#include <sys/sysctl.h>
#include <sys/types.h>
#endif

namespace corvane::platform {

namespace {

std::size_t hardware_cpus() { return std::max(1u, std::thread::hardware_concurrency()); }

std::uint64_t saturating_mul(std::uint64_t a, std::uint64_t b) {
    std::uint64_t out = 0;
    return mul_overflows(a, b, out) ? std::numeric_limits<std::uint64_t>::max() : out;
}

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
    std::uint64_t out = 0;
    return add_overflows(a, b, out) ? std::numeric_limits<std::uint64_t>::max() : out;
}

}  // namespace

std::size_t available_cpus() {
#if defined(__linux__)
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof(set), &set) == 0) {
        const int count = CPU_COUNT(&set);
        if (count > 0) return static_cast<std::size_t>(count);
    } else {
        // More CPUs than a fixed cpu_set_t holds.
        for (int cpus = 2 * CPU_SETSIZE; cpus <= (1 << 20); cpus *= 2) {
            cpu_set_t* dyn = CPU_ALLOC(cpus);
            if (!dyn) break;
            const std::size_t bytes = CPU_ALLOC_SIZE(cpus);
            CPU_ZERO_S(bytes, dyn);
            if (sched_getaffinity(0, bytes, dyn) == 0) {
                const int count = CPU_COUNT_S(bytes, dyn);
                CPU_FREE(dyn);
                if (count > 0) return static_cast<std::size_t>(count);
                break;
            }
            CPU_FREE(dyn);
        }
    }
    return hardware_cpus();
#elif defined(_WIN32)
    DWORD_PTR process = 0, system = 0;
    if (GetProcessAffinityMask(GetCurrentProcess(), &process, &system) && process != 0) {
        std::size_t count = 0;
        for (DWORD_PTR m = process; m; m &= m - 1) ++count;
        return count;  // the processors of this process's group it may use
    }
    return hardware_cpus();
#else
    return hardware_cpus();  // macOS has no affinity masks
#endif
}

std::uint64_t memory_limit_bytes() {
#if defined(__linux__)
    struct sysinfo info {};
    if (sysinfo(&info) != 0) return 0;
    return saturating_mul(saturating_add(info.totalram, info.totalswap), info.mem_unit);
#elif defined(__APPLE__)
    std::uint64_t ram = 0;
    std::size_t size = sizeof(ram);
    if (sysctlbyname("hw.memsize", &ram, &size, nullptr, 0) != 0) return 0;
    struct xsw_usage swap {};
    size = sizeof(swap);
    if (sysctlbyname("vm.swapusage", &swap, &size, nullptr, 0) == 0) return saturating_add(ram, swap.xsu_total);
    return ram;
#elif defined(_WIN32)
    MEMORYSTATUSEX status;
    status.dwLength = sizeof(status);
    if (!GlobalMemoryStatusEx(&status)) return 0;
    return status.ullTotalPageFile;  // the commit limit: RAM plus the page file
#else
    return 0;
#endif
}

void advise_huge_pages(void* p, std::size_t bytes) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    madvise(p, bytes, MADV_HUGEPAGE);
#else
    (void)p;
    (void)bytes;
#endif
}

void at_fork(void (*prepare)(), void (*parent)(), void (*child)()) {
#if defined(_WIN32)
    (void)prepare;
    (void)parent;
    (void)child;
#else
    pthread_atfork(prepare, parent, child);
#endif
}

SignalsBlocked::SignalsBlocked() {
#if !defined(_WIN32)
    static_assert(sizeof(sigset_t) <= sizeof(saved_), "sigset_t is larger than expected");
    sigset_t all, old;
    sigfillset(&all);
    if (pthread_sigmask(SIG_SETMASK, &all, &old) == 0) {
        std::memcpy(saved_, &old, sizeof(old));
        active_ = true;
    }
#endif
}

SignalsBlocked::~SignalsBlocked() {
#if !defined(_WIN32)
    if (active_) {
        sigset_t old;
        std::memcpy(&old, saved_, sizeof(old));
        pthread_sigmask(SIG_SETMASK, &old, nullptr);
    }
#endif
}

}  // namespace corvane::platform

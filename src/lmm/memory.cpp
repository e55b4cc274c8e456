#include "lmm/memory.hpp"

#include <sys/sysinfo.h>

#include <new>

namespace corvane::lmm {

std::uint64_t size_product(std::uint64_t a, std::uint64_t b) {
    std::uint64_t out = 0;
    if (__builtin_mul_overflow(a, b, &out)) throw std::bad_alloc();
    return out;
}

void require_memory(std::initializer_list<std::uint64_t> bytes) {
    std::uint64_t total = 0;
    for (std::uint64_t b : bytes) {
        if (__builtin_add_overflow(total, b, &total)) throw std::bad_alloc();
    }
    struct sysinfo info{};
    if (sysinfo(&info) != 0) return;  // unknown: let the allocator decide
    const unsigned __int128 limit =
        (static_cast<unsigned __int128>(info.totalram) + info.totalswap) * info.mem_unit;
    if (total > limit) throw std::bad_alloc();
}

}  // namespace corvane::lmm

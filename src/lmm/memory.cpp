#include "lmm/memory.hpp"


#include <cstdint>
#include <new>

#include "lmm/scratch_pool.hpp"
#include "platform/checked.hpp"
#include "platform/platform.hpp"

namespace corvane::lmm {

void advise_huge_pages(void* p, std::size_t bytes) noexcept { platform::advise_huge_pages(p, bytes); }

void resize_blocks(std::vector<double>& v, std::uint64_t size) {
    constexpr std::uintptr_t kHuge = std::uintptr_t{1} << 21;
    if (size > v.capacity() && size * sizeof(double) >= 2 * kHuge) {
        v.reserve(size);
        // Whole 2 MiB pages inside the new storage, before they are touched.
        const auto begin = reinterpret_cast<std::uintptr_t>(v.data());
        const std::uintptr_t lo = (begin + kHuge - 1) & ~(kHuge - 1);
        const std::uintptr_t hi = (begin + size * sizeof(double)) & ~(kHuge - 1);
        if (hi > lo) advise_huge_pages(reinterpret_cast<void*>(lo), hi - lo);
    }
    v.resize(size, 0.0);
}

std::uint64_t size_product(std::uint64_t a, std::uint64_t b) {
    std::uint64_t out = 0;
    if (platform::mul_overflows(a, b, out)) throw std::bad_alloc();
    return out;
}

void require_memory(std::initializer_list<std::uint64_t> bytes) {
    std::uint64_t total = 0;
    for (std::uint64_t b : bytes) {
        if (platform::add_overflows(total, b, total)) throw std::bad_alloc();
    }
    const std::uint64_t limit = platform::memory_limit_bytes();
    if (limit != 0 && total > limit) throw std::bad_alloc();  // 0: unknown, let the allocator decide
}

}  // namespace corvane::lmm

// How work over rows, groups or classes is cut into chunks and when the
// chunks go to the worker pool.
//
// Chunk lengths depend only on the problem's dimensions (never on the thread
// count), and per-chunk results are always combined on the calling thread in
// chunk order, so every result is the same bit for bit on any pool.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "parallel/interrupt.hpp"
#include "parallel/pool.hpp"
#include "platform/checked.hpp"

namespace corvane::lmm {

inline constexpr std::uint64_t kChunkWork = 32768;      // work units per chunk
inline constexpr std::uint64_t kMinChunk = 64;          // items per chunk at least
inline constexpr std::uint64_t kParallelWork = 196608; // total work before going parallel

// Who runs the chunks: the normal rule, or forced either way (tests use the
// forced forms to show that both give the same bits).
enum class Schedule : std::uint8_t { Auto, Sequential, Parallel };

// Items per chunk for a per-item cost: max(64, floor(32768 / cost)).
inline std::uint64_t chunk_length(std::uint64_t cost) {
    return std::max(kMinChunk, kChunkWork / std::max<std::uint64_t>(cost, 1));
}

// items * cost >= 262144, counting a product that overflows 64 bits as large.
inline bool work_is_large(std::uint64_t items, std::uint64_t cost) {
    std::uint64_t work = 0;
    return platform::mul_overflows(items, cost, work) || work >= kParallelWork;
}

// The usual decision: more items than one chunk, enough total work, and a
// pool with more than one thread.
inline bool go_parallel(Schedule schedule, std::uint64_t items, std::uint64_t chunk,
                        std::uint64_t cost) {
    switch (schedule) {
        case Schedule::Sequential: return false;
        case Schedule::Parallel: return true;
        case Schedule::Auto: break;
    }
    return items > chunk && work_is_large(items, cost) && parallel::thread_count() > 1;
}

inline std::uint64_t chunk_count(std::uint64_t items, std::uint64_t chunk) {
    return items / chunk + (items % chunk != 0);
}

// Runs f(chunk) for every chunk, on the pool when `parallel`, else in order on
// the calling thread; each chunk first checks for an interrupt. For chunks
// that write disjoint outputs and need no reduction.
template <class F>
void for_each_chunk(std::uint64_t n_chunks, bool parallel, F&& f) {
    auto checked = [&](std::uint64_t c) {
        parallel::check_interrupt();
        f(c);
    };
    if (parallel) {
        parallel::parallel_for(n_chunks, checked);
    } else {
        for (std::uint64_t c = 0; c < n_chunks; ++c) checked(c);
    }
}

// Runs compute(chunk, slot) for every chunk and merge(chunk, slot) on the
// calling thread for chunk 0, 1, 2, ... in order. Each chunk computes into a
// workspace slot (compute must reset it first); with `parallel`, up to
// slots.size() chunks run at once on the pool and are merged as a wave, so
// the memory held by partial results stays bounded however many chunks there
// are. Without `parallel` every chunk reuses slots[0] on the calling thread.
// Each chunk first checks for an interrupt.
template <class Slot, class Compute, class Merge>
void chunked_reduce(std::uint64_t n_chunks, bool parallel, std::vector<Slot>& slots,
                    Compute&& compute, Merge&& merge) {
    if (!parallel || slots.size() < 2) {
        for (std::uint64_t c = 0; c < n_chunks; ++c) {
            parallel::check_interrupt();
            compute(c, slots[0]);
            merge(c, slots[0]);
        }
        return;
    }
    for (std::uint64_t base = 0; base < n_chunks; base += slots.size()) {
        const std::uint64_t count = std::min<std::uint64_t>(slots.size(), n_chunks - base);
        parallel::parallel_for(count, [&](std::size_t i) {
            parallel::check_interrupt();
            compute(base + i, slots[i]);
        });
        for (std::uint64_t i = 0; i < count; ++i) merge(base + i, slots[i]);
    }
}

// How many workspace slots a parallel chunked_reduce should use: up to 256
// per thread (few waves, so little waiting at wave ends) while they fit in
// about 64 MiB, but at least one per thread, and never more than there are
// chunks. Memory held by partial results thus stays bounded as m grows, and
// stays at one slot per thread when a single slot is large (wide X).
inline std::uint64_t reduce_slots(std::uint64_t n_chunks, std::uint64_t slot_bytes) {
    constexpr std::uint64_t kBudget = std::uint64_t{64} << 20;
    const std::uint64_t threads = parallel::thread_count();
    const std::uint64_t by_budget =
        std::min(kBudget / std::max<std::uint64_t>(slot_bytes, 1), 256 * threads);
    return std::max<std::uint64_t>(1, std::min(n_chunks, std::max(threads, by_budget)));
}

}  // namespace corvane::lmm

// The process-wide worker pool and its indexed parallel map.
//
// One pool serves the whole process. It is created on first use with one
// thread per CPU the process may run on (its affinity mask), the calling
// thread counted: a process pinned to one CPU gets a pool of one thread and
// every map runs on the caller. set_thread_count() changes the number of
// threads maps may use, for the whole process; results never depend on it,
// because the callers' chunking depends only on the problem's dimensions. Any number of threads may run maps at once;
// each map hands out its items one at a time to whichever thread asks next,
// and the calling thread works on its own map until every item is done, so a
// map always finishes even when every worker is busy elsewhere (maps may nest).
//
// After fork() the child's pool is forgotten (its threads do not exist in the
// child) and a fresh one is created on the child's first use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <utility>
#include <vector>

namespace corvane::parallel {

// Threads of the pool, the calling thread included (>= 1). Creates the pool.
std::size_t thread_count();

// Sets the number of threads maps may use (the calling thread included);
// 0 restores the default (the CPUs in the affinity mask). Threads are created
// as needed and never destroyed: surplus ones sleep. Maps already running
// finish with the threads they have. Returns the count now in effect, which
// is lower than asked when the system refuses to create more threads.
std::size_t set_thread_count(std::size_t threads);

// The default: CPUs the process may run on.
std::size_t default_thread_count();

// 0 in a process that was not forked from one using this library, and one
// more in each child forked since: an object that records it at creation
// knows, when it differs, that it was inherited through fork() and that a
// mutex it holds may have been locked by a thread the child does not have.
std::uint64_t fork_generation();

// The largest count set_thread_count() accepts.
inline constexpr std::size_t kMaxThreads = 1024;

namespace detail {
using ItemFn = void (*)(void* context, std::size_t index);
// Runs fn(context, i) for i in [0, n_items) on the pool; see parallel_for.
void run_items(std::size_t n_items, ItemFn fn, void* context);
}  // namespace detail

// Calls f(i) for every i in [0, n_items), spread over the pool; the calling
// thread takes part and returns once every item has finished. Items must
// write only their own outputs. If items throw, the remaining items are
// skipped and the first exception is rethrown on the calling thread.
template <class F>
void parallel_for(std::size_t n_items, F&& f) {
    using Fn = std::remove_reference_t<F>;
    detail::run_items(
        n_items,
        [](void* context, std::size_t i) { (*static_cast<Fn*>(context))(i); },
        const_cast<void*>(static_cast<const void*>(&f)));
}

// Indexed map: result[i] = f(i), each result stored at its item's index.
template <class R, class F>
std::vector<R> parallel_map(std::size_t n_items, F&& f) {
    std::vector<R> results(n_items);
    parallel_for(n_items, [&](std::size_t i) { results[i] = f(i); });
    return results;
}

}  // namespace corvane::parallel

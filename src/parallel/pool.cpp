// Worker pool: a queue of open maps served by detached worker threads.
//
// A map (Job) lives on its caller's stack. It is queued while it still has
// unclaimed items; threads claim items with an atomic counter. `users` counts
// the workers holding a pointer to the job and is changed only under the pool
// mutex, so the caller can wait (on the same mutex) until every item has
// finished and no worker still refers to the job before its frame goes away.
// A job carries its caller's interrupt token, so that items run by workers
// see the same stop flag as the caller; while the caller waits for workers it
// keeps polling for an interrupt.
#include "parallel/pool.hpp"


#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>

#include "parallel/interrupt.hpp"
#include "platform/platform.hpp"

namespace corvane::parallel {
namespace {

struct Job {
    detail::ItemFn fn = nullptr;
    void* context = nullptr;
    std::size_t n_items = 0;
    InterruptToken* token = nullptr;       // the caller's, handed to workers
    std::atomic<std::size_t> next{0};      // next unclaimed item
    std::atomic<std::size_t> finished{0};  // items run or skipped
    std::atomic<bool> failed{false};       // an item threw: skip the rest
    std::exception_ptr error;              // first exception (set under pool mutex)
    std::size_t users = 0;                 // workers holding the job (pool mutex)
    std::condition_variable released;      // signalled when users drops
};

// Runs the job's remaining items on the current thread with the job's
// interrupt token installed.
class TokenSwap {
public:
    explicit TokenSwap(InterruptToken* token) : previous_(detail::current_token()) {
        detail::set_current_token(token);
    }
    TokenSwap(const TokenSwap&) = delete;
    TokenSwap& operator=(const TokenSwap&) = delete;
    ~TokenSwap() { detail::set_current_token(previous_); }

private:
    InterruptToken* previous_;
};

class Pool {
public:
    explicit Pool(std::size_t wanted) { resize(wanted); }

    std::size_t size() const { return active_.load(std::memory_order_relaxed); }

    // Creates workers up to `wanted - 1` and lets the first `wanted - 1` of
    // them take jobs. Returns the count in effect.
    std::size_t resize(std::size_t wanted) {
        wanted = std::clamp<std::size_t>(wanted, 1, kMaxThreads);
        std::lock_guard<std::mutex> lock(mutex_);
        if (workers_ + 1 < wanted) {
            // Workers never handle signals; the interpreter's handlers run on
            // the threads that already exist.
            const platform::SignalsBlocked blocked;
            while (workers_ + 1 < wanted) {
                try {
                    const std::size_t index = workers_;
                    std::thread([this, index] { worker_loop(index); }).detach();
                    ++workers_;
                } catch (...) {
                    break;  // fewer threads than asked is still a working pool
                }
            }
        }
        active_.store(std::min(wanted, workers_ + 1), std::memory_order_relaxed);
        wake_.notify_all();
        return active_.load(std::memory_order_relaxed);
    }

    void run(Job& job) {
        bool queued = false;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (size() > 1 && job.n_items > 1) {
                queue_.push_back(&job);
                queued = true;
            }
        }
        if (queued) wake_.notify_all();
        {
            TokenSwap swap(job.token);
            work_on(job);
        }
        std::unique_lock<std::mutex> lock(mutex_);
        remove_from_queue(&job);
        const auto done = [&] {
            return job.users == 0 && job.finished.load(std::memory_order_acquire) == job.n_items;
        };
        // The owner of an interruptible call keeps asking whether to stop
        // while workers finish; the answer reaches them through the token.
        const bool owner = job.token && job.token == detail::current_token();
        while (!done()) {
            if (!owner) {
                job.released.wait(lock, done);
                break;
            }
            if (job.released.wait_for(lock, kPollInterval, done)) break;
            lock.unlock();
            poll_interrupt();
            lock.lock();
        }
    }

private:
    void work_on(Job& job) {
        for (;;) {
            const std::size_t i = job.next.fetch_add(1, std::memory_order_relaxed);
            if (i >= job.n_items) return;
            if (!job.failed.load(std::memory_order_relaxed)) {
                try {
                    job.fn(job.context, i);
                } catch (...) {
                    std::lock_guard<std::mutex> lock(mutex_);
                    if (!job.error) job.error = std::current_exception();
                    job.failed.store(true, std::memory_order_relaxed);
                }
            }
            job.finished.fetch_add(1, std::memory_order_acq_rel);
        }
    }

    void remove_from_queue(Job* job) {
        auto it = std::find(queue_.begin(), queue_.end(), job);
        if (it != queue_.end()) queue_.erase(it);
    }

    [[noreturn]] void worker_loop(std::size_t index) {
        // Allocate this thread's thread-local storage now, while memory is
        // there: the C++ runtime's exception state is first touched by a
        // throw, and a throw of std::bad_alloc under an address-space limit
        // would otherwise find no memory for it and abort the process.
        (void)std::uncaught_exceptions();
        detail::set_current_token(nullptr);

        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            wake_.wait(lock, [&] { return !queue_.empty() && index + 1 < size(); });
            Job* job = queue_.front();
            ++job->users;
            lock.unlock();
            {
                TokenSwap swap(job->token);
                work_on(*job);
            }
            lock.lock();
            // Every item is claimed: nobody else needs to find this job.
            remove_from_queue(job);
            if (--job->users == 0) job->released.notify_all();
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Job*> queue_;
    std::size_t workers_ = 0;  // threads created (they never exit)
    std::atomic<std::size_t> active_{1};  // threads maps may use, the caller included
                                          // (changed under the mutex)
};

std::size_t affinity_cpus() { return platform::available_cpus(); }

// The pool is created on first use and never destroyed: worker threads are
// detached and simply stop existing when the process ends, so nothing runs
// during static destruction. `g_create` guards creation and resizing and is
// held across fork() so that the child always inherits it in a consistent
// state. `g_requested` is the count set by the user (0: the default); it
// survives fork, so a child's new pool has the parent's setting.
std::mutex g_create;
std::atomic<Pool*> g_pool{nullptr};
std::atomic<std::size_t> g_requested{0};
bool g_atfork_registered = false;

void before_fork() { g_create.lock(); }
void after_fork_parent() { g_create.unlock(); }
void after_fork_child() {
    // The parent's workers do not exist here and its pool mutex may have been
    // held by one of them: abandon that pool (deliberately leaked) and let the
    // child build its own when it first needs one.
    g_pool.store(nullptr, std::memory_order_relaxed);
    g_create.unlock();
}

std::size_t wanted_threads() {
    const std::size_t requested = g_requested.load(std::memory_order_relaxed);
    return requested ? requested : affinity_cpus();
}

// Call with g_create held.
Pool& pool_locked() {
    Pool* p = g_pool.load(std::memory_order_relaxed);
    if (!p) {
        if (!g_atfork_registered) {
            platform::at_fork(before_fork, after_fork_parent, after_fork_child);
            g_atfork_registered = true;
        }
        p = new Pool(wanted_threads());
        g_pool.store(p, std::memory_order_release);
    }
    return *p;
}

Pool& pool() {
    Pool* p = g_pool.load(std::memory_order_acquire);
    if (p) return *p;
    std::lock_guard<std::mutex> lock(g_create);
    return pool_locked();
}

}  // namespace

std::size_t thread_count() { return pool().size(); }

std::size_t default_thread_count() { return affinity_cpus(); }

namespace {
std::atomic<std::uint64_t> g_fork_generation{0};
void count_fork_child() { g_fork_generation.fetch_add(1, std::memory_order_relaxed); }
}  // namespace

std::uint64_t fork_generation() {
    // Registered with the first caller (the first design's workspaces, made
    // before any evaluation runs on threads).
    static const bool registered = (platform::at_fork(nullptr, nullptr, count_fork_child), true);
    (void)registered;
    return g_fork_generation.load(std::memory_order_relaxed);
}

std::size_t set_thread_count(std::size_t threads) {
    std::lock_guard<std::mutex> lock(g_create);
    g_requested.store(std::min(threads, kMaxThreads), std::memory_order_relaxed);
    return pool_locked().resize(wanted_threads());
}

namespace detail {
void run_items(std::size_t n_items, ItemFn fn, void* context) {
    if (n_items == 0) return;
    Job job;
    job.fn = fn;
    job.context = context;
    job.n_items = n_items;
    job.token = current_token();
    pool().run(job);
    if (job.error) std::rethrow_exception(job.error);
}
}  // namespace detail

}  // namespace corvane::parallel

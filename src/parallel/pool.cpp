// Worker pool: a queue of open maps served by detached worker threads.
//
// A map (Job) lives on its caller's stack. It is queued while it still has
// unclaimed items; threads claim items with an atomic counter. `users` counts
// the workers holding a pointer to the job and is changed only under the pool
// mutex, so the caller can wait (on the same mutex) until every item has
// finished and no worker still refers to the job before its frame goes away.
#include "parallel/pool.hpp"

#include <pthread.h>
#include <sched.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>

namespace corvane::parallel {
namespace {

struct Job {
    detail::ItemFn fn = nullptr;
    void* context = nullptr;
    std::size_t n_items = 0;
    std::atomic<std::size_t> next{0};      // next unclaimed item
    std::atomic<std::size_t> finished{0};  // items run or skipped
    std::atomic<bool> failed{false};       // an item threw: skip the rest
    std::exception_ptr error;              // first exception (set under pool mutex)
    std::size_t users = 0;                 // workers holding the job (pool mutex)
    std::condition_variable released;      // signalled when users drops
};

class Pool {
public:
    explicit Pool(std::size_t wanted) {
        // Workers never handle signals; the interpreter's handlers run on the
        // threads that already exist.
        sigset_t all, old;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &old);
        for (std::size_t i = 1; i < wanted; ++i) {
            try {
                std::thread([this] { worker_loop(); }).detach();
                ++workers_;
            } catch (...) {
                break;  // fewer threads than CPUs is still a working pool
            }
        }
        pthread_sigmask(SIG_SETMASK, &old, nullptr);
    }

    std::size_t size() const { return workers_ + 1; }

    void run(Job& job) {
        if (workers_ > 0 && job.n_items > 1) {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                queue_.push_back(&job);
            }
            wake_.notify_all();
        }
        work_on(job);
        std::unique_lock<std::mutex> lock(mutex_);
        remove_from_queue(&job);
        job.released.wait(lock, [&] {
            return job.users == 0 && job.finished.load(std::memory_order_acquire) == job.n_items;
        });
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

    [[noreturn]] void worker_loop() {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            wake_.wait(lock, [&] { return !queue_.empty(); });
            Job* job = queue_.front();
            ++job->users;
            lock.unlock();
            work_on(*job);
            lock.lock();
            // Every item is claimed: nobody else needs to find this job.
            remove_from_queue(job);
            if (--job->users == 0) job->released.notify_all();
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Job*> queue_;
    std::size_t workers_ = 0;
};

std::size_t affinity_cpus() {
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
    return std::max(1u, std::thread::hardware_concurrency());
}

// The pool is created on first use and never destroyed: worker threads are
// detached and simply stop existing when the process ends, so nothing runs
// during static destruction. `g_create` guards creation and is held across
// fork() so that the child always inherits it in a consistent state.
std::mutex g_create;
std::atomic<Pool*> g_pool{nullptr};
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

Pool& pool() {
    Pool* p = g_pool.load(std::memory_order_acquire);
    if (p) return *p;
    std::lock_guard<std::mutex> lock(g_create);
    p = g_pool.load(std::memory_order_relaxed);
    if (!p) {
        if (!g_atfork_registered) {
            pthread_atfork(before_fork, after_fork_parent, after_fork_child);
            g_atfork_registered = true;
        }
        p = new Pool(affinity_cpus());
        g_pool.store(p, std::memory_order_release);
    }
    return *p;
}

}  // namespace

std::size_t thread_count() { return pool().size(); }

namespace detail {
void run_items(std::size_t n_items, ItemFn fn, void* context) {
    if (n_items == 0) return;
    Job job;
    job.fn = fn;
    job.context = context;
    job.n_items = n_items;
    pool().run(job);
    if (job.error) std::rethrow_exception(job.error);
}
}  // namespace detail

}  // namespace corvane::parallel

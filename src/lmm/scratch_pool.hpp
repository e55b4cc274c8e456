// Reusable workspaces of the blocks kernel's gradient modes.
//
// A gradient evaluation needs m*q*(p+1+2q) doubles of per-group storage; a
// fit evaluates hundreds of times, and allocating (and faulting in) that much
// each time would cost a good part of an evaluation. The pool keeps returned
// workspaces for reuse, within bounds on what outlives a call:
//   - while a fit (or anything else that evaluates many times) holds the pool
//     open, up to kMaxKept workspaces of any size are kept;
//   - otherwise at most one, of at most kKeptBytes, stays between calls: a
//     single large evaluation gives its memory back when it ends.
// The mutex is held only while a workspace is taken or given back, never
// across numerical work. A child process forked while another thread held
// it leaves the inherited pool alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

#include "parallel/pool.hpp"

namespace corvane::lmm {

// An allocator whose value-less construct leaves doubles uninitialised: a
// fresh workspace is not zero-filled, since every slot is written before it
// is read (the kernel's pages are then touched once, by the threads that use
// them).
inline constexpr std::size_t kHugeBytes = std::size_t{2} << 20;

// Asks the system to back [p, p + bytes) with huge pages (a hint; nothing
// where it is not supported).
void advise_huge_pages(void* p, std::size_t bytes) noexcept;

template <class T>
struct UninitialisedAllocator : std::allocator<T> {
    using value_type = T;
    UninitialisedAllocator() = default;
    template <class U>
    UninitialisedAllocator(const UninitialisedAllocator<U>&) noexcept {}
    template <class U>
    struct rebind {
        using other = UninitialisedAllocator<U>;
    };
    T* allocate(std::size_t n) {
        const std::size_t bytes = n * sizeof(T);
        if (bytes < kHugeBytes) return std::allocator<T>::allocate(n);
        // Large workspaces in 2 MiB pages where the system offers them: a
        // fresh one then costs a few hundred page faults instead of tens of
        // thousands.
        void* p = ::operator new(bytes, std::align_val_t{kHugeBytes});
        advise_huge_pages(p, bytes);
        return static_cast<T*>(p);
    }
    void deallocate(T* p, std::size_t n) noexcept {
        if (n * sizeof(T) < kHugeBytes) return std::allocator<T>::deallocate(p, n);
        ::operator delete(p, std::align_val_t{kHugeBytes});
    }
    template <class U>
    void construct(U* p) noexcept {
        ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
};

using WorkspaceBuffer = std::vector<double, UninitialisedAllocator<double>>;

class ScratchPool {
public:
    ScratchPool() = default;
    // A copy of a design starts with an empty pool of its own.
    ScratchPool(const ScratchPool&) : ScratchPool() {}
    ScratchPool& operator=(const ScratchPool&) { return *this; }
    // A pool inherited through fork() may hold a mutex locked by a thread
    // the child does not have: its mutex and buffers are left as they are
    // (never locked, never freed) and the child's evaluations go without.
    ~ScratchPool() {
        if (inherited()) {
            (void)mutex_.release();
            (void)buffers_.release();
        }
    }

    static constexpr std::size_t kMaxKept = 4;
    static constexpr std::size_t kKeptBytes = std::size_t{16} << 20;

    // A kept workspace of exactly `length` doubles (old contents), or an
    // empty vector.
    WorkspaceBuffer take(std::size_t length) {
        if (inherited()) return {};
        std::lock_guard<std::mutex> lock(*mutex_);
        std::vector<WorkspaceBuffer>& buffers = *buffers_;
        for (std::size_t i = 0; i < buffers.size(); ++i) {
            if (buffers[i].size() != length) continue;
            WorkspaceBuffer out = std::move(buffers[i]);
            if (i + 1 != buffers.size()) buffers[i] = std::move(buffers.back());
            buffers.pop_back();
            return out;
        }
        return {};
    }

    // Keeps the workspace if the bounds allow, else frees it (outside the lock).
    void give(WorkspaceBuffer&& buffer) {
        WorkspaceBuffer dropped = std::move(buffer);
        if (inherited()) return;
        std::lock_guard<std::mutex> lock(*mutex_);
        std::vector<WorkspaceBuffer>& buffers = *buffers_;
        if (holds_ > 0 ? buffers.size() < kMaxKept : buffers.empty() && small(dropped))
            buffers.push_back(std::move(dropped));
    }

    // Workspaces kept now, in bytes.
    std::size_t kept_bytes() {
        if (inherited()) return 0;
        std::lock_guard<std::mutex> lock(*mutex_);
        std::size_t total = 0;
        for (const auto& b : *buffers_) total += b.size() * sizeof(double);
        return total;
    }

    // Keeps the pool open for repeated evaluations while alive.
    class Hold {
    public:
        explicit Hold(ScratchPool& pool) : pool_(pool), open_(!pool.inherited()) {
            if (!open_) return;
            std::lock_guard<std::mutex> lock(*pool_.mutex_);
            ++pool_.holds_;
        }
        Hold(const Hold&) = delete;
        Hold& operator=(const Hold&) = delete;
        ~Hold() {
            if (!open_ || pool_.inherited()) return;
            std::vector<WorkspaceBuffer> dropped;
            std::lock_guard<std::mutex> lock(*pool_.mutex_);
            if (--pool_.holds_ > 0) return;
            // Back to the between-calls bound: at most one small workspace.
            std::vector<WorkspaceBuffer> keep;
            for (auto& b : *pool_.buffers_) {
                if (keep.empty() && small(b))
                    keep.push_back(std::move(b));
                else
                    dropped.push_back(std::move(b));
            }
            *pool_.buffers_ = std::move(keep);
        }

    private:
        ScratchPool& pool_;
        bool open_;
    };

private:
    static bool small(const WorkspaceBuffer& b) { return b.size() * sizeof(double) <= kKeptBytes; }
    bool inherited() const { return generation_ != parallel::fork_generation(); }

    std::uint64_t generation_ = parallel::fork_generation();
    std::unique_ptr<std::mutex> mutex_ = std::make_unique<std::mutex>();
    std::unique_ptr<std::vector<WorkspaceBuffer>> buffers_ = std::make_unique<std::vector<WorkspaceBuffer>>();
    std::size_t holds_ = 0;
};

}  // namespace corvane::lmm

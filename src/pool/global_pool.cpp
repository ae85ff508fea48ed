// The process-wide pool and what keeps pools sound across fork: the fork handlers, the fork count
// each pool compares against, and the refusal of a pool made before the fork. Interpreter-free.
#include <pthread.h>

#include <atomic>
#include <cstdlib>

#include "pool/mutex.h"
#include "pool/pool.h"
#include "pool/thread_count.h"

namespace vexilo::pool {
namespace detail {
namespace {

// Counted up in the child by the fork handler; lock-free, so the handler may touch it.
constinit std::atomic<unsigned> forks_seen{0};
static_assert(std::atomic<unsigned>::is_always_lock_free);

// The global pool of this process, and the mutex that makes its creation happen once. Both are
// constant-initialized, so they exist before any code of this file runs.
constinit std::atomic<ThreadPool*> global_slot{nullptr};
constinit Mutex global_creation;

// Around a fork, the forking thread holds global_creation, so no other thread is halfway through
// making the global pool when the process is copied; in the child it is the only thread left and
// so the one that may unlock it.
void before_fork() noexcept VX_ACQUIRE(global_creation) { global_creation.lock(); }
void after_fork_in_parent() noexcept VX_RELEASE(global_creation) { global_creation.unlock(); }
void after_fork_in_child() noexcept VX_RELEASE(global_creation) {
    // A worker that forks is no worker of any pool in its child.
    leave_pools_in_child();
    // relaxed: the child has a single thread now; threads it starts later synchronise with it.
    forks_seen.fetch_add(1, std::memory_order_relaxed);
    global_slot.store(nullptr, std::memory_order_relaxed);
    global_creation.unlock();
}

}  // namespace

unsigned fork_generation() noexcept {
    // relaxed: only the child's own thread changes it, before any thread of the child exists.
    return forks_seen.load(std::memory_order_relaxed);
}

void install_fork_handlers() {
    static const bool installed = [] {
        if (pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child) != 0) {
            throw PoolFailure(start_failure);
        }
        return true;
    }();
    (void)installed;
}

}  // namespace detail

void ThreadPool::refuse_after_fork() const {
    if (fork_generation_ != detail::fork_generation()) throw PoolFailure(forked_failure);
}

ThreadPool& global_pool() {
    // acquire: pairs with the release below, so the pool is seen fully made.
    if (ThreadPool* pool = detail::global_slot.load(std::memory_order_acquire)) return *pool;
    detail::install_fork_handlers();
    MutexLock lock(detail::global_creation);
    // relaxed: the mutex orders this load after any earlier store.
    ThreadPool* pool = detail::global_slot.load(std::memory_order_relaxed);
    if (pool == nullptr) {
        // Made on first use and leaked on purpose: workers are never joined at process exit,
        // where joining could hang on a worker still inside a job of an unfinished operation.
        pool = new ThreadPool(thread_count_from_env(
            [](const char* name) { return std::getenv(name); }, available_parallelism()));
        // release: publishes the made pool to the fast path above.
        detail::global_slot.store(pool, std::memory_order_release);
    }
    return *pool;
}

}  // namespace vexilo::pool

// The jobs the pool schedules: a reference to a job, the latch that marks it done, and the job
// whose closure lives on the stack of the thread that offered it. Interpreter-free.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>

#include "pool/cancel.h"
#include "pool/mutex.h"

namespace vexilo::pool::detail {

class Worker;

// A job somewhere in memory (usually a caller's stack) that stays alive until its latch is set,
// and the flag of the operation it belongs to.
struct JobRef {
    void (*execute)(void* job) noexcept;
    void* job;
    const CancelFlag* cancel;
    bool operator==(const JobRef&) const = default;
};

// What a thread outside every pool blocks on while the pool runs its operation.
struct Blocker {
    Mutex mutex;
    std::condition_variable cond;
};

// Set once when a job has finished. The waiter is either a worker, which keeps working while it
// waits and is woken if it fell asleep, or a thread outside the pool blocked on a Blocker.
class Latch {
public:
    explicit Latch(Worker* owner) noexcept : owner_(owner) {}
    explicit Latch(Blocker* blocker) noexcept : blocker_(blocker) {}
    Latch(const Latch&) = delete;
    Latch& operator=(const Latch&) = delete;

    // acquire: pairs with the release in set(), so the job's writes are visible once this is true.
    bool probe() const noexcept { return done_.load(std::memory_order_acquire); }

    // Marks the job done and wakes its waiter. The latch may be destroyed by the waiter as soon as
    // it sees the mark, so set() touches nothing of *this afterwards.
    void set() noexcept VX_EXCLUDES(blocker_->mutex);

    // Blocks the calling (non-worker) thread until set() was called.
    void wait_blocking() noexcept VX_EXCLUDES(blocker_->mutex);

    // Blocks the calling (non-worker) thread until set() was called or timeout passed; returns
    // whether set() was called.
    bool wait_blocking_for(std::chrono::milliseconds timeout) noexcept VX_EXCLUDES(blocker_->mutex);

private:
    std::atomic<bool> done_{false};
    Worker* owner_ = nullptr;
    Blocker* blocker_ = nullptr;
};

// A job whose closure lives on the stack of the thread that offered it. fn(stolen) is called with
// stolen = true when another thread runs it. It belongs to the operation of cancel, by default
// that of the job running on the offering thread.
template <class Fn>
class StackJob {
public:
    template <class Waiter>
    StackJob(Fn& fn, Waiter* waiter, const CancelFlag* cancel = current_cancel_flag()) noexcept
        : fn_(fn), latch_(waiter), cancel_(cancel) {}

    JobRef ref() noexcept { return {&StackJob::execute, this, cancel_}; }
    void run_inline() { fn_(false); }
    const Latch& latch() const noexcept { return latch_; }
    Latch& latch() noexcept { return latch_; }
    std::exception_ptr error() const noexcept { return error_; }

private:
    static void execute(void* self) noexcept {
        auto* job = static_cast<StackJob*>(self);
        try {
            job->fn_(true);
        } catch (...) {
            job->error_ = std::current_exception();
        }
        job->latch_.set();  // last touch: the owner may pop this frame right after
    }

    Fn& fn_;
    Latch latch_;
    const CancelFlag* cancel_;
    std::exception_ptr error_;
};

}  // namespace vexilo::pool::detail

// The worker pool that runs all parallel work of the module: a parallel loop, a filter-map that
// keeps index order, and a parallel unstable sort, all on a work-stealing scheduler.
// Interpreter-free. One file though long: the operations are templates built on one join, which
// callers instantiate, and the design note below belongs beside them.
/*
 * How the pool schedules work
 * ---------------------------
 * Every parallel operation is built from one primitive, join(a, b): run a and b, possibly at the
 * same time, and return when both are done. A worker that calls join pushes b onto the back of its
 * own job deque, runs a itself, and then tries to pop b back from the back. If b is still there,
 * nobody wanted it and the worker runs it too. If it is gone, another worker stole it (thieves take
 * from the front, the oldest job first) and the caller waits for b's latch. Loops and sorts split
 * their range in halves through join, recursively. How often they split adapts to the machine: a
 * range starts with about one split per thread, and a half that was stolen, which shows that some
 * thread was idle, gets a fresh allowance of splits. No piece size is fixed anywhere.
 *
 * A waiting worker never sleeps while there is work. Waiting for a stolen b means, in a loop:
 * return once b's latch is set; otherwise run any job it can find (its own deque, the front of
 * another worker's deque, the queue of jobs handed in from outside); when there is nothing, yield
 * a few times and finally sleep on its condition variable. It is woken by new work or by the
 * thread that finishes b, which sets the latch and then wakes the latch's owner.
 *
 * Why nesting cannot deadlock, even with a single thread: a worker only ever waits for a job that
 * another thread took out of its deque, that is, for a job that is already running elsewhere. A job
 * that nobody took is run by the worker that offered it, on its own stack. On a one-thread pool
 * nothing is ever stolen, so every join runs both halves in turn and never waits. An operation
 * started from inside a task sees that its thread is a worker of this pool and joins directly; it
 * never queues itself and blocks. So every wait ends: the job waited for is running on another
 * thread, which either finishes it or itself waits for a job running on yet another thread, and
 * that chain ends at a thread that is running code. Meanwhile the waiters keep taking pending
 * jobs, so no job sits unexecuted while a thread is idle. A worker of another pool that starts an
 * operation here queues it and keeps working for its own pool while it waits, for the same reason.
 *
 * A thread outside the pool (the interpreter's thread) hands its whole operation to the pool as one
 * job and blocks on a mutex and condition variable until the job's latch is set. It runs none of
 * the work itself, so it holds no worker's place. Through run_cancellable it waits in slices
 * instead, asking its caller between slices whether to go on waiting.
 *
 * Small work (run_here): a thread may instead run an operation itself, with every operation
 * nested in it, in order and unsplit, as a one-thread pool would; nothing is handed to a worker,
 * so nothing waits, and the hand-off and wake-up that cost more than small work are saved. A
 * thread-local setting says so for the time of the call.
 *
 * Cancellation: every job carries the cancel flag of the operation it belongs to (none for plain
 * operations). A job offered by a task inherits the flag of that task's job, so the whole tree of
 * one operation, nested operations and stolen halves included, shares one flag. The thread running
 * a job keeps its flag in a thread-local slot; loops check it before each piece and every
 * cancel_check_interval indices within a piece, sorts before each partition step (a cancellable
 * sort partitions down to uninterrupted_sort_size pieces instead of sorting a whole slice at once),
 * and long loops inside tasks through throw_if_cancelled(). A set flag makes the check throw
 * Cancelled, which travels like any failure: join ends both halves, the operation's other parts
 * see the flag and stop at their next check, and the starter receives Cancelled after every part
 * has ended.
 *
 * Fork: a child process has only the thread that called fork. The pool's threads, and with them
 * anyone who held a pool's mutex at that moment, do not exist there, so the child never touches a
 * pool made before the fork: global_pool() gives it a new one on first use, the old pools' memory
 * is left as it is (never unlocked, never destroyed), and a pool made before the fork refuses to
 * run in the child. A fork handler locks the global pool's creation mutex around the fork, so no
 * half-made global pool crosses it; the parent's pools carry on untouched.
 *
 * Sleeping without missing a wake-up: every push of a job increments a posted-jobs counter and
 * then reads the sleeper count; a worker about to sleep increments the sleeper count and then
 * reads the posted-jobs counter, comparing it with the value it read before its last search for
 * work. All four are sequentially consistent, so at least one side sees the other: either the
 * pusher sees a sleeper and wakes it, or the would-be sleeper sees the new job and searches again.
 *
 * Failures: a job that throws has its exception captured by the job, so the worker survives. join
 * finishes both halves before it rethrows, preferring a's exception, so an operation rethrows the
 * failure of its lowest-indexed failed part on the thread that started it, after all its other
 * parts have ended. Nothing of a failed operation keeps running afterwards.
 *
 * Tasks receive plain C++ data only, prepared by the caller before the operation starts; starting
 * and completing an operation order the caller's writes before the tasks and the tasks' writes
 * before the caller's next read.
 */
#pragma once

#include <algorithm>
#include <atomic>
#include <bit>  // std::bit_width
#include <chrono>
#include <cstddef>
#include <exception>
#include <iterator>
#include <memory>
#include <optional>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

#include "pool/cancel.h"
#include "pool/job.h"
#include "pool/pool_failure.h"

namespace vexilo::pool {

namespace detail {

class Registry;

// The worker running on this thread, or nullptr on threads outside every pool.
Worker* current_worker() noexcept;
// True while this thread is inside run_here: operations it starts run on it, unsplit.
bool runs_here() noexcept;
// Sets whether this thread runs its operations itself (run_here); returns the previous setting.
bool set_runs_here(bool here) noexcept;
// True when worker is one of registry's threads.
bool runs_on(const Worker* worker, const Registry* registry) noexcept;
// Offers job at the back of self's deque and wakes a sleeping worker if there is one.
void push_local(Worker* self, JobRef job);
// Pops job back from the back of self's deque; false when a thief took it.
bool take_back(Worker* self, JobRef job) noexcept;
// Runs other jobs until latch is set; sleeps only when there is nothing to run.
void wait_until(Worker* self, const Latch& latch) noexcept;
// Queues a job handed in from outside the pool's threads and wakes a worker.
void inject(Registry* registry, JobRef job);

// How many times this process has forked since the pool code was first used; counted in each
// child, so a pool made in a parent sees a different number in the child.
unsigned fork_generation() noexcept;
// Makes sure the fork handlers are installed. Any thread; throws PoolFailure(start_failure) when
// pthread_atfork fails.
void install_fork_handlers();
// Makes the calling thread a worker of no pool, running no job: for the fork handler in the child,
// whose one thread may have been a worker in the parent. Touches thread-locals only.
void leave_pools_in_child() noexcept;

// How many more times a range may be halved. Starts at the thread count; halves on each split;
// a piece that was stolen gets at least the thread count again.
class Splitter {
public:
    explicit Splitter(std::size_t thread_count) noexcept
        : thread_count_(thread_count), splits_(thread_count) {}

    bool try_split(bool stolen) noexcept {
        if (stolen) {
            splits_ = std::max(thread_count_, splits_ / 2);
            return true;
        }
        if (splits_ == 0) return false;
        splits_ /= 2;
        return true;
    }

private:
    std::size_t thread_count_;
    std::size_t splits_;
};

}  // namespace detail

// A fixed set of worker threads with join-based work stealing. All operations may be called from
// any thread, including from inside a task running on this pool or on another pool; they return
// when all of their work is done. An exception thrown by the work is rethrown on the calling thread
// after the operation's other parts have ended, and the pool stays usable. Work given to the pool
// must not touch interpreter objects. Operations started inside a task of a cancelled operation
// (run_cancellable) stop early and throw Cancelled. In a child process forked after the pool was
// made, every operation started from outside the pool throws PoolFailure(forked_failure) and the
// destructor leaves the pool's memory as it is.
class ThreadPool {
public:
    // Stack size of each worker: nested operations run on the worker's stack, and 32-bit targets
    // must fit up to max_threads stacks in their address space.
    static constexpr std::size_t default_stack_size =
        sizeof(void*) >= 8 ? std::size_t{8} << 20 : std::size_t{2} << 20;

    // Starts thread_count workers (clamped to 1 .. 255) with the given stack size. Throws
    // PoolFailure(start_failure) when the threads cannot be started; threads already started are
    // stopped first.
    explicit ThreadPool(std::size_t thread_count, std::size_t stack_size = default_stack_size);
    // Stops and joins the workers. No operation may be running on the pool.
    ~ThreadPool();
    ThreadPool(const ThreadPool&) = delete;
    ThreadPool& operator=(const ThreadPool&) = delete;

    std::size_t thread_count() const noexcept { return thread_count_; }

    // Runs fn() on a worker of this pool (directly when the caller is one) and returns when it is
    // done, rethrowing its exception. Operations that fn starts on this pool then run as nested
    // work, without a hand-off and a wake-up for each of them.
    template <class Fn>
    void run_inside(Fn&& fn) {
        run([&](bool) { fn(); });
    }

    // How long a thread outside the pool waits in run_cancellable between calls of keep_waiting.
    static constexpr std::chrono::milliseconds poll_interval{20};

    // Like run_inside, but cancellable. A thread outside every pool waits for fn in slices of
    // poll_interval and calls keep_waiting() on itself after each slice that did not see fn end.
    // Once it returns false (or throws), the operation is cancelled: its loops and sorts, nested
    // ones included, stop at their next check; the call returns only after every part of it has
    // ended, and then throws Cancelled (or keep_waiting's exception), whatever fn did meanwhile.
    // On a worker thread, keep_waiting is never called and fn belongs to the operation of the
    // calling task, cancelled with it; inside run_here fn runs on the calling thread uncancelled.
    // fn's own exception is rethrown as by run_inside. When keep_waiting forks, the child's call
    // throws the PoolFailure of a pool made before the fork at once.
    template <class KeepWaiting, class Fn>
    void run_cancellable(KeepWaiting&& keep_waiting, Fn&& fn) {
        if (detail::current_worker() != nullptr || detail::runs_here()) {
            run_inside(fn);
            return;
        }
        refuse_after_fork();
        detail::CancelFlag cancel{false};
        auto op = [&](bool) {
            throw_if_cancelled();
            fn();
        };
        detail::Blocker blocker;
        detail::StackJob<decltype(op)> job(op, &blocker, &cancel);
        detail::inject(registry_.get(), job.ref());
        std::exception_ptr stop;
        while (!job.latch().wait_blocking_for(poll_interval)) {
            bool go_on = false;
            try {
                go_on = keep_waiting();
            } catch (...) {
                stop = std::current_exception();
            }
            // keep_waiting may have forked: in the child nothing runs the job any more, and
            // nothing else there knows of it.
            refuse_after_fork();
            if (go_on) continue;
            if (!stop) stop = std::make_exception_ptr(Cancelled());
            // relaxed: see detail::cancelled(); the latch orders everything else.
            cancel.store(true, std::memory_order_relaxed);
            job.latch().wait_blocking();
            break;
        }
        if (stop) std::rethrow_exception(stop);
        if (job.error()) std::rethrow_exception(job.error());
    }

    // Calls fn(begin, end) over disjoint ranges that cover [0, count) exactly, on any threads, any
    // number at once. How the range is cut adapts to the load; callers must not assume a size.
    template <class Fn>
    void parallel_for_ranges(std::size_t count, Fn&& fn) {
        if (count == 0) return;
        run([&](bool stolen) {
            for_ranges(0, count, detail::Splitter(split_threads()), stolen, fn);
        });
    }

    // Calls body(i) once for every i in [0, count), on any threads, any number at once.
    template <class Body>
    void parallel_for(std::size_t count, Body&& body) {
        parallel_for_ranges(count, [&](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i) body(i);
        });
    }

    // Like parallel_for_ranges, but each fn(begin, end) returns a T; returns them ordered by begin.
    template <class T, class Fn>
    std::vector<T> parallel_map_ranges(std::size_t count, Fn&& fn) {
        std::vector<T> results;
        if (count == 0) return results;
        run([&](bool stolen) {
            map_ranges(0, count, detail::Splitter(split_threads()), stolen, fn, results);
        });
        return results;
    }

    // Calls fn(i) -> std::optional<T> for every i in [0, count); returns the present results in
    // ascending order of i, whatever the scheduling.
    template <class T, class Fn>
    std::vector<T> parallel_filter_map(std::size_t count, Fn&& fn) {
        std::vector<std::vector<T>> pieces =
            parallel_map_ranges<std::vector<T>>(count, [&](std::size_t begin, std::size_t end) {
                std::vector<T> kept;
                for (std::size_t i = begin; i < end; ++i) {
                    auto item = fn(i);
                    if (item) kept.push_back(std::move(*item));
                }
                return kept;
            });
        std::size_t total = 0;
        for (const std::vector<T>& piece : pieces) total += piece.size();
        std::vector<T> kept;
        kept.reserve(total);
        for (std::vector<T>& piece : pieces) {
            kept.insert(kept.end(), std::make_move_iterator(piece.begin()),
                        std::make_move_iterator(piece.end()));
        }
        return kept;
    }

    // Sorts items by the strict weak order less (called from several threads at once); not stable.
    // A parallel quicksort whose halves are sorted through join.
    template <class T, class Less>
    void parallel_sort(std::span<T> items, Less less) {
        if (items.size() < 2) return;
        // An unlucky run of pivots only costs parallelism: past this depth a part is sorted
        // sequentially, which bounds the total work at O(n log n).
        const auto depth_budget = static_cast<unsigned>(2 * std::bit_width(items.size()));
        run([&](bool stolen) {
            sort_part(items, less, detail::Splitter(split_threads()), stolen, depth_budget);
        });
    }

private:
    // Below this size a slice is not partitioned for parallelism: a partition pass over fewer
    // elements costs less than handing a job to another thread.
    static constexpr std::size_t sequential_sort_size = 16;
    // A cancellable loop looks at its flag at least this often (in indices); a cancellable sort
    // sorts slices of at most this many elements without looking.
    static constexpr std::size_t cancel_check_interval = 8192;
    static constexpr std::size_t uninterrupted_sort_size = 32768;

    // Throws PoolFailure(forked_failure) when this pool was made before the process forked (see
    // above).
    void refuse_after_fork() const;

    // The thread count a range's splitting starts from: none inside run_here, where nothing may
    // be handed to another thread.
    std::size_t split_threads() const noexcept { return detail::runs_here() ? 0 : thread_count_; }

    // Runs op(stolen) on a worker of this pool (on the calling thread inside run_here) and returns
    // when it is done, rethrowing its failure.
    template <class Op>
    void run(Op&& op) {
        if (detail::runs_here()) {
            op(false);
            return;
        }
        detail::Worker* self = detail::current_worker();
        if (detail::runs_on(self, registry_.get())) {
            op(false);
            return;
        }
        refuse_after_fork();
        if (self != nullptr) {
            // A worker of another pool: keep serving that pool while this one runs the job.
            detail::StackJob<std::remove_reference_t<Op>> job(op, self);
            detail::inject(registry_.get(), job.ref());
            detail::wait_until(self, job.latch());
            if (job.error()) std::rethrow_exception(job.error());
            return;
        }
        detail::Blocker blocker;
        detail::StackJob<std::remove_reference_t<Op>> job(op, &blocker);
        detail::inject(registry_.get(), job.ref());
        job.latch().wait_blocking();
        if (job.error()) std::rethrow_exception(job.error());
    }

    // join on the current worker, which must belong to this pool. a(false) runs here; b(stolen)
    // runs here or on a thief.
    template <class A, class B>
    void join_context(A&& a, B&& b) {
        detail::Worker* self = detail::current_worker();
        detail::StackJob<std::remove_reference_t<B>> job_b(b, self);
        detail::push_local(self, job_b.ref());
        std::exception_ptr failure;
        try {
            a(false);
        } catch (...) {
            failure = std::current_exception();
        }
        if (detail::take_back(self, job_b.ref())) {
            // Nobody took b: run it here, also after a failed, so that every part finishes.
            try {
                job_b.run_inline();
            } catch (...) {
                if (!failure) failure = std::current_exception();
            }
        } else {
            detail::wait_until(self, job_b.latch());
            if (!failure) failure = job_b.error();
        }
        if (failure) std::rethrow_exception(failure);
    }

    template <class Fn>
    void for_ranges(std::size_t begin, std::size_t end, detail::Splitter splitter, bool stolen,
                    Fn& fn) {
        throw_if_cancelled();
        if (end - begin > 1 && splitter.try_split(stolen)) {
            const std::size_t mid = begin + (end - begin) / 2;
            join_context([&](bool s) { for_ranges(begin, mid, splitter, s, fn); },
                         [&](bool s) { for_ranges(mid, end, splitter, s, fn); });
        } else if (detail::current_cancel_flag() == nullptr) {
            fn(begin, end);
        } else {
            for (std::size_t first = begin; first < end; first += cancel_check_interval) {
                if (first != begin) throw_if_cancelled();
                fn(first,
                   end - first > cancel_check_interval ? first + cancel_check_interval : end);
            }
        }
    }

    template <class Fn, class T>
    void map_ranges(std::size_t begin, std::size_t end, detail::Splitter splitter, bool stolen,
                    Fn& fn, std::vector<T>& results) {
        throw_if_cancelled();
        if (end - begin > 1 && splitter.try_split(stolen)) {
            const std::size_t mid = begin + (end - begin) / 2;
            std::vector<T> right;
            join_context([&](bool s) { map_ranges(begin, mid, splitter, s, fn, results); },
                         [&](bool s) { map_ranges(mid, end, splitter, s, fn, right); });
            results.insert(results.end(), std::make_move_iterator(right.begin()),
                           std::make_move_iterator(right.end()));
        } else {
            results.push_back(fn(begin, end));
        }
    }

    template <class T, class Less>
    void sort_part(std::span<T> items, Less& less, detail::Splitter splitter, bool stolen,
                   unsigned depth_budget) {
        throw_if_cancelled();
        if (items.size() <= sequential_sort_size || depth_budget == 0) {
            std::sort(items.begin(), items.end(), less);
            return;
        }
        if (splitter.try_split(stolen)) {
            const std::size_t cut = partition_around_median(items, less);
            join_context(
                [&](bool s) { sort_part(items.first(cut), less, splitter, s, depth_budget - 1); },
                [&](bool s) {
                    sort_part(items.subspan(cut), less, splitter, s, depth_budget - 1);
                });
            return;
        }
        if (items.size() <= uninterrupted_sort_size || detail::current_cancel_flag() == nullptr) {
            std::sort(items.begin(), items.end(), less);
            return;
        }
        // Cancellable: partition here, one half after the other, so that the flag is looked at
        // between pieces of bounded size.
        const std::size_t cut = partition_around_median(items, less);
        sort_part(items.first(cut), less, splitter, false, depth_budget - 1);
        sort_part(items.subspan(cut), less, splitter, false, depth_budget - 1);
    }

    // Moves the median of three samples to the front and partitions the rest around it (Hoare).
    // Returns cut in [1, size - 1]: no element before cut is greater than the pivot and no element
    // from cut on is less. The samples left at positions 1 and size - 1 act as sentinels for the
    // scans. Needs size >= 4, so that the three samples are distinct elements.
    template <class T, class Less>
    static std::size_t partition_around_median(std::span<T> items, Less& less) {
        const auto first = items.begin();
        const auto last = items.end();
        auto a = first + 1, b = first + static_cast<std::ptrdiff_t>(items.size() / 2), c = last - 1;
        if (less(*b, *a)) std::swap(a, b);
        if (less(*c, *b)) b = less(*c, *a) ? a : c;
        std::iter_swap(first, b);
        auto low = first + 1;
        auto high = last;
        for (;;) {
            while (less(*low, *first)) ++low;
            --high;
            while (less(*first, *high)) --high;
            if (!(low < high)) return static_cast<std::size_t>(low - first);
            std::iter_swap(low, high);
            ++low;
        }
    }

    std::size_t thread_count_;
    std::unique_ptr<detail::Registry> registry_;
    unsigned fork_generation_;
};

// Runs fn() on the calling thread, and with it every operation that fn starts on any pool, each
// unsplit, in order, as a one-thread pool would run it: for work smaller than the hand-off to a
// worker and its wake-up cost. Nothing of it can be cancelled (run_cancellable's keep_waiting is
// never called inside); fn's exception propagates unchanged. Any thread; nests.
template <class Fn>
void run_here(Fn&& fn) {
    struct Restore {
        bool previous;
        ~Restore() { detail::set_runs_here(previous); }
    } restore{detail::set_runs_here(true)};
    fn();
}

// The process-wide pool, created by the first call (thread-safe; concurrent first calls create
// one pool) with the size from thread_count_from_env and available_parallelism. It is never
// stopped or destroyed. A child process forked after its creation gets a new one on its first
// call. Throws PoolFailure(start_failure) when its threads cannot be started; a later call tries
// again.
ThreadPool& global_pool();

}  // namespace vexilo::pool

// The pool's mutex and its scoped lock, annotated for Clang's thread-safety analysis, and the VX_
// annotation macros that name which mutex guards what. Interpreter-free.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

// The macros expand to Clang's capability attributes where the compiler has them and to nothing
// elsewhere, so GCC builds see plain members. -Wthread-safety then proves every access to a
// VX_GUARDED_BY member happens under its mutex.
#if defined(__clang__) && defined(__has_attribute)
#if __has_attribute(capability)
#define VX_THREAD_ANNOTATION(x) __attribute__((x))
#endif
#endif
#ifndef VX_THREAD_ANNOTATION
#define VX_THREAD_ANNOTATION(x)
#endif

#define VX_CAPABILITY(name) VX_THREAD_ANNOTATION(capability(name))
#define VX_SCOPED_CAPABILITY VX_THREAD_ANNOTATION(scoped_lockable)
#define VX_GUARDED_BY(mutex) VX_THREAD_ANNOTATION(guarded_by(mutex))
#define VX_REQUIRES(...) VX_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define VX_EXCLUDES(...) VX_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define VX_ACQUIRE(...) VX_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define VX_RELEASE(...) VX_THREAD_ANNOTATION(release_capability(__VA_ARGS__))

namespace vexilo::pool {

// A std::mutex that the analysis knows as a capability (libstdc++'s carries no attributes). Same
// size and cost: every member is an inline call of the standard mutex's own.
class VX_CAPABILITY("mutex") Mutex {
public:
    // Blocks until the calling thread holds the mutex. Not recursive.
    void lock() VX_ACQUIRE() { mutex_.lock(); }
    // Releases the mutex, which the calling thread holds.
    void unlock() VX_RELEASE() { mutex_.unlock(); }

private:
    friend class MutexLock;
    std::mutex mutex_;
};

// Holds a Mutex from construction to destruction, and waits on condition variables with it. Costs
// what std::lock_guard costs: the std::unique_lock a wait needs exists only during the wait.
class VX_SCOPED_CAPABILITY MutexLock {
public:
    explicit MutexLock(Mutex& mutex) VX_ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
    ~MutexLock() VX_RELEASE() { mutex_.unlock(); }
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

    // Releases the mutex while blocked on cond and holds it again on return, which may be
    // spurious: callers loop on their condition, written in their own body so that the analysis
    // sees it read under the mutex (a predicate lambda would be analysed on its own).
    void wait(std::condition_variable& cond) {
        std::unique_lock<std::mutex> lock(mutex_.mutex_, std::adopt_lock);
        cond.wait(lock);  // throws nothing, and returns with the mutex held
        (void)lock.release();
    }
    // As wait, but returns false once deadline has passed without a notification. A steady_clock
    // deadline raises no timeout exception, so the mutex is held on every return.
    bool wait_until(std::condition_variable& cond, std::chrono::steady_clock::time_point deadline) {
        std::unique_lock<std::mutex> lock(mutex_.mutex_, std::adopt_lock);
        const std::cv_status status = cond.wait_until(lock, deadline);
        (void)lock.release();
        return status == std::cv_status::no_timeout;
    }

private:
    Mutex& mutex_;
};

}  // namespace vexilo::pool

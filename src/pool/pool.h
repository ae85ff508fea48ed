// The worker pool that runs all parallel work of the module. Interpreter-free.
//
// PLACEHOLDER: runs every operation on the calling thread. The work-stealing implementation
// replaces the bodies; the public interface below is the contract the rest of the module uses.
#pragma once

#include <algorithm>
#include <cstddef>
#include <optional>
#include <span>
#include <vector>

namespace vexilo::pool {

class ThreadPool {
public:
    // Starts thread_count workers (at least 1). Throws InternalFailure when threads cannot start.
    explicit ThreadPool(std::size_t thread_count);
    ~ThreadPool();
    ThreadPool(const ThreadPool&) = delete;
    ThreadPool& operator=(const ThreadPool&) = delete;

    std::size_t thread_count() const noexcept { return thread_count_; }

    // Calls body(i) once for every i in [0, count), on any threads, any number at once. Returns
    // when all calls are done; an exception thrown by a call is rethrown here after the others end.
    template <class Body>
    void parallel_for(std::size_t count, Body&& body) {
        for (std::size_t i = 0; i < count; ++i) body(i);
    }

    // Calls fn(i) -> std::optional<T> for every i in [0, count); returns the present results in
    // ascending order of i.
    template <class T, class Fn>
    std::vector<T> parallel_filter_map(std::size_t count, Fn&& fn) {
        std::vector<T> kept;
        for (std::size_t i = 0; i < count; ++i) {
            std::optional<T> item = fn(i);
            if (item) kept.push_back(std::move(*item));
        }
        return kept;
    }

    // Sorts items by the strict weak order less; not stable.
    template <class T, class Less>
    void parallel_sort(std::span<T> items, Less less) {
        std::sort(items.begin(), items.end(), less);
    }

private:
    std::size_t thread_count_;
};

// The process-wide pool, created by the first call (thread-safe) and never stopped. Throws
// InternalFailure("The global thread pool has not been initialized.") when it cannot start.
ThreadPool& global_pool();

}  // namespace vexilo::pool

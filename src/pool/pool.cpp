// Worker pool. Interpreter-free.
// PLACEHOLDER: serial stand-in for the work-stealing pool.
#include "pool/pool.h"

#include <cstdlib>

#include "pool/thread_count.h"

namespace vexilo::pool {

ThreadPool::ThreadPool(std::size_t thread_count) : thread_count_(thread_count ? thread_count : 1) {}

ThreadPool::~ThreadPool() = default;

ThreadPool& global_pool() {
    static ThreadPool* pool = new ThreadPool(
        thread_count_from_env([](const char* name) { return std::getenv(name); },
                              available_parallelism()));
    return *pool;
}

}  // namespace vexilo::pool

// Thread-count configuration of the pool. Interpreter-free.
// PLACEHOLDER: replaced by the full environment and cgroup rules.
#include "pool/thread_count.h"

#include <algorithm>
#include <thread>

namespace vexilo::pool {

std::size_t thread_count_from_env(const std::function<const char*(const char*)>&,
                                  std::size_t default_count) {
    return std::clamp<std::size_t>(default_count, 1, max_threads);
}

std::size_t available_parallelism() {
    return std::max<std::size_t>(1, std::thread::hardware_concurrency());
}

}  // namespace vexilo::pool

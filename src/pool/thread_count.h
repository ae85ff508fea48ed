// How many threads the process-wide pool gets, from the environment and the processors available.
// Interpreter-free.
#pragma once

#include <cstddef>
#include <functional>

namespace vexilo::pool {

constexpr std::size_t max_threads = 255;

// Thread count from RAYON_NUM_THREADS, then RAYON_RS_NUM_CPUS, then default_count, capped at
// max_threads. lookup returns a variable's value or nullptr when unset.
std::size_t thread_count_from_env(const std::function<const char*(const char*)>& lookup,
                                  std::size_t default_count);

// Processors this process may run on: the affinity mask, limited by a cgroup CPU quota; 1 when
// unknown.
std::size_t available_parallelism();

}  // namespace vexilo::pool

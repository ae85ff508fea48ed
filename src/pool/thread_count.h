// How many threads the process-wide pool gets: the environment's setting, else the processors
// this process may use (affinity mask and container CPU quota). Interpreter-free.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace vexilo::pool {

// No pool has more threads than this; larger configured or detected counts are cut to it.
constexpr std::size_t max_threads = 255;

// Reads one environment variable: its value, or nullptr when it is unset.
using EnvLookup = std::function<const char*(const char* name)>;

// Reads a whole file: its contents, or nullopt when it cannot be read.
using FileReader = std::function<std::optional<std::string>(const std::string& path)>;

// The thread count: RAYON_NUM_THREADS when it holds a valid positive count, else (when it is
// unset or not a valid count) RAYON_RS_NUM_CPUS under the same rule, else default_count. A valid
// "0" selects default_count without consulting the next variable. The result is at least 1 and at
// most max_threads. Calls lookup at most twice; never fails.
std::size_t thread_count_from_env(const EnvLookup& lookup, std::size_t default_count);

// A count as the environment spells it: decimal digits with an optional leading '+', nothing else
// (no blanks, no '-'). Returns nullopt for any other text and for values that do not fit size_t.
std::optional<std::size_t> parse_thread_count(std::string_view text);

// CPUs granted by a cgroup v2 "cpu.max" file ("max PERIOD" or "QUOTA PERIOD", trailing newline
// allowed): the quota divided by the period, rounded up, at least 1. nullopt when unlimited or
// unreadable.
std::optional<std::size_t> cpu_limit_from_cpu_max(std::string_view cpu_max);

// CPUs granted by the cgroup v1 pair cpu.cfs_quota_us / cpu.cfs_period_us, rounded up, at least 1.
// nullopt when the quota is -1 (unlimited) or either text is not a valid number.
std::optional<std::size_t> cpu_limit_from_cfs(std::string_view quota_us,
                                              std::string_view period_us);

// The tightest CPU quota on the path from this process's cgroup to the root of its hierarchy,
// found through /proc/self/cgroup and /proc/self/mountinfo (cgroup v2 first, then the v1 "cpu"
// controller). All reads go through read_file, so tests can supply a fake file system. nullopt
// when no quota is set or nothing can be read.
std::optional<std::size_t> cgroup_cpu_limit(const FileReader& read_file);

// Processors in this process's CPU affinity mask (the online count when the mask cannot be read);
// nullopt when neither is known.
std::optional<std::size_t> affinity_cpu_count();

// Processors this process may run on: the affinity count limited by the cgroup CPU quota; 1 when
// unknown. Reads the real /proc and /sys files; safe on any thread.
std::size_t available_parallelism();

}  // namespace vexilo::pool

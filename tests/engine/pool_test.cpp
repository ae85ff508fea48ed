// The worker pool: coverage and order of every operation, nesting without deadlock on any pool
// size, exception propagation, cancellation, concurrent callers, fork, and start failure. One file
// though long: every case runs on the same fixtures of pools of 1, 2, 4 and 8 threads.
#include "pool/pool.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <limits>
#include <numeric>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "engine/internal_failure.h"
#include "pool/thread_count.h"
#include "pool/thread_name.h"

// Children forked by these tests start threads, which ThreadSanitizer only allows when told to.
#if defined(__SANITIZE_THREAD__)
extern "C" const char* __tsan_default_options() { return "die_after_fork=0"; }
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
extern "C" const char* __tsan_default_options() { return "die_after_fork=0"; }
#endif
#endif

// AddressSanitizer's allocator is not fork-safe: a child forked while another thread (a worker
// starting up, say) holds one of its locks hangs in its first allocation, whatever the code under
// test does.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool fork_while_allocating_is_safe = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool fork_while_allocating_is_safe = false;
#else
constexpr bool fork_while_allocating_is_safe = true;
#endif
#else
constexpr bool fork_while_allocating_is_safe = true;
#endif

namespace vexilo::pool {
namespace {

using Clock = std::chrono::steady_clock;

// Runs body on a thread of its own and ends the whole test process if it has not finished in
// time: a deadlocked pool would otherwise hang the suite instead of failing it.
template <class Body>
void within_seconds(int seconds, Body body) {
    std::promise<void> finished;
    std::future<void> result = finished.get_future();
    std::thread runner([&] {
        try {
            body();
            finished.set_value();
        } catch (...) {
            finished.set_exception(std::current_exception());
        }
    });
    if (result.wait_for(std::chrono::seconds(seconds)) != std::future_status::ready) {
        std::fprintf(stderr, "deadlock: the pool did not finish within %d s\n", seconds);
        std::fflush(stderr);
        std::_Exit(3);
    }
    runner.join();
    result.get();
}

void random_pause(std::size_t i) {
    thread_local std::mt19937 rng(static_cast<unsigned>(i));
    if (rng() % 8 == 0) std::this_thread::sleep_for(std::chrono::microseconds(rng() % 200));
}

// After an operation ended: it got under way (counter is above 0), and none of its work still
// runs (counter stays where it is for a while).
void expect_settled(const std::atomic<std::size_t>& counter) {
    const std::size_t after = counter.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(counter.load(), after);
    EXPECT_GT(after, 0u);
}

class PoolTest : public ::testing::TestWithParam<std::size_t> {
protected:
    ThreadPool pool{GetParam()};
};

INSTANTIATE_TEST_SUITE_P(Threads, PoolTest, ::testing::Values(1, 2, 4, 8),
                         [](const auto& test) { return std::to_string(test.param) + "_threads"; });

TEST_P(PoolTest, ParallelForRunsEveryIndexExactlyOnce) {
    for (std::size_t count : {0u, 1u, 2u, 3u, 17u, 1000u, 100003u}) {
        std::vector<std::atomic<int>> hits(count);
        pool.parallel_for(count, [&](std::size_t i) { hits[i].fetch_add(1); });
        for (std::size_t i = 0; i < count; ++i) ASSERT_EQ(hits[i].load(), 1) << count << " " << i;
    }
}

TEST_P(PoolTest, RangesAreDisjointAndMapResultsComeInRangeOrder) {
    for (std::size_t count : {1u, 2u, 5u, 4096u, 99991u}) {
        using Range = std::pair<std::size_t, std::size_t>;
        const std::vector<Range> ranges =
            pool.parallel_map_ranges<Range>(count, [&](std::size_t begin, std::size_t end) {
                random_pause(begin);
                return Range{begin, end};
            });
        std::size_t next = 0;
        for (const auto& [begin, end] : ranges) {
            ASSERT_EQ(begin, next);
            ASSERT_LT(begin, end);
            next = end;
        }
        EXPECT_EQ(next, count);
    }
}

TEST_P(PoolTest, FilterMapKeepsIndexOrderUnderRandomDelays) {
    for (std::size_t count : {0u, 1u, 7u, 3000u}) {
        const std::vector<std::string> kept =
            pool.parallel_filter_map<std::string>(count, [](std::size_t i) {
                random_pause(i);
                return i % 3 == 1 ? std::optional<std::string>(std::to_string(i)) : std::nullopt;
            });
        std::vector<std::string> expected;
        for (std::size_t i = 1; i < count; i += 3) expected.push_back(std::to_string(i));
        EXPECT_EQ(kept, expected) << count;
    }
}

TEST_P(PoolTest, SortMatchesSequentialSortOnAwkwardInputs) {
    std::mt19937_64 rng(GetParam());
    const auto shapes = {"random", "few distinct", "sorted", "reversed", "equal", "organ pipe"};
    for (std::size_t size : {0u, 1u, 2u, 3u, 16u, 17u, 18u, 1000u, 200000u}) {
        for (const std::string shape : shapes) {
            std::vector<std::uint64_t> items(size);
            for (std::size_t i = 0; i < size; ++i) {
                if (shape == "random") items[i] = rng();
                if (shape == "few distinct") items[i] = rng() % 3;
                if (shape == "sorted") items[i] = i;
                if (shape == "reversed") items[i] = size - i;
                if (shape == "organ pipe") items[i] = std::min(i, size - i);
            }
            std::vector<std::uint64_t> expected = items;
            std::sort(expected.begin(), expected.end());
            pool.parallel_sort(std::span<std::uint64_t>(items), std::less<>{});
            ASSERT_EQ(items, expected) << shape << " " << size;
        }
    }
}

TEST_P(PoolTest, NestedOperationsInsideTasksComplete) {
    within_seconds(120, [&] {
        constexpr std::size_t columns = 24;
        std::vector<std::vector<int>> sorted(columns);
        std::vector<std::size_t> kept_sizes(columns);
        pool.parallel_for(columns, [&](std::size_t c) {
            std::vector<int> values(5000 + c * 100);
            pool.parallel_for(values.size(), [&](std::size_t i) {
                values[i] = static_cast<int>((i * 7919 + c) % 1013);
            });
            pool.parallel_sort(std::span<int>(values), std::less<>{});
            kept_sizes[c] = pool.parallel_filter_map<int>(
                                    values.size(),
                                    [&](std::size_t i) {
                                        return values[i] % 2 == 0 ? std::optional<int>(values[i])
                                                                  : std::nullopt;
                                    })
                                .size();
            sorted[c] = std::move(values);
        });
        for (std::size_t c = 0; c < columns; ++c) {
            EXPECT_TRUE(std::is_sorted(sorted[c].begin(), sorted[c].end())) << c;
            EXPECT_EQ(sorted[c].size(), 5000 + c * 100);
            EXPECT_GT(kept_sizes[c], 0u);
        }
    });
}

TEST_P(PoolTest, RunHereRunsEveryNestedOperationOnTheCallingThreadInOrder) {
    within_seconds(60, [&] {
        const std::thread::id caller = std::this_thread::get_id();
        std::atomic<std::size_t> elsewhere{0};
        std::vector<std::size_t> order;
        std::vector<int> values(3000);
        run_here([&] {
            pool.run_cancellable(
                [] { return true; },
                [&] {
                    pool.parallel_for(values.size(), [&](std::size_t i) {
                        if (std::this_thread::get_id() != caller) ++elsewhere;
                        order.push_back(i);  // unsynchronised: only one thread may run it
                        values[i] = static_cast<int>((i * 7919) % 1013);
                    });
                    pool.parallel_sort(std::span<int>(values), std::less<>{});
                });
        });
        EXPECT_EQ(elsewhere.load(), 0u);
        EXPECT_EQ(order.size(), values.size());
        EXPECT_TRUE(std::is_sorted(order.begin(), order.end()));
        EXPECT_TRUE(std::is_sorted(values.begin(), values.end()));
        // The failure of work run here reaches the caller, and the thread is back to the pool.
        EXPECT_THROW(run_here([&] { pool.parallel_for(4, [](std::size_t) { throw 7; }); }), int);
        std::atomic<std::size_t> on_workers{0};
        pool.parallel_for(64, [&](std::size_t) {
            if (std::this_thread::get_id() != caller) ++on_workers;
        });
        EXPECT_EQ(on_workers.load(), 64u);
    });
}

// Depth-first recursion of joins: every level nests one operation inside a task of the last.
std::size_t nested_leaves(ThreadPool& pool, int depth) {
    if (depth == 0) return 1;
    std::atomic<std::size_t> leaves{0};
    pool.parallel_for(2, [&](std::size_t) { leaves += nested_leaves(pool, depth - 1); });
    return leaves.load();
}

TEST_P(PoolTest, DeepNestingNeverDeadlocks) {
    within_seconds(120, [&] { EXPECT_EQ(nested_leaves(pool, 12), 4096u); });
}

TEST_P(PoolTest, FailureIsRethrownAfterTheOtherPartsEnd) {
    for (int round = 0; round < 3; ++round) {
        std::atomic<int> running{0};
        std::atomic<std::size_t> finished{0};
        try {
            pool.parallel_for(2000, [&](std::size_t i) {
                running.fetch_add(1);
                random_pause(i);
                if (i == 10 || i == 1500) {
                    running.fetch_sub(1);
                    throw std::runtime_error("part " + std::to_string(i));
                }
                finished.fetch_add(1);
                running.fetch_sub(1);
            });
            FAIL() << "no exception";
        } catch (const std::runtime_error& failure) {
            // The lowest-indexed failing part wins, and nothing of the operation still runs.
            EXPECT_STREQ(failure.what(), "part 10");
            EXPECT_EQ(running.load(), 0);
        }
        expect_settled(finished);
    }
    // The workers survived: the pool still runs complete operations.
    std::atomic<std::size_t> sum{0};
    pool.parallel_for(1000, [&](std::size_t i) { sum += i; });
    EXPECT_EQ(sum.load(), 999u * 1000u / 2);
}

TEST_P(PoolTest, FailuresInNestedWorkAndSortReachTheCaller) {
    EXPECT_THROW(pool.parallel_for(8,
                                   [&](std::size_t c) {
                                       pool.parallel_for(100, [&](std::size_t i) {
                                           if (c == 5 && i == 77) throw InternalFailure("deep");
                                       });
                                   }),
                 InternalFailure);
    std::vector<int> values(10000);
    std::iota(values.begin(), values.end(), 0);
    std::shuffle(values.begin(), values.end(), std::mt19937(3));
    EXPECT_THROW(pool.parallel_sort(std::span<int>(values),
                                    [](int a, int b) {
                                        if (a == 4242 || b == 4242) throw std::range_error("less");
                                        return a < b;
                                    }),
                 std::range_error);
    std::sort(values.begin(), values.end());  // nothing was lost or duplicated
    for (int i = 0; i < 10000; ++i) ASSERT_EQ(values[static_cast<std::size_t>(i)], i);
}

TEST_P(PoolTest, TasksRunOnNamedWorkersAndFailuresNameThem) {
    const std::vector<std::string> names = pool.parallel_filter_map<std::string>(
        64, [](std::size_t) { return std::optional<std::string>(current_thread_name()); });
    for (const std::string& name : names) {
        const std::size_t index = std::stoul(name.substr(name.rfind('-') + 1));
        EXPECT_EQ(name, "vexilo-worker-" + std::to_string(index));
        EXPECT_LT(index, pool.thread_count());
    }
    std::string inside;
    pool.run_inside([&] { inside = current_thread_name(); });
    EXPECT_EQ(inside.rfind("vexilo-worker-", 0), 0u) << inside;
    EXPECT_THROW(pool.run_inside([] { throw std::logic_error("inside"); }), std::logic_error);
    try {
        pool.parallel_for(3, [](std::size_t i) {
            if (i == 2) throw InternalFailure("task failed");
        });
        FAIL() << "no exception";
    } catch (const InternalFailure& failure) {
        EXPECT_EQ(failure.thread_name().rfind("vexilo-worker-", 0), 0u) << failure.thread_name();
        EXPECT_STREQ(failure.what(), "task failed");
    }
}

TEST_P(PoolTest, ConcurrentOutsideCallersShareThePool) {
    within_seconds(120, [&] {
        std::vector<std::thread> callers;
        std::vector<std::uint64_t> sums(6);
        for (std::size_t t = 0; t < sums.size(); ++t) {
            callers.emplace_back([&, t] {
                for (int round = 0; round < 20; ++round) {
                    std::vector<std::uint64_t> values(3000);
                    pool.parallel_for(values.size(), [&](std::size_t i) { values[i] = i * t; });
                    pool.parallel_sort(std::span<std::uint64_t>(values), std::greater<>{});
                    sums[t] = std::accumulate(values.begin(), values.end(), std::uint64_t{0});
                }
            });
        }
        for (std::thread& caller : callers) caller.join();
        for (std::size_t t = 0; t < sums.size(); ++t) EXPECT_EQ(sums[t], t * 2999u * 3000u / 2);
    });
}

TEST_P(PoolTest, OperationsAcrossTwoPoolsInterleave) {
    within_seconds(120, [&] {
        ThreadPool other(1);
        std::atomic<std::size_t> leaves{0};
        pool.parallel_for(4, [&](std::size_t) {
            other.parallel_for(3, [&](std::size_t) {
                pool.parallel_for(5, [&](std::size_t) { leaves.fetch_add(1); });
            });
        });
        EXPECT_EQ(leaves.load(), 60u);
    });
}

// A keep_waiting callback that says stop once `after` has passed since the first call, and records
// when it did.
struct StopAfter {
    std::chrono::milliseconds after;
    std::optional<Clock::time_point> first{}, stopped{};
    int calls = 0;
    bool operator()() {
        ++calls;
        const auto now = Clock::now();
        if (!first) first = now;
        if (now - *first < after) return true;
        stopped = now;
        return false;
    }
};

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Endless work of every shape: nested loops, maps and sorts, and a long loop inside a task.
void endless_work(ThreadPool& pool, std::atomic<int>& running, std::atomic<std::size_t>& pieces) {
    pool.parallel_for(6, [&](std::size_t c) {
        for (;;) {
            if (c == 0) {
                running.fetch_add(1);
                for (std::uint64_t i = 0;; ++i) {
                    if (i % 1024 == 0) {
                        pieces.fetch_add(1);
                        try {
                            throw_if_cancelled();
                        } catch (...) {
                            running.fetch_sub(1);
                            throw;
                        }
                    }
                }
            }
            std::vector<std::uint64_t> values(200000);
            pool.parallel_for_ranges(values.size(), [&](std::size_t begin, std::size_t end) {
                running.fetch_add(1);
                for (std::size_t i = begin; i < end; ++i) values[i] = (i * 2654435761u) % 100003;
                pieces.fetch_add(1);
                running.fetch_sub(1);
            });
            pool.parallel_sort(std::span<std::uint64_t>(values), std::greater<>{});
            pool.parallel_map_ranges<int>(values.size(), [&](std::size_t, std::size_t) {
                pieces.fetch_add(1);
                return 0;
            });
        }
    });
}

TEST_P(PoolTest, CancelledOperationEndsSoonAndLeavesNothingRunning) {
    within_seconds(120, [&] {
        for (int round = 0; round < 3; ++round) {
            std::atomic<int> running{0};
            std::atomic<std::size_t> pieces{0};
            // The wait for a stop starts once the work has started: on a loaded machine the first
            // slice can pass before a worker picks the job up, and a job cancelled before it
            // starts runs nothing at all.
            StopAfter stop_after{std::chrono::milliseconds(30 * round), {}, {}, 0};
            const auto keep_waiting = [&] { return pieces.load() == 0 || stop_after(); };
            EXPECT_THROW(
                pool.run_cancellable(keep_waiting, [&] { endless_work(pool, running, pieces); }),
                Cancelled);
            ASSERT_TRUE(stop_after.stopped);
            EXPECT_LT(seconds_since(*stop_after.stopped), 10.0);
            EXPECT_EQ(running.load(), 0);
            expect_settled(pieces);
        }
        // The pool runs complete operations afterwards, cancellable or not.
        std::atomic<std::size_t> sum{0};
        pool.run_cancellable([] { return true; },
                             [&] { pool.parallel_for(1000, [&](std::size_t i) { sum += i; }); });
        pool.parallel_for(1000, [&](std::size_t i) { sum += i; });
        EXPECT_EQ(sum.load(), 999u * 1000u);
    });
}

TEST_P(PoolTest, CancelledSortStopsBetweenSlicesAndKeepsEveryElement) {
    within_seconds(120, [&] {
        std::vector<std::uint32_t> values(1 << 20);
        std::iota(values.begin(), values.end(), 0u);
        std::shuffle(values.begin(), values.end(), std::mt19937(7));
        // About a microsecond per comparison: the whole sort would take many seconds. How soon it
        // stops is counted in comparisons, which load on the machine does not stretch as it does
        // the time.
        std::atomic<std::uint64_t> comparisons{0};
        const auto slow_less = [&](std::uint32_t a, std::uint32_t b) {
            // relaxed: only the count matters, and the totals are read after the sort has ended.
            comparisons.fetch_add(1, std::memory_order_relaxed);
            volatile std::uint32_t spin = 0;
            for (int i = 0; i < 300; ++i) spin = spin + 1;
            return a < b;
        };
        StopAfter stop_after{std::chrono::milliseconds(40), {}, {}, 0};
        std::uint64_t at_stop = 0;
        const auto keep_waiting = [&] {
            if (stop_after()) return true;
            at_stop = comparisons.load(std::memory_order_relaxed);
            return false;
        };
        EXPECT_THROW(pool.run_cancellable(
                         keep_waiting,
                         [&] { pool.parallel_sort(std::span<std::uint32_t>(values), slow_less); }),
                     Cancelled);
        // After the stop only the steps already running end: one partition or slice sort per
        // thread, together far less than half of the log2(n!) comparisons any full sort needs.
        const double full_sort =
            std::lgamma(static_cast<double>(values.size()) + 1) / std::log(2.0);
        const std::uint64_t after_stop = comparisons.load() - at_stop;
        EXPECT_LT(static_cast<double>(after_stop), full_sort / 2) << at_stop << " " << after_stop;
        EXPECT_FALSE(std::is_sorted(values.begin(), values.end()));
        std::sort(values.begin(), values.end());
        for (std::uint32_t i = 0; i < values.size(); ++i) ASSERT_EQ(values[i], i);
    });
}

TEST_P(PoolTest, CancellableRunWaitsInSlicesAndReportsWhatEndedIt) {
    // Work that outlasts a few slices asks keep_waiting in between and completes. The work ends
    // only once it has been asked about twice, so the slices are seen however late a loaded
    // machine wakes the waiting thread; a waiter that never asked would trip the time limit.
    std::atomic<int> calls{0};
    std::vector<std::uint64_t> values(5000);
    within_seconds(120, [&] {
        pool.run_cancellable(
            [&] {
                calls.fetch_add(1);
                return true;
            },
            [&] {
                while (calls.load() < 2) std::this_thread::sleep_for(ThreadPool::poll_interval);
                pool.parallel_for(values.size(), [&](std::size_t i) { values[i] = i; });
            });
    });
    EXPECT_GE(calls.load(), 2);
    EXPECT_EQ(values[4999], 4999u);
    // The work's own failure comes through; a failing keep_waiting cancels and wins.
    EXPECT_THROW(pool.run_cancellable([] { return true; }, [] { throw InternalFailure("inside"); }),
                 InternalFailure);
    EXPECT_THROW(pool.run_cancellable([]() -> bool { throw std::range_error("asked"); },
                                      [&] {
                                          for (;;) pool.parallel_for(64, [](std::size_t) {});
                                      }),
                 std::range_error);
    // Outside every cancellable operation the check never throws.
    EXPECT_NO_THROW(throw_if_cancelled());
    pool.parallel_for(100, [](std::size_t) { throw_if_cancelled(); });
}

// Forks, runs child() in the child (its return value is the exit status) and returns the status
// the child ended with; a child that has not ended after 60 s is killed and counts as -1.
template <class Child>
int in_forked_child(Child child) {
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) std::_Exit(child());
    if (pid < 0) return -2;
    const auto deadline = Clock::now() + std::chrono::seconds(60);
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (Clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -3;
}

// The child's checks: the global pool works and sorts; a pool of the parent refuses to run and
// can be destroyed. Returns 0 when all hold.
int child_checks(ThreadPool* parent_global, ThreadPool* parents_pool) {
    ThreadPool& fresh = global_pool();
    if (&fresh == parent_global) return 10;
    std::vector<std::uint64_t> values(100000);
    fresh.parallel_for(values.size(), [&](std::size_t i) { values[i] = values.size() - i; });
    fresh.parallel_sort(std::span<std::uint64_t>(values), std::less<>{});
    if (!std::is_sorted(values.begin(), values.end()) || values[0] != 1) return 11;
    if (&global_pool() != &fresh) return 12;
    try {
        parents_pool->parallel_for(10, [](std::size_t) {});
        return 13;
    } catch (const PoolFailure& failure) {
        if (std::string(failure.what()) != "The thread pool was made before the process forked.") {
            return 14;
        }
    }
    delete parents_pool;
    return 0;
}

TEST_P(PoolTest, ForkedChildGetsAFreshGlobalPoolWhileTheParentWorks) {
    if (!fork_while_allocating_is_safe) {
        GTEST_SKIP() << "the sanitizer's allocator cannot fork while other threads allocate";
    }
    ThreadPool& parent_global = global_pool();
    parent_global.parallel_for(1000, [](std::size_t) {});
    auto* const doomed = new ThreadPool(GetParam());
    doomed->parallel_for(1000, [](std::size_t) {});
    // Fork after use, then while other threads of the parent are inside operations of both pools
    // and of this test's pool.
    EXPECT_EQ(in_forked_child([&] { return child_checks(&parent_global, doomed); }), 0);
    std::atomic<bool> stop{false};
    std::atomic<int> inside{0};
    const auto busy = [&](ThreadPool& target) {
        return std::thread([&] {
            target.parallel_for(64, [&](std::size_t) {
                inside.fetch_add(1);
                while (!stop.load()) std::this_thread::yield();
            });
        });
    };
    std::thread a = busy(parent_global), b = busy(pool);
    while (inside.load() < 2) std::this_thread::yield();
    for (int round = 0; round < 3; ++round) {
        EXPECT_EQ(in_forked_child([&] { return child_checks(&parent_global, doomed); }), 0);
    }
    stop.store(true);
    a.join();
    b.join();
    // The parent's pools are unaffected.
    std::atomic<std::size_t> sum{0};
    parent_global.parallel_for(100, [&](std::size_t i) { sum += i; });
    pool.parallel_for(100, [&](std::size_t i) { sum += i; });
    EXPECT_EQ(sum.load(), 9900u);
    delete doomed;
}

TEST(ThreadPool, SizeIsClampedToOneThroughTheMaximum) {
    EXPECT_EQ(ThreadPool(0).thread_count(), 1u);
    EXPECT_EQ(ThreadPool(1000).thread_count(), max_threads);
}

TEST(ThreadPool, ThreadsThatCannotStartAreAPoolFailureReportedWhereTheyFailed) {
    // No address space can hold this stack, so the first thread already fails to start.
    const std::size_t impossible_stack = std::numeric_limits<std::size_t>::max() / 2 + 1;
    try {
        ThreadPool pool(4, impossible_stack);
        FAIL() << "threads started";
    } catch (const PoolFailure& failure) {
        EXPECT_STREQ(failure.what(), "The global thread pool has not been initialized.");
        // The report the module writes: the asking thread, and the pool's own source line.
        // (Matched by hand: GCC 12 warns falsely inside std::regex under -O2 with ASan.)
        const std::string report = failure.report();
        const std::string head = "thread 'main' failed at src/pool/pool.cpp:";
        const std::string tail = ":\nThe global thread pool has not been initialized.\n";
        const bool framed = report.size() > head.size() + tail.size() && report.starts_with(head) &&
                            report.ends_with(tail);
        const std::string line =
            framed ? report.substr(head.size(), report.size() - head.size() - tail.size()) : "";
        EXPECT_TRUE(framed && std::all_of(line.begin(), line.end(),
                                          [](char c) { return c >= '0' && c <= '9'; }))
            << report;
    }
}

TEST(ThreadPool, GlobalPoolIsOneLazyInstance) {
    ThreadPool& first = global_pool();
    std::vector<ThreadPool*> seen(8);
    std::vector<std::thread> threads;
    for (auto& slot : seen) threads.emplace_back([&slot] { slot = &global_pool(); });
    for (std::thread& thread : threads) thread.join();
    for (ThreadPool* pool : seen) EXPECT_EQ(pool, &first);
    EXPECT_GE(first.thread_count(), 1u);
    EXPECT_LE(first.thread_count(), max_threads);
}

}  // namespace
}  // namespace vexilo::pool

// The deferred build: one build however many threads ask at once, and a failed build tried again.
#include "engine/deferred_build.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

namespace vexilo {
namespace {

TEST(DeferredBuild, ConcurrentFirstUsesBuildOnceAndSeeTheResult) {
    for (int round = 0; round < 50; ++round) {
        DeferredBuild build;
        build.defer();
        int built = 0;  // written by the build, read by all after ensure
        std::atomic<int> runs{0}, ready{0}, wrong{0};
        std::vector<std::thread> readers;
        for (int t = 0; t < 4; ++t) {
            readers.emplace_back([&] {
                ready.fetch_add(1);
                while (ready.load() < 4) {
                }
                build.ensure([&] {
                    runs.fetch_add(1);
                    std::this_thread::yield();
                    built = 42;
                });
                if (built != 42) wrong.fetch_add(1);
            });
        }
        for (std::thread& reader : readers) reader.join();
        ASSERT_EQ(runs.load(), 1) << round;
        ASSERT_EQ(wrong.load(), 0) << round;
        EXPECT_TRUE(build.current());
    }
}

TEST(DeferredBuild, FailedBuildStaysDeferredAndIsTriedAgain) {
    DeferredBuild build;
    int runs = 0;
    build.ensure([&] { ++runs; });  // current: nothing to build
    EXPECT_EQ(runs, 0);
    build.defer();
    EXPECT_FALSE(build.current());
    EXPECT_THROW(build.ensure([&] {
        ++runs;
        throw std::runtime_error("no memory");
    }),
                 std::runtime_error);
    EXPECT_FALSE(build.current());
    build.ensure([&] { ++runs; });
    build.ensure([&] { ++runs; });
    EXPECT_EQ(runs, 2);
    EXPECT_TRUE(build.current());
}

}  // namespace
}  // namespace vexilo

// The borrow flag: shared holders together, the exclusive holder alone, release on every exit.
#include "engine/borrow_flag.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

namespace vexilo {
namespace {

TEST(BorrowFlag, SharedHoldersCoexistAndBlockExclusive) {
    BorrowFlag flag;
    SharedBorrow a(flag), b(flag);
    EXPECT_TRUE(a.held());
    EXPECT_TRUE(b.held());
    EXPECT_EQ(flag.raw(), 2u);
    ExclusiveBorrow e(flag);
    EXPECT_FALSE(e.held());
    EXPECT_EQ(flag.raw(), 2u);  // a refused borrow changes nothing
}

TEST(BorrowFlag, ExclusiveHolderRefusesEveryone) {
    BorrowFlag flag;
    ExclusiveBorrow e(flag);
    ASSERT_TRUE(e.held());
    EXPECT_EQ(flag.raw(), BorrowFlag::exclusive);
    EXPECT_FALSE(SharedBorrow(flag).held());
    EXPECT_FALSE(ExclusiveBorrow(flag).held());
    EXPECT_EQ(flag.raw(), BorrowFlag::exclusive);
}

TEST(BorrowFlag, ReleasedOnEveryExitIncludingExceptions) {
    BorrowFlag flag;
    { SharedBorrow s(flag); }
    EXPECT_EQ(flag.raw(), 0u);
    try {
        ExclusiveBorrow e(flag);
        throw std::runtime_error("fail");
    } catch (const std::runtime_error&) {
    }
    EXPECT_EQ(flag.raw(), 0u);
    EXPECT_TRUE(ExclusiveBorrow(flag).held());
}

TEST(BorrowFlag, ConcurrentBorrowersNeverOverlapExclusive) {
    BorrowFlag flag;
    std::atomic<int> exclusive_inside{0}, shared_inside{0}, violations{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 20000; ++i) {
                if ((i + t) % 3 == 0) {
                    ExclusiveBorrow e(flag);
                    if (!e.held()) continue;
                    if (exclusive_inside.fetch_add(1) != 0 || shared_inside.load() != 0) {
                        violations.fetch_add(1);
                    }
                    exclusive_inside.fetch_sub(1);
                } else {
                    SharedBorrow s(flag);
                    if (!s.held()) continue;
                    shared_inside.fetch_add(1);
                    if (exclusive_inside.load() != 0) violations.fetch_add(1);
                    shared_inside.fetch_sub(1);
                }
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(violations.load(), 0);
    EXPECT_EQ(flag.raw(), 0u);
}

}  // namespace
}  // namespace vexilo

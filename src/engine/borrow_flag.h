// The per-object borrow flag: many shared holders or one exclusive holder, refused at once on
// conflict and never waited for. Interpreter-free.
#pragma once

#include <atomic>
#include <cstdint>

namespace vexilo {

class BorrowFlag {
public:
    static constexpr std::uint32_t exclusive = 0xFFFFFFFFu;

    // Takes a shared borrow; false when the flag is held exclusively (or the count is full).
    bool try_shared() noexcept {
        // Relaxed load: the compare-and-swap below re-validates the value it acts on.
        std::uint32_t seen = word_.load(std::memory_order_relaxed);
        do {
            if (seen >= exclusive - 1) return false;
            // Acquire on success pairs with the release of the previous exclusive holder, so its
            // writes to the state are visible to this reader.
        } while (!word_.compare_exchange_weak(seen, seen + 1, std::memory_order_acquire,
                                              std::memory_order_relaxed));
        return true;
    }
    // Release pairs with the acquire of a later exclusive borrow.
    void release_shared() noexcept { word_.fetch_sub(1, std::memory_order_release); }

    // Takes the exclusive borrow; false when anyone holds the flag.
    bool try_exclusive() noexcept {
        std::uint32_t expected = 0;
        // Acquire on success: see every write made under earlier borrows.
        return word_.compare_exchange_strong(expected, exclusive, std::memory_order_acquire,
                                             std::memory_order_relaxed);
    }
    // Release publishes the state written under the exclusive borrow.
    void release_exclusive() noexcept { word_.store(0, std::memory_order_release); }

    std::uint32_t raw() const noexcept { return word_.load(std::memory_order_relaxed); }

private:
    std::atomic<std::uint32_t> word_{0};
};

// Scoped borrows: released on every exit from the scope that took them.
template <bool Exclusive>
class BorrowGuard {
public:
    explicit BorrowGuard(BorrowFlag& flag) noexcept
        : flag_(&flag), held_(Exclusive ? flag.try_exclusive() : flag.try_shared()) {}
    ~BorrowGuard() {
        if (!held_) return;
        if constexpr (Exclusive) {
            flag_->release_exclusive();
        } else {
            flag_->release_shared();
        }
    }
    BorrowGuard(const BorrowGuard&) = delete;
    BorrowGuard& operator=(const BorrowGuard&) = delete;

    bool held() const noexcept { return held_; }

private:
    BorrowFlag* flag_;
    bool held_;
};

using SharedBorrow = BorrowGuard<false>;
using ExclusiveBorrow = BorrowGuard<true>;

}  // namespace vexilo

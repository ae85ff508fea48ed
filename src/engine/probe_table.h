// The open-addressing core under the engine's hash tables: a power-of-two array of slots probed
// linearly from a hash's home slot, with growth by rehashing what the slots hold. Interpreter-free.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

namespace vexilo {

// At most numerator/denominator of the slots occupied, for slot counts that denominator divides.
template <std::size_t numerator, std::size_t denominator>
struct MaxLoad {
    static constexpr bool allows(std::size_t count, std::size_t slot_count) noexcept {
        return count <= slot_count / denominator * numerator;
    }
};

// A table of slots: Traits says what a slot is and how full the table may get.
//   using Slot = ...;     // trivially copyable; a value-initialised Slot is free
//   using Storage = ...;  // a std::vector of Slot, with the allocator the table's owner wants
//   static bool is_free(const Slot&) noexcept;
//   static bool allows(std::size_t count, std::size_t slot_count) noexcept;  // the load policy
//   static constexpr std::size_t min_slots = ...;                          // a power of two
// The table knows nothing of keys: a probe is given a hash and a test of whether a slot holds the
// key; growth is given the way back from a slot to its key's hash (rehash: from the slot alone
// where it holds enough of the key), or the owner's slots and hashes in the owner's order
// (rebuild). The lookup inlines into the caller's loop; growth is out of line.
// Not thread-safe for writing; any number of threads may probe at once.
template <class Traits>
class ProbeTable {
public:
    using Slot = typename Traits::Slot;
    using Storage = typename Traits::Storage;

    // No slots: nothing may be probed until a table with slots is assigned.
    ProbeTable() noexcept = default;
    // slot_count free slots; slot_count is a power of two. Throws std::bad_alloc.
    explicit ProbeTable(std::size_t slot_count) : slots_(slot_count), mask_(slot_count - 1) {}
    ProbeTable(const ProbeTable&) = default;
    ProbeTable& operator=(const ProbeTable&) = default;
    // A moved-from table has no slots.
    ProbeTable(ProbeTable&& other) noexcept
        : slots_(std::exchange(other.slots_, {})),
          mask_(std::exchange(other.mask_, 0)),
          size_(std::exchange(other.size_, 0)) {}
    ProbeTable& operator=(ProbeTable&& other) noexcept {
        slots_ = std::exchange(other.slots_, {});
        mask_ = std::exchange(other.mask_, 0);
        size_ = std::exchange(other.size_, 0);
        return *this;
    }

    // The fewest slots (a power of two, at least Traits::min_slots) that the load policy lets
    // hold count occupied ones. The caller bounds count so that the doubling cannot overflow.
    static std::size_t slot_count_for(std::size_t count) noexcept {
        std::size_t slot_count = Traits::min_slots;
        while (!Traits::allows(count, slot_count)) slot_count *= 2;
        return slot_count;
    }

    std::size_t slot_count() const noexcept { return slots_.size(); }
    // Occupied slots.
    std::size_t size() const noexcept { return size_; }
    // Whether the load policy lets this table hold count occupied slots.
    bool allows(std::size_t count) const noexcept { return Traits::allows(count, slots_.size()); }

    // Where a probe for hash starts. The table must have slots.
    std::size_t home(std::uint64_t hash) const noexcept {
        return static_cast<std::size_t>(hash) & mask_;
    }

    // Asks for the home slot of hash ahead of its probe. The table must have slots.
    void prefetch(std::uint64_t hash) const noexcept { __builtin_prefetch(&slots_[home(hash)]); }

    // From the home slot of hash on, the first slot that is free or that matches (a test of
    // whether an occupied slot holds the key sought). The table must have slots.
    template <class Matches>
    std::size_t find(std::uint64_t hash, const Matches& matches) const {
        for (std::size_t at = home(hash);; at = (at + 1) & mask_) {
            const Slot& slot = slots_[at];
            if (Traits::is_free(slot) || matches(slot)) return at;
        }
    }

    // The first free slot from the home slot of hash on: where a key known to be absent goes.
    std::size_t find_free(std::uint64_t hash) const noexcept {
        std::size_t at = home(hash);
        while (!Traits::is_free(slots_[at])) at = (at + 1) & mask_;
        return at;
    }

    const Slot& operator[](std::size_t at) const noexcept { return slots_[at]; }
    bool is_free(std::size_t at) const noexcept { return Traits::is_free(slots_[at]); }
    const Slot* data() const noexcept { return slots_.data(); }

    // Fills the free slot at, whatever the load policy says.
    void put(std::size_t at, const Slot& slot) noexcept {
        slots_[at] = slot;
        ++size_;
    }

    // Fills the free slot at; then, if the load policy is exceeded, doubles the slots (see rehash),
    // which moves every slot. Throws std::bad_alloc, the slot then filled and the table not grown.
    template <class HashOf>
    void insert(std::size_t at, const Slot& slot, const HashOf& hash_of) {
        put(at, slot);
        if (!allows(size_)) rehash(slots_.size() * 2, hash_of);
    }

    // Moves the occupied slots into a table of slot_count slots (a power of two that allows them),
    // each from the home slot of hash_of(slot) on. Throws std::bad_alloc, the table unchanged.
    template <class HashOf>
    [[gnu::noinline]] void rehash(std::size_t slot_count, const HashOf& hash_of) {
        ProbeTable grown(slot_count);
        for (const Slot& slot : slots_) {
            if (!Traits::is_free(slot)) grown.put(grown.find_free(hash_of(slot)), slot);
        }
        *this = std::move(grown);
    }

    // Replaces the slots by slot_count of them (a power of two that allows count) holding
    // slot_at(i) for i in [0, count): a (hash, slot) pair, placed from the home slot of the hash
    // on. For slots that do not hold enough of their key to give its hash back, while their owner
    // keeps the keys or hashes in order. Throws std::bad_alloc, the table unchanged.
    template <class SlotAt>
    [[gnu::noinline]] void rebuild(std::size_t slot_count, std::size_t count,
                                   const SlotAt& slot_at) {
        ProbeTable built(slot_count);
        for (std::size_t i = 0; i < count; ++i) {
            const auto [hash, slot] = slot_at(i);
            built.put(built.find_free(hash), slot);
        }
        *this = std::move(built);
    }

    // Frees the slots: the table has none afterwards.
    void release() noexcept { *this = ProbeTable(); }

private:
    Storage slots_;
    std::size_t mask_ = 0;  // slot count less one, kept: every probe step takes it
    std::size_t size_ = 0;
};

}  // namespace vexilo

// Object addresses to entry numbers: how a column of objects finds again an object it met before
// without looking into it. Interpreter-free.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/probe_table.h"
#include "engine/work_vector.h"

namespace vexilo {

// Keys are addresses, only compared and never followed, so an entry can never reach freed memory;
// the null address is no key. Not thread-safe for writing; one index per column and thread.
class AddressIndex {
public:
    struct Slot {
        const void* key;  // null: a free slot
        std::size_t entry;
    };

    // The slot holding key, or the free slot where key goes. Valid until the next insert() or
    // release(). Not after release().
    const Slot& probe(const void* key) const noexcept {
        return slots_[slots_.find(hash(key), [&](const Slot& slot) { return slot.key == key; })];
    }

    // Fills slot, a free slot that probe(key) returned, with (key, entry). Throws std::bad_alloc
    // (the entry is then kept).
    void insert(const Slot& slot, const void* key, std::size_t entry) {
        const auto at = static_cast<std::size_t>(&slot - slots_.data());
        slots_.insert(at, Slot{key, entry}, [](const Slot& held) { return hash(held.key); });
    }

    // Asks for the slot where a lookup of key starts, ahead of the lookup. Not after release().
    void prefetch(const void* key) const noexcept { slots_.prefetch(hash(key)); }

    // How many keys the index holds.
    std::size_t size() const noexcept { return slots_.size(); }

    // Frees the index; it is empty, and may no longer be probed.
    void release() noexcept { slots_.release(); }

private:
    struct SlotTraits {
        using Slot = AddressIndex::Slot;
        using Storage = GrowthVector<Slot>;
        // Small: a table may have a great many short categorical columns.
        static constexpr std::size_t min_slots = 8;
        static bool is_free(const Slot& slot) noexcept { return slot.key == nullptr; }
        static bool allows(std::size_t count, std::size_t slot_count) noexcept {
            return MaxLoad<1, 2>::allows(count, slot_count);
        }
    };

    static std::uint64_t hash(const void* key) noexcept {
        // Objects are at least 16-byte aligned; the multiply spreads the remaining bits upward,
        // and the home slot is taken from the well-mixed upper half.
        const auto bits = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(key));
        return ((bits >> 4) * 0x9E3779B97F4A7C15ULL) >> 32;
    }

    ProbeTable<SlotTraits> slots_{SlotTraits::min_slots};
};

}  // namespace vexilo

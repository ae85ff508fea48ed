// Equal texts to one entry number, numbered in the order first seen: how a column whose equal
// texts lie apart in memory (Arrow cells, separate str objects) collects each distinct text once
// before the distinct texts are numbered. Interpreter-free.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/keyed_hash.h"

namespace vexilo {

// Keys are byte strings with a small kind number: two keys are equal when both their kinds and
// their bytes are (so texts stored in different encodings can share one index without
// colliding). The index keeps views only; the caller keeps every key's bytes alive and unchanged
// for the index's life. Keyed by a random hash key, so no input can be made to collide. Not
// thread-safe for writing; one index per column and thread.
//
// A slot holds the key's first 16 bytes, so keys of kind 0 and up to 16 bytes (most category
// texts) are found with one look at the slot and none at the key's own memory.
class TextIndex {
public:
    // The hash that lookups of key take; lets a caller hash a block of keys, then prefetch.
    std::uint64_t hash(std::string_view key, unsigned kind = 0) const noexcept {
        return hash_bytes(key0_ ^ kind, key1_, key.data(), key.size());
    }

    // Asks for the slot where a lookup with this hash starts, ahead of the lookup.
    void prefetch(std::uint64_t key_hash) const noexcept {
        __builtin_prefetch(&slots_[static_cast<std::size_t>(key_hash) & mask()]);
    }

    // The entry number of key, and whether this call added it: a key seen before gets its number
    // back, a new key the next number (0, 1, 2, ...). key_hash must be hash(key, kind). Throws
    // std::bad_alloc.
    std::pair<std::size_t, bool> find_or_add_hashed(std::string_view key, std::uint64_t key_hash,
                                                    unsigned kind = 0) {
        Slot probe{};
        std::memcpy(probe.head, key.data(), std::min(key.size(), sizeof probe.head));
        const bool whole_in_slot = key.size() <= sizeof probe.head && kind == 0;
        probe.size = key.size() <= max_slot_size ? static_cast<std::uint32_t>(key.size())
                                                 : static_cast<std::uint32_t>(max_slot_size);
        std::size_t at = static_cast<std::size_t>(key_hash) & mask();
        for (;; at = (at + 1) & mask()) {
            const Slot& slot = slots_[at];
            if (slot.entry == 0) break;
            if (slot.size != probe.size || std::memcmp(slot.head, probe.head, sizeof probe.head)) {
                continue;
            }
            const std::size_t entry = slot.entry - 1;
            if (whole_in_slot || (keys_[entry].kind == kind && keys_[entry].bytes == key)) {
                return {entry, false};
            }
        }
        const std::size_t entry = keys_.size();
        if (entry >= max_entries) throw std::bad_alloc();
        keys_.push_back(Key{key, kind});
        probe.entry = static_cast<std::uint32_t>(entry + 1);
        slots_[at] = probe;
        if (keys_.size() * 2 > slots_.size()) grow();
        return {entry, true};
    }

    // As find_or_add_hashed, hashing key itself.
    std::pair<std::size_t, bool> find_or_add(std::string_view key, unsigned kind = 0) {
        return find_or_add_hashed(key, hash(key, kind), kind);
    }

    // How many distinct keys the index holds.
    std::size_t size() const noexcept { return keys_.size(); }

    // Frees the index; it is empty afterwards.
    void release() noexcept {
        slots_ = std::vector<Slot>(initial_capacity);
        keys_ = std::vector<Key>();
    }

private:
    struct Key {
        std::string_view bytes;
        unsigned kind;
    };

    // The key's first bytes (zero-padded), its size (capped), and its entry + 1; 0: a free slot.
    struct Slot {
        char head[16];
        std::uint32_t size;
        std::uint32_t entry;
    };

    static constexpr std::size_t initial_capacity = 64;
    static constexpr std::size_t max_slot_size = std::numeric_limits<std::uint32_t>::max();
    static constexpr std::size_t max_entries = std::numeric_limits<std::uint32_t>::max() - 1;

    std::size_t mask() const noexcept { return slots_.size() - 1; }

    void grow() {
        std::vector<Slot> old = std::exchange(slots_, std::vector<Slot>(slots_.size() * 2));
        for (const Slot& slot : old) {
            if (slot.entry == 0) continue;
            const Key& key = keys_[slot.entry - 1];
            std::size_t at = static_cast<std::size_t>(hash(key.bytes, key.kind)) & mask();
            while (slots_[at].entry != 0) at = (at + 1) & mask();
            slots_[at] = slot;
        }
    }

    std::uint64_t key0_ = random_hash_key();
    std::uint64_t key1_ = random_hash_key();
    std::vector<Slot> slots_ = std::vector<Slot>(initial_capacity);
    std::vector<Key> keys_;
};

}  // namespace vexilo

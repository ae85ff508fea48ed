// Equal texts to one entry number, numbered in the order first seen: how a column whose equal
// texts lie apart in memory (Arrow cells, separate str objects) collects each distinct text once
// before the distinct texts are numbered. Interpreter-free.
#pragma once

#include <cstddef>
#include <cstdint>
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
class TextIndex {
public:
    TextIndex() : slots_(initial_capacity, 0) {}

    // The entry number of key, and whether this call added it: a key seen before gets its number
    // back, a new key the next number (0, 1, 2, ...). Throws std::bad_alloc.
    std::pair<std::size_t, bool> find_or_add(std::string_view key, unsigned kind = 0) {
        const std::uint64_t hash = hash_of(key, kind);
        const std::uint64_t tag = hash >> (64 - tag_bits);
        std::size_t at = static_cast<std::size_t>(hash) & mask();
        for (;; at = (at + 1) & mask()) {
            const std::uint64_t slot = slots_[at];
            if (slot == 0) break;
            if ((slot & tag_mask) != tag) continue;
            const std::size_t entry = static_cast<std::size_t>(slot >> tag_bits) - 1;
            if (keys_[entry].kind == kind && keys_[entry].bytes == key) return {entry, false};
        }
        const std::size_t entry = keys_.size();
        keys_.push_back(Key{key, kind});
        slots_[at] = (static_cast<std::uint64_t>(entry + 1) << tag_bits) | tag;
        if (keys_.size() * 2 > slots_.size()) grow();
        return {entry, true};
    }

    // Asks for the memory where a lookup of key starts, ahead of the lookup.
    void prefetch(std::string_view key, unsigned kind = 0) const noexcept {
        __builtin_prefetch(&slots_[static_cast<std::size_t>(hash_of(key, kind)) & mask()]);
    }

    // How many distinct keys the index holds.
    std::size_t size() const noexcept { return keys_.size(); }

    // Frees the index; it is empty afterwards.
    void release() noexcept {
        slots_ = std::vector<std::uint64_t>(initial_capacity, 0);
        keys_ = std::vector<Key>();
    }

private:
    struct Key {
        std::string_view bytes;
        unsigned kind;
    };

    // A slot holds (entry + 1) above a tag of the key's hash; 0 is a free slot.
    static constexpr unsigned tag_bits = 24;
    static constexpr std::uint64_t tag_mask = (std::uint64_t{1} << tag_bits) - 1;
    static constexpr std::size_t initial_capacity = 64;

    std::uint64_t hash_of(std::string_view key, unsigned kind) const noexcept {
        return hash_bytes(key0_ ^ kind, key1_, key.data(), key.size());
    }

    std::size_t mask() const noexcept { return slots_.size() - 1; }

    void grow() {
        std::vector<std::uint64_t> old = std::exchange(slots_, {});
        slots_.assign(old.size() * 2, 0);
        for (const std::uint64_t slot : old) {
            if (slot == 0) continue;
            const Key& key = keys_[static_cast<std::size_t>(slot >> tag_bits) - 1];
            std::size_t at = static_cast<std::size_t>(hash_of(key.bytes, key.kind)) & mask();
            while (slots_[at] != 0) at = (at + 1) & mask();
            slots_[at] = slot;
        }
    }

    std::uint64_t key0_ = random_hash_key();
    std::uint64_t key1_ = random_hash_key();
    std::vector<std::uint64_t> slots_;
    std::vector<Key> keys_;
};

}  // namespace vexilo

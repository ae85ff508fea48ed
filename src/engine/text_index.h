// Equal texts to one entry number, numbered in the order first seen: how a column whose equal
// texts lie apart in memory (Arrow cells, separate str objects) collects each distinct text once
// before the distinct texts are numbered. Interpreter-free.
#pragma once

#include <algorithm>
#include <array>
#include <bit>  // std::endian
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/keyed_hash.h"
#include "engine/probe_table.h"
#include "engine/unaligned_load.h"
#include "engine/work_vector.h"

namespace vexilo {

// Keys are byte strings with a small kind number: two keys are equal when both their kinds and
// their bytes are (so texts stored in different encodings can share one index without
// colliding). The index keeps views only; the caller keeps every key's bytes alive and unchanged
// for the index's life. Keyed by a random hash key, so no input can be made to collide. Not
// thread-safe for writing; one index per column and thread.
//
// A slot holds the key's first 16 bytes, so keys of kind 0 and up to 16 bytes (most category
// texts) are hashed from two words and found with one look at the slot and none at the key's own
// memory.
class TextIndex {
public:
    // The first 16 bytes of a key, zero-padded, and its size: all of a short key.
    struct Head {
        std::uint64_t words[2] = {0, 0};
        std::size_t size = 0;
    };

    // The head of key, read without touching a byte past its end.
    static Head head(std::string_view key) noexcept {
        Head out;
        out.size = key.size();
        const char* data = key.data();
        const std::size_t size = key.size();
        if constexpr (std::endian::native == std::endian::little) {
            // Overlapping word loads, shifted so that every byte lands where a copy would put it.
            if (size >= 16) {
                out.words[0] = load_unaligned<std::uint64_t>(data);
                out.words[1] = load_unaligned<std::uint64_t>(data + 8);
            } else if (size > 8) {
                out.words[0] = load_unaligned<std::uint64_t>(data);
                out.words[1] = load_unaligned<std::uint64_t>(data + size - 8) >> (8 * (16 - size));
            } else if (size == 8) {
                out.words[0] = load_unaligned<std::uint64_t>(data);
            } else if (size >= 4) {
                const std::uint64_t low = load_unaligned<std::uint32_t>(data);
                const std::uint64_t high = load_unaligned<std::uint32_t>(data + size - 4);
                out.words[0] = low | ((high >> (8 * (8 - size))) << 32);
            } else {
                for (std::size_t i = 0; i < size; ++i) {
                    out.words[0] |= std::uint64_t{static_cast<unsigned char>(data[i])} << (8 * i);
                }
            }
        } else {
            std::memcpy(out.words, data, std::min(size, sizeof out.words));
        }
        return out;
    }

    // head(key) for a key whose memory may be read for 16 bytes from its start, however short the
    // key: two word loads and masks, with no branch on the size (sizes of category texts vary
    // from cell to cell, and a branch on them is mispredicted half the time).
    static Head head_readable(std::string_view key) noexcept {
        if constexpr (std::endian::native != std::endian::little) return head(key);
        Head out;
        out.size = key.size();
        const std::size_t kept = std::min(key.size(), sizeof out.words);
        out.words[0] = load_unaligned<std::uint64_t>(key.data()) & head_masks[kept][0];
        out.words[1] = load_unaligned<std::uint64_t>(key.data() + 8) & head_masks[kept][1];
        return out;
    }

    // The hash that lookups of a key with this head and kind take; lets a caller hash a block of
    // keys, then prefetch.
    std::uint64_t hash(const Head& head, std::string_view key, unsigned kind = 0) const noexcept {
        if (head.size > sizeof head.words) {
            return hash_bytes(key0_ ^ kind, key1_, key.data(), key.size());
        }
        const std::uint64_t mixed =
            detail::fold_multiply(head.words[0] ^ key0_, head.words[1] ^ key1_ ^ kind);
        return detail::fold_multiply(mixed ^ head.size, key1_ ^ 0x9E3779B97F4A7C15ULL);
    }

    // Asks for the slot where a lookup with this hash starts, ahead of the lookup.
    void prefetch(std::uint64_t key_hash) const noexcept { slots_.prefetch(key_hash); }

    // The entry number of key, and whether this call added it: a key seen before gets its number
    // back, a new key the next number (0, 1, 2, ...). key_head and key_hash must be head(key) and
    // hash(key_head, key, kind). Throws std::bad_alloc.
    std::pair<std::size_t, bool> find_or_add_hashed(std::string_view key, const Head& key_head,
                                                    std::uint64_t key_hash, unsigned kind = 0) {
        const std::uint32_t tag = slot_tag(key.size(), kind);
        const bool whole_in_slot = key.size() <= sizeof key_head.words && kind < max_kinds;
        const std::size_t at = slots_.find(key_hash, [&](const Slot& slot) {
            if (slot.words[0] != key_head.words[0] || slot.words[1] != key_head.words[1] ||
                slot.tag != tag) {
                return false;
            }
            const Key& stored = keys_[slot.entry - 1];
            return whole_in_slot || (stored.kind == kind && stored.bytes == key);
        });
        if (!slots_.is_free(at)) return {slots_[at].entry - 1, false};
        return {add_at(at, key, key_head, tag, kind), true};
    }

    // As find_or_add_hashed, hashing key itself.
    std::pair<std::size_t, bool> find_or_add(std::string_view key, unsigned kind = 0) {
        const Head key_head = head(key);
        return find_or_add_hashed(key, key_head, hash(key_head, key, kind), kind);
    }

    // Takes the next number for an entry that no key finds (kept in step with a numbering of the
    // caller's in which not every entry is a text). Throws std::bad_alloc.
    std::size_t add_unkeyed() {
        if (keys_.size() >= max_entries) throw std::bad_alloc();
        keys_.push_back(Key{{}, 0});
        return keys_.size() - 1;
    }

    // How many numbers the index gave out.
    std::size_t size() const noexcept { return keys_.size(); }

    // Frees the index; it is empty afterwards.
    void release() noexcept {
        slots_ = Slots(initial_capacity);
        keys_ = GrowthVector<Key>();
    }

private:
    struct Key {
        std::string_view bytes;
        unsigned kind;
    };

    // A key's head words, its tag and its entry + 1; 0: a free slot.
    struct Slot {
        std::uint64_t words[2];
        std::uint32_t tag;
        std::uint32_t entry;
    };

    // For a key of n bytes (n <= 16): the masks that keep its bytes of the two head words.
    static constexpr auto head_masks = [] {
        std::array<std::array<std::uint64_t, 2>, 17> masks{};
        const auto low_bytes = [](std::size_t n) {
            return n >= 8 ? ~std::uint64_t{0} : (std::uint64_t{1} << (8 * n)) - 1;
        };
        for (std::size_t n = 0; n <= 16; ++n) {
            masks[n] = {low_bytes(n), low_bytes(n > 8 ? n - 8 : 0)};
        }
        return masks;
    }();

    // Small: a table may have a great many short categorical columns, each with an index.
    static constexpr std::size_t initial_capacity = 8;
    static constexpr std::size_t small_table_slots = std::size_t{1} << 14;
    static constexpr std::size_t max_entries = std::numeric_limits<std::uint32_t>::max() - 1;
    // A tag holds a key's kind above its size, so that a short key is all in its slot. A size of
    // max_tag_size stands for a larger one, or for a kind too large for the tag: such a key is
    // compared, and hashed again, through its own memory.
    static constexpr unsigned kind_bits = 4;
    static constexpr unsigned max_kinds = 1u << kind_bits;
    static constexpr std::size_t max_tag_size = (std::size_t{1} << (32 - kind_bits)) - 1;

    struct SlotTraits {
        using Slot = TextIndex::Slot;
        using Storage = GrowthVector<Slot>;
        static constexpr std::size_t min_slots = initial_capacity;
        static bool is_free(const Slot& slot) noexcept { return slot.entry == 0; }
        // Small tables stay at most a quarter full (fewer probes past the home slot, while the
        // table still fits the nearest caches), large ones half full: doubling those would cost
        // more in cache misses than the shorter probes save.
        static bool allows(std::size_t count, std::size_t slot_count) noexcept {
            return count <= slot_count / (slot_count <= small_table_slots ? 4 : 2);
        }
    };
    using Slots = ProbeTable<SlotTraits>;

    static std::uint32_t slot_tag(std::size_t size, unsigned kind) noexcept {
        const auto capped = static_cast<std::uint32_t>(
            kind < max_kinds ? std::min(size, max_tag_size) : max_tag_size);
        return capped | (static_cast<std::uint32_t>(kind % max_kinds) << (32 - kind_bits));
    }

    // Adds key in the free slot at; returns its entry number. Kept out of line, so that the
    // lookup that finds a key, far the most common, inlines into a caller's loop.
    [[gnu::noinline]] std::size_t add_at(std::size_t at, std::string_view key, const Head& key_head,
                                         std::uint32_t tag, unsigned kind) {
        const std::size_t entry = keys_.size();
        if (entry >= max_entries) throw std::bad_alloc();
        keys_.push_back(Key{key, kind});
        const Slot slot{
            {key_head.words[0], key_head.words[1]}, tag, static_cast<std::uint32_t>(entry + 1)};
        slots_.insert(at, slot, [&](const Slot& held) { return slot_hash(held); });
        return entry;
    }

    // The hash of the key a slot holds: a short key is all in its slot, so it needs no look at
    // the key's memory.
    std::uint64_t slot_hash(const Slot& slot) const noexcept {
        const std::size_t size = slot.tag & max_tag_size;
        if (size <= sizeof slot.words) {
            Head key_head;
            key_head.words[0] = slot.words[0];
            key_head.words[1] = slot.words[1];
            key_head.size = size;
            return hash(key_head, {}, slot.tag >> (32 - kind_bits));
        }
        const Key& key = keys_[slot.entry - 1];
        return hash(head(key.bytes), key.bytes, key.kind);
    }

    std::uint64_t key0_ = random_hash_key();
    std::uint64_t key1_ = random_hash_key();
    Slots slots_ = Slots(initial_capacity);
    GrowthVector<Key> keys_;
};

}  // namespace vexilo

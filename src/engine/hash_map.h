// The hash map of the learned state: entries in insertion order, a compact index of linear-probe
// slots, keyed by its own SeededHash; texts owned by the map or viewed in a shared TextStore.
// Interpreter-free. One unit though long: the entries, their index and the store their texts lie
// in keep one invariant, which every member upholds.
#pragma once

#include <algorithm>  // std::max
#include <bit>        // std::countr_zero
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "engine/deferred_build.h"
#include "engine/keyed_hash.h"
#include "engine/probe_table.h"
#include "engine/text_store.h"

namespace vexilo {

// A hash map from a text or an unsigned integer to Value, keyed by its own SeededHash.
//
// Texts are either owned by the entries (std::string) or views (std::string_view keys, or values)
// into a TextStore that the map keeps alive: an inserted view is copied into the map's store,
// and entries assigned in bulk may view a store shared with other maps, so that one copy of each
// text serves them all. A copy of such a map shares its store; whatever it adds goes to a store
// of its own that rests on the shared one.
//
// The entries lie in one contiguous array, in insertion order, which is also the iteration order;
// a separate index of 8-byte slots (linear probing, at most three quarters full) holds each
// entry's position and 24 more bits of its hash, so most mismatches cost no look at the entry.
// A map with integer keys 0, 1, ..., n-1 inserted in that order (an inverse map, a table's
// columns) keeps no index at all: the key is the position. A text map may also leave its index to
// the first lookup (assign_distinct_unindexed), for maps that are mostly kept and iterated.
//
// Unlike std::unordered_map, an insertion may move the entries: it invalidates every iterator,
// pointer and reference into the map. value_type is std::pair<Key, Value>; never change a key
// through an iterator. Not thread-safe for writing; any number of threads may read at once.
template <class Key, class Value>
class HashMap {
    static_assert(std::same_as<Key, std::string> || std::same_as<Key, std::string_view> ||
                      std::unsigned_integral<Key>,
                  "keys are texts or unsigned integers");
    static constexpr bool positional_keys = std::unsigned_integral<Key>;
    static constexpr bool viewed_keys = std::same_as<Key, std::string_view>;
    static constexpr bool viewed_values = std::same_as<Value, std::string_view>;
    static constexpr bool viewed_texts = viewed_keys || viewed_values;
    struct NoTexts {};
    using Texts = std::conditional_t<viewed_texts, std::shared_ptr<TextStore>, NoTexts>;

public:
    using key_type = Key;
    using mapped_type = Value;
    using value_type = std::pair<Key, Value>;
    using size_type = std::size_t;
    using hasher = SeededHash;
    // What lookups take: any text for string keys.
    using lookup_type = std::conditional_t<positional_keys, Key, std::string_view>;
    using iterator = typename std::vector<value_type>::iterator;
    using const_iterator = typename std::vector<value_type>::const_iterator;

    HashMap() = default;
    // A copy of a map whose index is deferred defers its own.
    HashMap(const HashMap& other)
        : hash_(other.hash_), entries_(other.entries_), texts_(other.texts_) {
        if (other.index_build_.current()) {
            index_ = other.index_;
        } else {
            index_build_.defer();
        }
    }
    HashMap& operator=(const HashMap& other) {
        if (this != &other) *this = HashMap(other);
        return *this;
    }
    // A moved-from map is empty.
    HashMap(HashMap&& other) noexcept
        : hash_(other.hash_),
          entries_(std::exchange(other.entries_, {})),
          index_(std::move(other.index_)),
          texts_(std::exchange(other.texts_, {})) {
        take_index_build(other);
    }
    HashMap& operator=(HashMap&& other) noexcept {
        hash_ = other.hash_;
        entries_ = std::exchange(other.entries_, {});
        index_ = std::move(other.index_);
        take_index_build(other);
        texts_ = std::exchange(other.texts_, {});
        return *this;
    }

    size_type size() const noexcept { return entries_.size(); }
    bool empty() const noexcept { return entries_.empty(); }
    const hasher& hash_function() const noexcept { return hash_; }

    iterator begin() noexcept { return entries_.begin(); }
    iterator end() noexcept { return entries_.end(); }
    const_iterator begin() const noexcept { return entries_.begin(); }
    const_iterator end() const noexcept { return entries_.end(); }
    const_iterator cbegin() const noexcept { return entries_.begin(); }
    const_iterator cend() const noexcept { return entries_.end(); }

    // Makes room for count entries, so that inserting up to that many reallocates nothing. An
    // index not built yet is built at the first insertion, sized for the room made here.
    void reserve(size_type count) {
        if (count <= entries_.size()) return;
        entries_.reserve(count);
        if (index_.slot_count() != 0 && slot_count_for(count) > index_.slot_count()) {
            rebuild_index(slot_count_for(count));
        }
    }

    void clear() noexcept {
        entries_.clear();
        index_.release();
        index_build_.settle();
        texts_ = {};
    }

    // The store the entries' texts lie in (maps of viewed texts only); null while none was needed.
    const std::shared_ptr<TextStore>& texts() const noexcept requires viewed_texts {
        return texts_;
    }

    // False while the index waits for the first lookup to build it (assign_distinct_unindexed).
    // Any thread.
    bool indexed() const noexcept { return index_build_.current(); }

    // Lookups of a map whose index was deferred build it first, once, other readers waiting for
    // it: they may then throw std::bad_alloc.
    iterator find(lookup_type key) {
        const std::size_t at = locate(key);
        return at == npos ? end() : begin() + static_cast<std::ptrdiff_t>(at);
    }
    const_iterator find(lookup_type key) const {
        const std::size_t at = locate(key);
        return at == npos ? end() : begin() + static_cast<std::ptrdiff_t>(at);
    }
    bool contains(lookup_type key) const { return locate(key) != npos; }

    // Looks up count keys in order: found(i, entry) for each i in [0, count), entry being the
    // const_iterator of key_at(i) or end(). key_at may be called more than once for an i and must
    // give the same key each time. On a map larger than the caches this beats count finds: the
    // index slots of the keys a few places ahead are fetched while the current one is probed.
    // Same thread-safety as find.
    template <class KeyAt, class Found>
    void find_each(std::size_t count, KeyAt&& key_at, Found&& found) const {
        build_deferred_index();
        if (index_.slot_count() == 0) {
            for (std::size_t i = 0; i < count; ++i) {
                const std::size_t at = locate(key_at(i));
                found(i, at == npos ? end() : begin() + static_cast<std::ptrdiff_t>(at));
            }
            return;
        }
        constexpr std::size_t ahead = 8;
        std::uint64_t hashes[ahead];
        for (std::size_t i = 0; i < count + ahead; ++i) {
            if (i >= ahead) {
                const std::size_t done = i - ahead;
                const std::size_t at =
                    slot_index(index_[probe(hashes[done % ahead], key_at(done))]);
                found(done, at == npos ? end() : begin() + static_cast<std::ptrdiff_t>(at));
            }
            if (i < count) {
                const std::uint64_t hash = hash_.hash64(key_at(i));
                hashes[i % ahead] = hash;
                index_.prefetch(hash);
            }
        }
    }
    size_type count(lookup_type key) const { return contains(key) ? 1 : 0; }

    // The value of key; throws std::out_of_range when there is none. A viewed text is not to be
    // assigned through it, so maps of viewed values give it read-only.
    Value& at(lookup_type key) requires(!viewed_values) {
        const std::size_t at = locate(key);
        if (at == npos) throw std::out_of_range("HashMap::at: no entry for the key");
        return entries_[at].second;
    }
    const Value& at(lookup_type key) const {
        const std::size_t at = locate(key);
        if (at == npos) throw std::out_of_range("HashMap::at: no entry for the key");
        return entries_[at].second;
    }

    // Inserts (key, Value(args...)) unless key is present; returns the entry of key and whether
    // it was inserted. Nothing is constructed from args, and args are left untouched, when key is
    // present.
    template <class... Args>
    std::pair<iterator, bool> try_emplace(Key key, Args&&... args) {
        // A deferred index not built yet is missing, and built below like any missing one.
        index_build_.settle();
        const lookup_type lookup(key);  // for a text, views key until key is moved in below
        if (index_.slot_count() == 0) {
            if constexpr (positional_keys) {
                if (lookup < entries_.size()) {
                    return {begin() + static_cast<std::ptrdiff_t>(lookup), false};
                }
                if (lookup == entries_.size()) {
                    emplace_entry(std::move(key), std::forward<Args>(args)...);
                    return {end() - 1, true};
                }
            }
            // The first key out of position, or the first entry of a text map: index them all.
            rebuild_index(slot_count_for(std::max(entries_.size() + 1, entries_.capacity())));
        }
        const std::uint64_t hash = hash_.hash64(lookup);
        std::size_t at = probe(hash, lookup);
        if (!index_.is_free(at)) {
            return {begin() + static_cast<std::ptrdiff_t>(slot_index(index_[at])), false};
        }
        if (!index_.allows(entries_.size() + 1)) {
            if (entries_.size() == entries_.capacity()) entries_.reserve(grown_capacity());
            rebuild_index(slot_count_for(entries_.capacity()));
            at = index_.find_free(hash);
        }
        emplace_entry(std::move(key), std::forward<Args>(args)...);
        // The slot is written last, so a failed construction leaves the index as it was.
        index_.put(at, make_slot(hash, entries_.size() - 1));
        return {end() - 1, true};
    }

    template <class V>
    std::pair<iterator, bool> emplace(Key key, V&& value) {
        return try_emplace(std::move(key), std::forward<V>(value));
    }

    // Inserts (key, value), or assigns value to the entry key already has.
    template <class V>
    std::pair<iterator, bool> insert_or_assign(Key key, V&& value) {
        auto [entry, inserted] = try_emplace(std::move(key), std::forward<V>(value));
        // try_emplace left value untouched when the key was present.
        if (!inserted) {
            if constexpr (viewed_values) {
                entry->second = keep(Value(std::forward<V>(value)));
            } else {
                entry->second = std::forward<V>(value);
            }
        }
        return {entry, inserted};
    }

    // insert_or_assign for a value that lies in texts() already, or in a store it rests on (see
    // share_texts): the text is not copied.
    std::pair<iterator, bool> insert_or_assign_stored(Key key, Value value) requires viewed_values {
        auto [entry, inserted] = try_emplace(std::move(key));
        entry->second = value;
        return {entry, inserted};
    }

    // Lets an empty map view the texts of store, shared with other maps: values from it may then
    // be inserted uncopied (insert_or_assign_stored); other texts go to a store of the map's own
    // that rests on it.
    void share_texts(std::shared_ptr<TextStore> store) requires viewed_texts {
        if (empty()) texts_ = std::move(store);
    }

    // The value of key, inserted value-initialised when key is absent. Not for maps of viewed
    // values, whose texts are only assigned by copying them into the store.
    Value& operator[](Key key) requires(!viewed_values) {
        return try_emplace(std::move(key)).first->second;
    }

    // Replaces the content by entries, whose keys must all differ, taking over their storage
    // without copying. Iteration then follows their order. Throws std::invalid_argument on a
    // repeated key (the map is then unchanged) and std::bad_alloc. Entries that view texts come
    // with the store they lie in, which the map keeps alive (and may share with other maps).
    void assign_distinct(std::vector<value_type>&& entries,
                         std::shared_ptr<TextStore> texts) requires viewed_texts {
        assign_distinct_entries(std::move(entries));
        texts_ = std::move(texts);
    }
    void assign_distinct(std::vector<value_type>&& entries) requires(!viewed_texts) {
        assign_distinct_entries(std::move(entries));
    }

    // As assign_distinct, but the index is built only when first needed, by a lookup or an
    // insertion; until then the map costs its entries alone. For text maps, which are often
    // kept and iterated but never looked into. Entries in the ascending order of a stretch_order
    // of their count fill the index, once built, front to back instead of at random. Never
    // throws: repeated keys are found (std::invalid_argument) when the index is built.
    void assign_distinct_unindexed(std::vector<value_type>&& entries,
                                   std::shared_ptr<TextStore> texts) noexcept
        requires(!positional_keys && viewed_texts) {
        assign_unindexed(std::move(entries));
        texts_ = std::move(texts);
    }
    void assign_distinct_unindexed(std::vector<value_type>&& entries) noexcept
        requires(!positional_keys && !viewed_texts) {
        assign_unindexed(std::move(entries));
    }

    // Where keys first look in the index of a map of a given count of entries, coarsely: the index
    // cut into count() stretches of consecutive slots, of(key) is the stretch holding the key's
    // home slot. Bound to the hasher of the map that made it.
    class StretchOrder {
    public:
        std::size_t count() const noexcept { return count_; }
        std::size_t of(lookup_type key) const noexcept {
            return (static_cast<std::size_t>(hash_.hash64(key)) & mask_) >> shift_;
        }

    private:
        friend class HashMap;
        StretchOrder(const SeededHash& hash, std::size_t slot_count, std::size_t count) noexcept
            : hash_(hash),
              mask_(slot_count - 1),
              shift_(std::countr_zero(slot_count / count)),
              count_(count) {}
        SeededHash hash_;
        std::size_t mask_;
        int shift_;
        std::size_t count_;
    };

    // The stretches of this map's index for entry_count entries: max_stretches of them (a power of
    // two, at least 1), or as many as the index would have slots if fewer. Throws
    // std::length_error past the most entries a map holds.
    StretchOrder stretch_order(size_type entry_count, size_type max_stretches) const {
        const size_type slot_count = slot_count_for(entry_count);
        return StretchOrder(hash_, slot_count, std::min(slot_count, max_stretches));
    }

    // Equal content: the same keys with equal values, whatever the order or hashers.
    friend bool operator==(const HashMap& a, const HashMap& b) {
        if (a.size() != b.size()) return false;
        for (const value_type& entry : a.entries_) {
            const auto other = b.find(lookup_type(entry.first));
            if (other == b.end() || !(other->second == entry.second)) return false;
        }
        return true;
    }

private:
    // A copy of text in this map's own store (made when its store is shared or missing), so that
    // an entry never views memory the caller owns.
    std::string_view keep(std::string_view text) requires viewed_texts {
        if (text.empty()) return std::string_view();
        if (!texts_ || texts_.use_count() > 1) {
            texts_ = std::make_shared<TextStore>(std::move(texts_));
        }
        return texts_->store(text);
    }

    // Appends the entry (key, Value(args...)), its viewed texts copied into the store first.
    template <class... Args>
    void emplace_entry(Key key, Args&&... args) {
        if constexpr (viewed_values) {
            const Value value = keep(Value(std::forward<Args>(args)...));
            if constexpr (viewed_keys) key = keep(key);
            entries_.emplace_back(std::move(key), value);
        } else {
            if constexpr (viewed_keys) key = keep(key);
            entries_.emplace_back(std::piecewise_construct, std::forward_as_tuple(std::move(key)),
                                  std::forward_as_tuple(std::forward<Args>(args)...));
        }
    }

    // An index slot: 0 (free) or, above index_bits, the top bits of the key's hash and, below,
    // the entry's position plus one; so most mismatches cost no look at the entry.
    struct IndexSlot {
        std::uint64_t bits;
    };
    struct IndexTraits {
        using Slot = IndexSlot;
        using Storage = std::vector<IndexSlot>;
        static constexpr std::size_t min_slots = 16;
        static bool is_free(IndexSlot slot) noexcept { return slot.bits == 0; }
        static bool allows(std::size_t count, std::size_t slot_count) noexcept {
            return MaxLoad<3, 4>::allows(count, slot_count);
        }
    };
    using Index = ProbeTable<IndexTraits>;

    static constexpr std::size_t npos = std::numeric_limits<std::size_t>::max();
    static constexpr int index_bits = 40;
    static constexpr std::uint64_t index_mask = (std::uint64_t{1} << index_bits) - 1;
    static constexpr std::uint64_t max_entries_u64 =
        index_mask - 1 < std::numeric_limits<std::size_t>::max() / 4
            ? index_mask - 1
            : std::numeric_limits<std::size_t>::max() / 4;
    static constexpr size_type max_entries = static_cast<size_type>(max_entries_u64);

    // The number of index slots of a map holding count hashed entries (a power of two).
    static size_type slot_count_for(size_type count) {
        if (count > max_entries) throw std::length_error("HashMap: too many entries");
        return Index::slot_count_for(count);
    }

    static IndexSlot make_slot(std::uint64_t hash, std::size_t index) noexcept {
        return {(hash >> index_bits << index_bits) | (static_cast<std::uint64_t>(index) + 1)};
    }
    static std::size_t slot_index(IndexSlot slot) noexcept {
        return slot.bits == 0 ? npos : static_cast<std::size_t>((slot.bits & index_mask) - 1);
    }

    // Whether a slot holds key, of the given hash, among entries.
    static bool holds(IndexSlot slot, std::uint64_t hash, lookup_type key,
                      const std::vector<value_type>& entries) noexcept {
        return (slot.bits >> index_bits) == (hash >> index_bits) &&
               entries[slot_index(slot)].first == key;
    }

    // An index over entries. Throws std::invalid_argument when two keys are equal, and
    // std::bad_alloc.
    static Index index_of(const std::vector<value_type>& entries, const SeededHash& hasher) {
        if (entries.empty()) return Index();
        Index index(slot_count_for(entries.size()));
        for (std::size_t i = 0; i < entries.size(); ++i) {
            const lookup_type key(entries[i].first);
            const std::uint64_t hash = hasher.hash64(key);
            const std::size_t at =
                index.find(hash, [&](IndexSlot slot) { return holds(slot, hash, key, entries); });
            if (!index.is_free(at)) throw std::invalid_argument("HashMap: repeated key");
            index.put(at, make_slot(hash, i));
        }
        return index;
    }

    void assign_distinct_entries(std::vector<value_type>&& entries) {
        std::vector<value_type> taken = std::move(entries);
        bool positional = positional_keys;
        if constexpr (positional_keys) {
            for (std::size_t i = 0; i < taken.size() && positional; ++i) {
                positional = taken[i].first == i;
            }
        }
        Index index = positional ? Index() : index_of(taken, hash_);
        entries_ = std::move(taken);
        index_ = std::move(index);
        index_build_.settle();
    }

    void assign_unindexed(std::vector<value_type>&& entries) noexcept {
        entries_ = std::move(entries);
        index_.release();
        index_build_.defer();
    }

    // The slot holding key, or the free slot where it would go. The index must have slots.
    std::size_t probe(std::uint64_t hash, lookup_type key) const noexcept {
        return index_.find(hash, [&](IndexSlot slot) { return holds(slot, hash, key, entries_); });
    }

    std::size_t locate(lookup_type key) const {
        build_deferred_index();
        if (index_.slot_count() == 0) {
            if constexpr (positional_keys) {
                return key < entries_.size() ? static_cast<std::size_t>(key) : npos;
            } else {
                return npos;
            }
        }
        return slot_index(index_[probe(hash_.hash64(key), key)]);
    }

    std::size_t grown_capacity() const noexcept {
        if (entries_.size() < 8) return 16;
        return entries_.size() < max_entries / 2 ? entries_.size() * 2 : max_entries;
    }

    // Rebuilds the index with slot_count slots from the entries' keys: read in order, which keeps
    // to the order the texts lie in, where rehashing the slots would visit them at random. The
    // map is unchanged if this throws. Out of line: it is rare, and inlined it would crowd the
    // insertions that call it out of their callers' loops.
    [[gnu::noinline]] void rebuild_index(std::size_t slot_count) {
        index_.rebuild(slot_count, entries_.size(), [&](std::size_t i) {
            const std::uint64_t hash = hash_.hash64(lookup_type(entries_[i].first));
            return std::pair{hash, make_slot(hash, i)};
        });
    }

    // Builds a deferred index, once, whichever of several reading threads comes first.
    void build_deferred_index() const {
        index_build_.ensure([&] { index_ = index_of(entries_, hash_); });
    }

    // Takes over whether the index of other, which is being moved from, is deferred.
    void take_index_build(HashMap& other) noexcept {
        if (other.index_build_.current()) {
            index_build_.settle();
        } else {
            index_build_.defer();
        }
        other.index_build_.settle();
    }

    SeededHash hash_;
    std::vector<value_type> entries_;
    // Written by a const lookup only to build a deferred index (see index_build_); otherwise by
    // writers alone.
    mutable Index index_;
    DeferredBuild index_build_;            // current, unless the index waits for the first lookup
    [[no_unique_address]] Texts texts_{};  // the store of viewed texts
};

}  // namespace vexilo

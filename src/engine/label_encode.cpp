// Column label encoding: hash deduplication per piece of rows, one parallel sort of the distinct
// texts, codes by rank. Interpreter-free. One unit though long: its five steps hand each other
// private records (pieces, sorted entries, ranks, stretches) that no other file needs.
#include "engine/label_encode.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "engine/hash_map.h"
#include "engine/keyed_hash.h"
#include "engine/probe_table.h"
#include "engine/sort_prefix.h"
#include "engine/unaligned_load.h"
#include "engine/work_vector.h"

namespace vexilo {
namespace {

// Byte equality of two texts of equal size, without a library call or a size-dependent branch
// for the 8 to 32 bytes typical of categories: four overlapping word loads cover them.
inline bool same_bytes(const char* a, const char* b, std::size_t size) noexcept {
    if (size - 8 <= 24) {
        const std::size_t middle = size >= 16 ? 8 : size - 8;
        const std::size_t last = size - 8;
        return ((load_unaligned<std::uint64_t>(a) ^ load_unaligned<std::uint64_t>(b)) |
                (load_unaligned<std::uint64_t>(a + middle) ^
                 load_unaligned<std::uint64_t>(b + middle)) |
                (load_unaligned<std::uint64_t>(a + last - middle) ^
                 load_unaligned<std::uint64_t>(b + last - middle)) |
                (load_unaligned<std::uint64_t>(a + last) ^
                 load_unaligned<std::uint64_t>(b + last))) == 0;
    }
    if (size > 32) return std::memcmp(a, b, size) == 0;
    if (size >= 4)
        return load_unaligned<std::uint32_t>(a) == load_unaligned<std::uint32_t>(b) &&
               load_unaligned<std::uint32_t>(a + size - 4) ==
                   load_unaligned<std::uint32_t>(b + size - 4);
    for (std::size_t i = 0; i < size; ++i) {
        if (a[i] != b[i]) return false;
    }
    return true;
}

inline bool same_text(std::string_view a, std::string_view b) noexcept {
    return a.size() == b.size() && same_bytes(a.data(), b.data(), a.size());
}

// The distinct texts of one piece of rows, in order of first occurrence: local id i names
// texts[i]. Each slot of its table keeps the high half of the text's hash, so most mismatches are
// rejected without reading the text; the hashes are kept by id for growing.
template <class Id>
class DistinctTable {
public:
    Id find_or_insert(std::string_view text, std::size_t hash) {
        const std::uint32_t tag = tag_of(hash);
        const std::size_t at = slots_.find(hash, [&](const Slot& slot) {
            return slot.tag == tag && same_text(texts_[id_of(slot)], text);
        });
        if (!slots_.is_free(at)) return static_cast<Id>(id_of(slots_[at]));
        const auto id = static_cast<Id>(texts_.size());
        texts_.push_back(text);
        hashes_.push_back(hash);
        slots_.put(at, Slot{static_cast<Id>(texts_.size()), tag});
        if (!slots_.allows(slots_.size())) {
            // The slots hold half of each hash; the hashes, in id order, give the rest.
            slots_.rebuild(slots_.slot_count() * 2, texts_.size(), [&](std::size_t i) {
                return std::pair{std::uint64_t{hashes_[i]},
                                 Slot{static_cast<Id>(i + 1), tag_of(hashes_[i])}};
            });
        }
        return id;
    }

    // Ends the finding: frees the lookup table and makes room for `more` texts to append. Only
    // append may follow.
    void stop_finding(std::size_t more) {
        slots_.release();
        hashes_ = GrowthVector<std::size_t>();
        texts_.reserve(texts_.size() + more);
    }

    // Adds text as a new id without looking for an earlier copy; the table stops finding texts.
    Id append(std::string_view text) {
        texts_.push_back(text);
        return static_cast<Id>(texts_.size() - 1);
    }

    std::size_t size() const noexcept { return texts_.size(); }
    GrowthVector<std::string_view>& texts() noexcept { return texts_; }

private:
    struct Slot {
        Id id_plus_one = 0;  // 0: empty
        std::uint32_t tag = 0;
    };
    struct SlotTraits {
        using Slot = DistinctTable::Slot;
        using Storage = GrowthVector<Slot>;
        static constexpr std::size_t min_slots = 16;
        static bool is_free(const Slot& slot) noexcept { return slot.id_plus_one == 0; }
        static bool allows(std::size_t count, std::size_t slot_count) noexcept {
            return MaxLoad<1, 2>::allows(count, slot_count);
        }
    };

    static std::size_t id_of(const Slot& slot) noexcept {
        return static_cast<std::size_t>(slot.id_plus_one) - 1;
    }

    // The bits that do not pick the slot, where size_t has them.
    static std::uint32_t tag_of(std::size_t hash) noexcept {
        if constexpr (sizeof(std::size_t) > sizeof(std::uint32_t)) {
            return static_cast<std::uint32_t>(static_cast<std::uint64_t>(hash) >> 32);
        } else {
            return static_cast<std::uint32_t>(hash);
        }
    }

    ProbeTable<SlotTraits> slots_{SlotTraits::min_slots};
    GrowthVector<std::string_view> texts_;
    GrowthVector<std::size_t> hashes_;  // by id, for growing without rehashing the texts
};

// One piece of rows [begin, end) and its distinct texts; the rows' local ids are in a shared array.
struct Piece {
    std::size_t begin = 0;
    std::size_t end = 0;
    GrowthVector<std::string_view> texts;
    std::size_t first_entry = 0;  // where its texts start in the flat list of all pieces' texts
    std::size_t longest = 0;      // bytes of its longest text
};

// A distinct text of some piece, ready for sorting. prefix holds the first eight bytes big-endian
// (zero-padded), so comparing prefixes as integers agrees with the byte order of the texts and
// most comparisons never read the texts themselves. The text is kept as its address and a size of
// type Size, 32 bits when every text of the column allows: with 32-bit ids an entry then takes 24
// bytes instead of 32, and the entries are the largest array of the numbering.
template <class Id, class Size>
struct Entry {
    std::uint64_t prefix;
    const char* data;
    Size size;
    Id flat;  // index in the flat list: piece's first_entry + local id

    std::string_view text() const noexcept { return std::string_view(data, size); }
};

template <class Id, class Size>
bool entry_less(const Entry<Id, Size>& a, const Entry<Id, Size>& b) noexcept {
    // Equal prefixes leave the order to the whole texts (zero padding cannot tell "ab" from
    // "ab\0"); string_view compares bytes as unsigned char.
    return a.prefix != b.prefix ? a.prefix < b.prefix : a.text() < b.text();
}

template <class Id, class Size>
bool same_text(const Entry<Id, Size>& a, const Entry<Id, Size>& b) noexcept {
    return a.prefix == b.prefix && a.size == b.size && same_bytes(a.data, b.data, a.size);
}

// At most 2^12 stretches of the forward map's index when placing its entries: 32 KiB of counts
// per run, and a stretch of a large index is still only a few KiB.
constexpr int max_stretch_bits = 12;

// A run of sorted entries with the number of distinct texts (groups) and of coded texts starting
// in it; after numbering, the counts are replaced by the totals before the run.
struct RankRange {
    std::size_t begin;
    std::size_t end;
    std::size_t groups;
    std::uint64_t coded;
    std::size_t bytes;  // of the texts starting in the run
};

// A distinct text's length and the stretch of the forward map's index that its hash places it in.
// The texts themselves lie in the map's store one after another in code order, markers among
// them, so its place gives its bytes and its code.
template <class Size>
struct Distinct {
    Size size;
    std::uint32_t stretch;  // below 2^max_stretch_bits
};

// Frees a vector's storage now: assigning {} would keep its capacity.
template <class T, class Allocator>
void release(std::vector<T, Allocator>& items) noexcept {
    std::vector<T, Allocator>().swap(items);
}

inline void prefetch(const void* address) noexcept { __builtin_prefetch(address); }

// A piece checks after this many rows, and again after each doubling, whether deduplication pays:
// when more than three rows in four were new texts, the table would mostly grow (a cache miss per
// row) without shrinking the sort, so the rest of the piece goes to the sort undeduplicated. The
// first check comes late enough that a column with tens of thousands of distinct texts, which
// deduplicates well in the end, has seen most of them by then.
constexpr std::size_t first_dedup_check = 65536;
// How often a piece looks whether another piece of the column already gave up deduplicating.
constexpr std::size_t dedup_glance = 4096;
// How often a long loop inside a task looks whether its operation was cancelled.
constexpr std::size_t cancel_glance = 16384;

// 1. Deduplicates each piece of rows on its own; ids[row] becomes the row's id within its piece.
// All pieces see the same mix of texts, so the first one that finds deduplication does not pay
// tells the others, which follow at their next glance.
// With Repeats::OnlyMarkers every piece skips deduplicating from the start.
template <class Id>
std::vector<Piece> deduplicate_pieces(std::span<const std::string_view> cells, Id* ids,
                                      Repeats repeats, pool::ThreadPool& pool) {
    const SeededHash dedup_hash;
    const bool dedup = repeats == Repeats::Possible;
    std::atomic<bool> skip_dedup{false};
    return pool.parallel_map_ranges<Piece>(cells.size(), [&](std::size_t begin, std::size_t end) {
        DistinctTable<Id> table;
        std::size_t row = begin;
        std::size_t check_at = first_dedup_check;
        for (; dedup && row < end; ++row) {
            const std::string_view text = cells[row];
            ids[row] = table.find_or_insert(text, dedup_hash(text));
            const std::size_t seen = row + 1 - begin;
            if (seen % dedup_glance != 0) continue;
            pool::throw_if_cancelled();
            // relaxed: only a hint between pieces; either way the result is the same.
            if (skip_dedup.load(std::memory_order_relaxed)) {
                ++row;
                break;
            }
            if (seen == check_at) {
                if (table.size() > seen / 4 * 3) {
                    // relaxed: a hint, as above.
                    skip_dedup.store(true, std::memory_order_relaxed);
                    ++row;
                    break;
                }
                check_at *= 2;
            }
        }
        if (row < end) table.stop_finding(end - row);
        for (; row < end; ++row) {
            if (row % cancel_glance == 0) pool::throw_if_cancelled();
            ids[row] = table.append(cells[row]);
        }
        std::size_t longest = 0;
        for (const std::string_view text : table.texts()) longest = std::max(longest, text.size());
        return Piece{begin, end, std::move(table.texts()), 0, longest};
    });
}

// 2. All pieces' distinct texts in one list, sorted; a text seen by several pieces appears once
// per piece. Sets each piece's first_entry and frees its texts.
template <class Id, class Size>
WorkVector<Entry<Id, Size>> sorted_entries(std::vector<Piece>& pieces, pool::ThreadPool& pool) {
    std::size_t entry_count = 0;
    for (Piece& piece : pieces) {
        piece.first_entry = entry_count;
        entry_count += piece.texts.size();
    }
    WorkVector<Entry<Id, Size>> entries(entry_count);
    pool.parallel_for(pieces.size(), [&](std::size_t p) {
        Piece& piece = pieces[p];
        for (std::size_t id = 0; id < piece.texts.size(); ++id) {
            const std::string_view text = piece.texts[id];
            entries[piece.first_entry + id] =
                Entry<Id, Size>{sort_prefix(text), text.data(), static_cast<Size>(text.size()),
                                static_cast<Id>(piece.first_entry + id)};
        }
        release(piece.texts);
    });
    const auto less = [](const Entry<Id, Size>& a, const Entry<Id, Size>& b) {
        return entry_less(a, b);
    };
    // Texts that come sorted (the categories of a column, in their own order) skip the sort; the
    // look stops at the first pair out of order, which unsorted texts show early.
    if (!std::is_sorted(entries.begin(), entries.end(), less)) {
        pool.parallel_sort(std::span<Entry<Id, Size>>(entries), less);
    }
    return entries;
}

// The outcome of numbering the sorted entries: each distinct text with its code and hash, the
// code of every entry, and for the forward map's index, how many of each run's texts belong in
// each stretch of slots.
template <class Size>
struct Ranked {
    std::vector<RankRange> runs;  // groups, coded and bytes: the totals before each run
    WorkVector<Distinct<Size>> distinct;
    std::shared_ptr<TextStore> texts;  // the distinct texts, in code order from text_block
    char* text_block = nullptr;
    WorkVector<double> entry_codes;  // by flat entry index
    WorkVector<std::size_t> placed;  // run-major: runs.size() x stretch_count
    std::size_t stretch_count = 0;
};

// 3. Codes by rank: equal neighbours form one distinct text; markers get no code. First each run
// of entries counts the texts starting in it and their bytes, then each run numbers its own and
// copies them into one block of the forward map's store, at the run's offset. The index of
// forward, the map to be filled, is cut into stretches of consecutive slots; each run counts how
// many of its texts belong in each stretch.
template <class Id, class Size>
Ranked<Size> rank_entries(const WorkVector<Entry<Id, Size>>& entries, const ForwardMap& forward,
                          pool::ThreadPool& pool) {
    const std::size_t entry_count = entries.size();
    Ranked<Size> ranked;
    WorkVector<unsigned char> starts(entry_count);
    ranked.runs =
        pool.parallel_map_ranges<RankRange>(entry_count, [&](std::size_t begin, std::size_t end) {
            RankRange run{begin, end, 0, 0, 0};
            for (std::size_t i = begin; i < end; ++i) {
                const bool start = i == 0 || !same_text(entries[i - 1], entries[i]);
                starts[i] = start;
                if (start) {
                    ++run.groups;
                    run.coded += !is_missing_marker(entries[i].text());
                    run.bytes += entries[i].size;
                }
            }
            return run;
        });
    std::vector<RankRange>& runs = ranked.runs;
    std::size_t distinct_count = 0;
    std::uint64_t coded_count = 0;
    std::size_t text_bytes = 0;
    for (RankRange& run : runs) {
        distinct_count += std::exchange(run.groups, distinct_count);
        coded_count += std::exchange(run.coded, coded_count);
        text_bytes += std::exchange(run.bytes, text_bytes);
    }
    ranked.texts = std::make_shared<TextStore>();
    ranked.text_block = ranked.texts->claim(text_bytes);
    std::size_t max_stretches = std::size_t{1} << max_stretch_bits;
    // No more counts than texts: a small column cut into many runs needs no stretches to speak of.
    while (max_stretches > 1 && runs.size() > distinct_count / max_stretches) max_stretches /= 2;
    const ForwardMap::StretchOrder order = forward.stretch_order(distinct_count, max_stretches);
    ranked.stretch_count = order.count();
    ranked.placed.assign(runs.size() * ranked.stretch_count, 0);
    ranked.distinct.resize(distinct_count);
    ranked.entry_codes.resize(entry_count);
    pool.parallel_for(runs.size(), [&](std::size_t r) {
        const RankRange& run = runs[r];
        std::size_t* const stretch_sizes = ranked.placed.data() + r * ranked.stretch_count;
        std::size_t group = run.groups;
        std::uint64_t code = run.coded;
        char* copy = ranked.text_block + run.bytes;
        double value = missing_code;
        if (!starts[run.begin]) {
            // The run starts inside a text's group: it continues the code of the run before.
            value = is_missing_marker(entries[run.begin].text()) ? missing_code
                                                                 : static_cast<double>(code - 1);
        }
        constexpr std::size_t ahead = 16;  // texts are scattered: overlap the cache misses
        for (std::size_t i = run.begin; i < run.end; ++i) {
            if (i % cancel_glance == 0) pool::throw_if_cancelled();
            if (i + ahead < run.end) prefetch(entries[i + ahead].data);
            const Entry<Id, Size>& entry = entries[i];
            if (starts[i]) {
                const std::string_view text = entry.text();
                const bool marker = is_missing_marker(text);
                const auto stretch = static_cast<std::uint32_t>(order.of(text));
                ++stretch_sizes[stretch];
                ranked.distinct[group++] = Distinct<Size>{entry.size, stretch};
                if (!text.empty()) std::memcpy(copy, text.data(), text.size());
                copy += text.size();
                value = marker ? missing_code : static_cast<double>(code++);
            }
            ranked.entry_codes[entry.flat] = value;
        }
    });
    return ranked;
}

// 4. The forward map's entries, made in parallel straight into the map's storage, ordered by
// stretch (a counting sort: stretch by stretch, each run's texts of the stretch in turn), so that
// the map iterates in the order of its own hasher, and an index, once a lookup builds one, fills
// one cached stretch after the other. The entries view the texts rank_entries stored. Frees the
// records of the distinct texts.
template <class Size>
void fill_forward_map(Ranked<Size>& ranked, ForwardMap& forward, pool::ThreadPool& pool) {
    const std::vector<RankRange>& runs = ranked.runs;
    const std::size_t distinct_count = ranked.distinct.size();
    std::size_t next_place = 0;
    for (std::size_t stretch = 0; stretch < ranked.stretch_count; ++stretch) {
        for (std::size_t r = 0; r < runs.size(); ++r) {
            next_place +=
                std::exchange(ranked.placed[r * ranked.stretch_count + stretch], next_place);
        }
    }
    std::vector<ForwardMap::value_type> map_entries(distinct_count);
    pool.parallel_for(runs.size(), [&](std::size_t r) {
        std::size_t* const places = ranked.placed.data() + r * ranked.stretch_count;
        const std::size_t begin = runs[r].groups;
        const std::size_t end = r + 1 < runs.size() ? runs[r + 1].groups : distinct_count;
        const WorkVector<Distinct<Size>>& distinct = ranked.distinct;
        const char* stored = ranked.text_block + runs[r].bytes;
        std::uint64_t next_code = runs[r].coded;
        for (std::size_t g = begin; g < end; ++g) {
            if (g % cancel_glance == 0) pool::throw_if_cancelled();
            const std::size_t place = places[distinct[g].stretch]++;
            auto& [text, code] = map_entries[place];
            text = std::string_view(stored, distinct[g].size);
            stored += distinct[g].size;
            if (!is_missing_marker(text)) code = next_code++;
        }
    });
    release(ranked.distinct);
    // Forward maps are kept and pickled but rarely looked into: the index waits for a lookup.
    forward.assign_distinct_unindexed(std::move(map_entries), std::move(ranked.texts));
}

// 5. Every row's code, through its piece's entry.
template <class Id>
void write_row_codes(const std::vector<Piece>& pieces, const Id* ids,
                     const WorkVector<double>& entry_codes, std::size_t rows, double* out,
                     std::size_t stride, pool::ThreadPool& pool) {
    pool.parallel_for_ranges(rows, [&](std::size_t begin, std::size_t end) {
        auto piece =
            std::upper_bound(pieces.begin(), pieces.end(), begin,
                             [](std::size_t row, const Piece& p) { return row < p.begin; });
        --piece;
        for (std::size_t row = begin; row < end; ++row) {
            if (row >= piece->end) ++piece;
            out[row * stride] = entry_codes[piece->first_entry + ids[row]];
        }
    });
}

template <class Id, class Size>
ForwardMap number_column(std::vector<Piece>& pieces, WorkVector<Id>& ids, double* out,
                         std::size_t stride, pool::ThreadPool& pool);

template <class Id>
ForwardMap encode_column(std::span<const std::string_view> cells, double* out, std::size_t stride,
                         Repeats repeats, pool::ThreadPool& pool,
                         const std::function<void()>& cells_read) {
    WorkVector<Id> ids(cells.size());
    std::vector<Piece> pieces = deduplicate_pieces<Id>(cells, ids.data(), repeats, pool);
    if (cells_read) cells_read();
    std::size_t longest = 0;
    for (const Piece& piece : pieces) longest = std::max(longest, piece.longest);
    if (longest <= std::numeric_limits<std::uint32_t>::max()) {
        return number_column<Id, std::uint32_t>(pieces, ids, out, stride, pool);
    }
    return number_column<Id, std::size_t>(pieces, ids, out, stride, pool);
}

// Steps 2 to 5 for a column deduplicated into pieces, its texts' sizes held as Size.
template <class Id, class Size>
ForwardMap number_column(std::vector<Piece>& pieces, WorkVector<Id>& ids, double* out,
                         std::size_t stride, pool::ThreadPool& pool) {
    const std::size_t rows = ids.size();
    WorkVector<Entry<Id, Size>> entries = sorted_entries<Id, Size>(pieces, pool);
    ForwardMap forward;
    Ranked<Size> ranked = rank_entries(entries, forward, pool);
    release(entries);
    // The rows' codes first, so that what only they need is gone before the map is filled.
    write_row_codes<Id>(pieces, ids.data(), ranked.entry_codes, rows, out, stride, pool);
    release(ranked.entry_codes);
    release(pieces);
    release(ids);
    fill_forward_map(ranked, forward, pool);
    return forward;
}

// Below this many entries an inverse map is built on the calling task alone.
constexpr std::size_t parallel_inverse_min = std::size_t{1} << 14;

}  // namespace

ForwardMap label_encode_into(std::span<const std::string_view> cells, double* out,
                             std::size_t stride, pool::ThreadPool& pool,
                             const std::function<void()>& cells_read, Repeats repeats) {
    ForwardMap forward;
    if (cells.empty()) return forward;
    // The phases run as nested work of one job, so the workers pass straight from one phase to
    // the next instead of being handed and woken for each.
    pool.run_inside([&] {
        if constexpr (sizeof(std::size_t) > sizeof(std::uint32_t)) {
            if (cells.size() > std::numeric_limits<std::uint32_t>::max()) {
                forward =
                    encode_column<std::uint64_t>(cells, out, stride, repeats, pool, cells_read);
                return;
            }
        }
        forward = encode_column<std::uint32_t>(cells, out, stride, repeats, pool, cells_read);
    });
    return forward;
}

LabelEncoding label_encode(std::span<const std::string_view> cells, pool::ThreadPool& pool,
                           Repeats repeats) {
    LabelEncoding result;
    result.codes.resize(cells.size());
    result.forward_map = label_encode_into(cells, result.codes.data(), 1, pool, {}, repeats);
    return result;
}

InverseMap build_inverse_map(const ForwardMap& forward, pool::ThreadPool& pool) {
    if (forward.size() < parallel_inverse_min) return invert_forward_map(forward);
    const std::optional<std::size_t> coded = positional_code_count(forward);
    if (!coded) return invert_forward_map(forward);
    // Each code names its own entry, so the views of the forward map's texts are placed in
    // parallel straight into place; the texts themselves stay where they are, shared.
    std::vector<InverseMap::value_type> entries(*coded);
    pool.parallel_for_ranges(forward.size(), [&](std::size_t begin, std::size_t end) {
        const auto first = forward.begin();
        constexpr std::size_t ahead = 16;  // codes are scattered: overlap the cache misses
        for (std::size_t i = begin; i < end; ++i) {
            if (i + ahead < end) {
                const auto& later = first[static_cast<std::ptrdiff_t>(i + ahead)].second;
                if (later) __builtin_prefetch(&entries[static_cast<std::size_t>(*later)], 1);
            }
            const auto& [text, code] = first[static_cast<std::ptrdiff_t>(i)];
            if (code) entries[static_cast<std::size_t>(*code)] = {*code, text};
        }
    });
    InverseMap inverse;
    inverse.assign_distinct(std::move(entries), forward.texts());
    return inverse;
}

}  // namespace vexilo

// When sharing entries among equal cells of a column pays, and when it stops paying: the adaptive
// policy of a scan that finds a column's entries first by cell object, then by text. It only
// counts and decides; the scan keeps the indexes and lets them go when told. Interpreter-free.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vexilo {

// One column's policy. A scan starts finding entries by object and by text; the policy may stop
// either for good, or pause the lookups by text while it watches whether they would pay again.
// Not thread-safe; one per column.
class DedupPolicy {
public:
    bool by_object() const noexcept { return by_object_; }
    bool by_text() const noexcept { return by_text_; }
    // While paused, new objects' texts are not looked up (the index still numbers every entry).
    bool texts_paused() const noexcept { return texts_paused_; }

    // Called after an object was added to the index by object, which then holds `objects`
    // objects for `entries` entries. Returns false when the index by object stops paying: the
    // objects of a column far outnumber its texts (equal texts in separate objects, as parsers and
    // astype(object) make them). The caller then frees it.
    bool keep_objects(std::size_t objects, std::size_t entries) noexcept {
        if (objects >= object_check_size && objects > 2 * entries) by_object_ = false;
        return by_object_;
    }

    // A lookup by text found an entry made before.
    void text_found() noexcept { ++text_hits_; }

    // A lookup by text made a new entry. Looking texts up pauses when new objects nearly always
    // bring new texts too (equal texts share their objects, as after most loads).
    void text_new() {
        if (by_object_ && by_text_ && ++text_misses_ >= text_check_size &&
            text_hits_ * text_hit_share < text_misses_) {
            texts_paused_ = true;
            recent_hashes_.assign(recent_texts, 0);
            paused_misses_ = paused_repeats_ = 0;
        }
    }

    // A new object's text, of hash text_hash, while lookups pause: the hashes of recent texts are
    // kept in a small table, and the lookups resume once, over a window of that many new
    // objects, one in text_hit_share repeats a recent text (some parsers share an object per text
    // only within a block of rows).
    void paused_text(std::uint64_t text_hash) {
        std::uint64_t& recent =
            recent_hashes_[static_cast<std::size_t>(text_hash) & (recent_texts - 1)];
        if (recent == text_hash) ++paused_repeats_;
        recent = text_hash;
        if (++paused_misses_ != recent_texts) return;
        if (paused_repeats_ * text_hit_share >= paused_misses_) {
            texts_paused_ = false;
            recent_hashes_ = std::vector<std::uint64_t>();
            text_hits_ = text_misses_ = 0;
        }
        paused_misses_ = paused_repeats_ = 0;
    }

    // Called after a new entry, the column holding `entries` of them after `rows` rows. Returns
    // false when neither index pays any more (nearly every cell has a text of its own): the caller
    // then frees both, and every later cell gets an entry of its own.
    bool keep_indexes(std::size_t entries, std::size_t rows) noexcept {
        if ((by_object_ || by_text_) && entries >= dedup_check_size && entries * 4 > rows * 3) {
            by_object_ = by_text_ = false;
        }
        return by_object_ || by_text_;
    }

private:
    // Deduplication stops paying when nearly every cell has a text of its own: checked once a
    // column holds this many entries.
    static constexpr std::size_t dedup_check_size = std::size_t{1} << 18;
    // The index by object is checked once it holds this many objects.
    static constexpr std::size_t object_check_size = std::size_t{1} << 12;
    // Lookups by text are checked after this many new texts; they pause when fewer than one in
    // text_hit_share finds a text. While paused, a window of recent_texts new objects decides.
    static constexpr std::size_t text_check_size = std::size_t{1} << 15;
    static constexpr std::size_t text_hit_share = 64;
    static constexpr std::size_t recent_texts = std::size_t{1} << 12;

    bool by_object_ = true;
    bool by_text_ = true;
    // Texts of new objects looked up while the index by object is kept: found, and new.
    std::size_t text_hits_ = 0;
    std::size_t text_misses_ = 0;
    bool texts_paused_ = false;
    std::vector<std::uint64_t> recent_hashes_;  // by their low bits
    std::size_t paused_misses_ = 0;
    std::size_t paused_repeats_ = 0;
};

}  // namespace vexilo

// Sorted lists of distinct texts: what a piece of a table reports about a column's texts, how
// such reports merge, and the learned state built from the merged lists. Interpreter-free.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/encode_table.h"
#include "engine/encoding_info.h"
#include "pool/pool.h"

namespace vexilo {

// Distinct texts in ascending byte-wise order, laid end to end: text i is
// bytes[ends[i - 1], ends[i]), the first one starting at 0.
struct TextList {
    std::string bytes;
    std::vector<std::uint64_t> ends;
};

// A text list kept elsewhere: its bytes, and its end offsets as count 64-bit unsigned integers in
// the machine's order at ends (any alignment). The memory must outlive the view.
class TextListView {
public:
    TextListView(std::string_view bytes, const char* ends, std::size_t count) noexcept
        : bytes_(bytes), ends_(ends), count_(count) {}
    explicit TextListView(const TextList& list) noexcept
        : TextListView(list.bytes, reinterpret_cast<const char*>(list.ends.data()),
                       list.ends.size()) {}

    std::size_t size() const noexcept { return count_; }

    // True when the offsets never decrease and the last one (0 for none) is the byte count.
    bool well_formed() const noexcept;

    // Text i; the view must be well_formed() and i < size().
    std::string_view operator[](std::size_t i) const noexcept;

private:
    std::uint64_t end(std::size_t i) const noexcept;

    std::string_view bytes_;
    const char* ends_;
    std::size_t count_;
};

// The distinct texts among texts, sorted byte-wise. Sorts on pool, from any thread, the caller
// blocking until done; throws std::bad_alloc.
TextList sorted_distinct_texts(std::span<const std::string_view> texts,
                               pool::ThreadPool& pool = pool::global_pool());

// The sorted_distinct_texts of each column's texts for which requested (indexed by the column's
// col) is true, in parallel on pool; an empty list for the others. From any thread, the caller
// blocking until done; throws std::bad_alloc.
std::vector<TextList> column_text_lists(std::span<const CollectedColumn> columns,
                                        const std::vector<bool>& requested,
                                        pool::ThreadPool& pool = pool::global_pool());

// The distinct texts of sorted, well-formed lists, sorted: their union, by rounds of pairwise
// merges on pool, from any thread, the caller blocking until done. Throws std::bad_alloc.
TextList merge_text_lists(std::span<const TextListView> lists,
                          pool::ThreadPool& pool = pool::global_pool());

// The learned state of a table whose categorical columns hold, over all rows, exactly the given
// texts: for each (column, texts) in ascending column order, the forward and inverse maps that
// encoding such a column gives (codes by byte-wise rank of the texts that are no missing-value
// marker, markers without a code). The texts need not be sorted or distinct. Runs on pool, from
// any thread; throws std::bad_alloc and the InternalFailure of a pool that cannot start.
EncodingInfo encoding_from_texts(
    std::span<const std::pair<ColumnIndex, std::vector<std::string_view>>> columns,
    pool::ThreadPool& pool = pool::global_pool());

}  // namespace vexilo

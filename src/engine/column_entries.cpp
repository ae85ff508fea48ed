// Entries of text columns read from memory: missing cells as the table's values give them, Arrow
// texts deduplicated by their bytes, category codes mapped through a table of occurring
// categories.
#include "engine/column_entries.h"

#include <algorithm>
#include <limits>
#include <optional>
#include <string_view>
#include <type_traits>
#include <vector>

#include "engine/label_encode.h"  // is_missing_marker
#include "engine/text_index.h"
#include "engine/unaligned_load.h"
#include "engine/utf8.h"

namespace vexilo {
namespace {

// Rows read into local buffers at a time.
constexpr std::size_t block_rows = 256;
// How many cells ahead an index slot is prefetched.
constexpr std::size_t prefetch_distance = 16;

// The entries of one text column and the writing of its rows. Missing cells get entries of their
// own, made when first needed, so that entries are made in the order of the first row they cover:
// a column with an entry per row then has entry i at row i, as encode_table expects.
class EntryWriter {
public:
    // index, when given, numbers the texts of the column: the entries of missing cells are added
    // to it too (under a kind of their own), so that its numbers are the entries' indices.
    // The entries are distinct texts (the texts of missing cells apart), which their numbering
    // is told.
    // check_utf8: the texts come from memory that may break UTF-8's rules (Arrow buffers), so
    // each one an entry is made for is checked.
    EntryWriter(MissingCell missing, const ColumnTarget& target, TextIndex* index,
                bool check_utf8) noexcept
        : missing_(missing),
          target_(target),
          index_(index),
          seen_text_(target.cells.categorical()),
          check_utf8_(check_utf8) {
        target_.cells.mark_texts_distinct();
    }

    // An entry for a text viewed in the column's memory; returns its index. With an index, the
    // caller has added the text to it (after text_at(row)).
    std::size_t add_view(std::size_t row, std::string_view text) {
        text_at(row);
        // Noted rather than returned, so that the lookup loops stay free of error paths; the
        // collection fails at its end.
        if (check_utf8_ && invalid_row_ == none && !is_valid_utf8(text)) invalid_row_ = row;
        target_.cells.add_view(text);
        return count_++;
    }

    // The collection's outcome: the first row whose text is not UTF-8 fails it.
    Outcome outcome() const {
        if (invalid_row_ == none) return Unit{};
        Error error = make_error(ErrorKind::invalid_text, "a text is not valid UTF-8");
        error.row = invalid_row_;
        return error;
    }

    // Called before the entry of the first text (at row) is made.
    void text_at(std::size_t row) {
        if (seen_text_) return;
        seen_text_ = true;
        if (leading_missing_ == 0) return;
        // The missing cells before the first text were numbers when it came: they read as the
        // rendered NaN. All of them lie before row.
        target_.cells.make_categorical_after(leading_missing_);
        const std::size_t entry = add_text("NaN");
        for (std::size_t before = 0; before < row; ++before) write(before, entry);
    }

    bool seen_text() const noexcept { return seen_text_; }
    const ColumnTarget& target() const noexcept { return target_; }

    void write(std::size_t row, std::size_t entry) noexcept {
        target_.first[row * target_.stride] = static_cast<double>(entry);
    }

    // A missing cell at row.
    void missing(std::size_t row) {
        if (missing_ == MissingCell::NotAvailable) {
            if (not_available_ == none) {
                text_at(row);
                not_available_ = add_text("<NA>");
            }
            return write(row, not_available_);
        }
        if (!seen_text_) {
            // Numeric so far: a NaN now, rewritten should a text come.
            target_.first[row * target_.stride] = std::numeric_limits<double>::quiet_NaN();
            ++leading_missing_;
            return;
        }
        if (later_nan_ == none) later_nan_ = add_text("nan");
        write(row, later_nan_);
    }

private:
    // The kind under which the texts of missing cells are numbered in the index.
    static constexpr unsigned missing_kind = 1;

    std::size_t add_text(std::string_view text) {
        if (index_) index_->find_or_add(text, missing_kind);
        target_.cells.add_text(text);
        return count_++;
    }

    static constexpr std::size_t none = std::numeric_limits<std::size_t>::max();

    MissingCell missing_;
    const ColumnTarget& target_;
    TextIndex* index_;
    std::size_t count_ = 0;
    std::size_t leading_missing_ = 0;
    bool seen_text_ = false;
    bool check_utf8_ = false;
    std::size_t invalid_row_ = none;
    // The entries of missing cells, once made.
    std::size_t not_available_ = none;
    std::size_t later_nan_ = none;
};

// The error of a category code at row that names no category.
Error stray_code(std::size_t row) {
    Error error = make_error(ErrorKind::stray_code, "a category code names no category");
    error.row = row;
    return error;
}

// Index: the type that holds an entry number (the narrowest that fits keeps the table of
// occurring categories in the cache).
template <class Code, class Index>
Outcome collect_codes(const ColumnMemory& codes, std::size_t rows,
                      std::span<const std::string_view> categories, EntryWriter& writer) {
    constexpr Index unassigned = std::numeric_limits<Index>::max();
    std::vector<Index> entries(categories.size(), unassigned);
    for (std::size_t row = 0; row < rows; ++row) {
        const Code code = load_unaligned<Code>(codes.cell(row));
        if (code == -1) {
            writer.missing(row);
            continue;
        }
        if (code < 0 || static_cast<std::uint64_t>(code) >= categories.size()) {
            return stray_code(row);
        }
        Index& entry = entries[static_cast<std::size_t>(code)];
        if (entry == unassigned) {
            const auto index = static_cast<std::size_t>(code);
            entry = static_cast<Index>(writer.add_view(row, categories[index]));
        }
        writer.write(row, entry);
    }
    return Unit{};
}

template <class Code>
Outcome collect_codes(const ColumnMemory& codes, std::size_t rows,
                      std::span<const std::string_view> categories, EntryWriter& writer) {
    // Entries are at most the categories and the two texts of missing cells.
    if (categories.size() < std::numeric_limits<std::uint32_t>::max() - 2) {
        return collect_codes<Code, std::uint32_t>(codes, rows, categories, writer);
    }
    return collect_codes<Code, std::size_t>(codes, rows, categories, writer);
}

// Looks up a block of count texts, hashed beforehand, and writes their rows' entries: the
// prefetches of the slots run ahead of the lookups. absent[i]: row first_row + i is missing.
void find_block(std::size_t first_row, std::size_t count, const std::string_view* views,
                const TextIndex::Head* heads, const std::uint64_t* hashes, const bool* absent,
                TextIndex& index, EntryWriter& writer) {
    // Kept in locals: stores through the output pointer could otherwise be taken to change them.
    double* const out = writer.target().first + first_row * writer.target().stride;
    const std::size_t stride = writer.target().stride;
    for (std::size_t i = 0; i < count && i < prefetch_distance; ++i) index.prefetch(hashes[i]);
    for (std::size_t i = 0; i < count; ++i) {
        if (i + prefetch_distance < count) index.prefetch(hashes[i + prefetch_distance]);
        if (absent[i]) {
            writer.missing(first_row + i);
            continue;
        }
        if (!writer.seen_text()) writer.text_at(first_row + i);
        const auto [entry, added] = index.find_or_add_hashed(views[i], heads[i], hashes[i]);
        if (added) writer.add_view(first_row + i, views[i]);
        // Entry numbers stay below 2^32: a signed conversion needs no check of the top bit.
        out[i * stride] = static_cast<double>(static_cast<std::int64_t>(entry));
    }
}

// Rows [begin, end) of any text column, through the column's reader.
void collect_read_texts(const arrow::ArrowColumn& column, std::size_t begin, std::size_t end,
                        TextIndex& index, EntryWriter& writer) {
    std::string_view views[block_rows];
    bool absent[block_rows];
    TextIndex::Head heads[block_rows];
    std::uint64_t hashes[block_rows];
    for (std::size_t first = begin; first < end; first += block_rows) {
        const std::size_t count = std::min(block_rows, end - first);
        column.read_texts(first, first + count, views, absent);
        for (std::size_t i = 0; i < count; ++i) {
            heads[i] = TextIndex::head(views[i]);  // a missing cell's view is empty
            hashes[i] = index.hash(heads[i], views[i]);
        }
        find_block(first, count, views, heads, hashes, absent, index, writer);
    }
}

// A chunk of UTF-8 strings or large strings with its data buffer, read straight from its offsets.
// Every text but those in the last 16 bytes of the chunk's data has its head read as two whole
// words (the bytes after it belong to later texts). A missing cell is hashed like the others
// (its offsets are checked, its bytes readable) but never looked up.
template <class Offset>
void collect_offset_texts(const arrow::ArrowColumn::Chunk& chunk, TextIndex& index,
                          EntryWriter& writer) {
    const arrow::ArrowColumn::Cells& cells = chunk.cells;
    const char* const offsets =
        static_cast<const char*>(cells.values) + cells.offset * sizeof(Offset);
    const auto offset_at = [&](std::size_t i) {
        return static_cast<std::size_t>(load_unaligned<Offset>(offsets + i * sizeof(Offset)));
    };
    const std::size_t data_end = offset_at(cells.length);
    const std::uint8_t* const validity = cells.validity;
    std::string_view views[block_rows];
    bool absent[block_rows] = {};
    TextIndex::Head heads[block_rows];
    std::uint64_t hashes[block_rows];
    for (std::size_t first = 0; first < cells.length; first += block_rows) {
        const std::size_t count = std::min(block_rows, cells.length - first);
        std::size_t start = offset_at(first);
        for (std::size_t i = 0; i < count; ++i) {
            const std::size_t end = offset_at(first + i + 1);
            views[i] = std::string_view(cells.data + start, end - start);
            heads[i] = start + 16 <= data_end ? TextIndex::head_readable(views[i])
                                              : TextIndex::head(views[i]);
            hashes[i] = index.hash(heads[i], views[i]);
            start = end;
        }
        if (validity != nullptr) {
            for (std::size_t i = 0; i < count; ++i) {
                const std::size_t at = cells.offset + first + i;
                absent[i] = ((validity[at >> 3] >> (at & 7)) & 1u) == 0;
            }
        }
        find_block(chunk.first_row + first, count, views, heads, hashes, absent, index, writer);
    }
}

constexpr std::size_t unmet = std::numeric_limits<std::size_t>::max();

// The entries of one dictionary's values, kept from chunk to chunk while the chunks share it.
struct DictionaryEntries {
    const void* values = nullptr;
    const char* data = nullptr;
    std::size_t offset = 0;
    std::size_t length = 0;
    std::vector<const char*> view_data;
    std::vector<std::size_t> entries;  // by position in the dictionary; unmet until a row names it

    bool holds(const arrow::ArrowColumn::Cells& dictionary) const noexcept {
        return values == dictionary.values && data == dictionary.data &&
               offset == dictionary.offset && length == dictionary.length &&
               view_data == dictionary.view_data && !entries.empty();
    }
};

// Whether a dictionary chunk is read through a table of its dictionary's entries: not when the
// dictionary is new and far larger than the chunk (a dictionary shared by many small chunks, say,
// that each chunk would set up again).
bool reads_through_table(const arrow::ArrowColumn::Chunk& chunk,
                         const DictionaryEntries& last) noexcept {
    return last.holds(chunk.values) || chunk.values.length <= 4 * chunk.cells.length + 1024;
}

// A dictionary chunk: each dictionary value that a row names is looked up once, when first met,
// and every row takes its value's entry through a table.
void collect_dictionary_texts(const arrow::ArrowColumn::Chunk& chunk, DictionaryEntries& table,
                              TextIndex& index, EntryWriter& writer) {
    if (!table.holds(chunk.values)) {
        table.values = chunk.values.values;
        table.data = chunk.values.data;
        table.offset = chunk.values.offset;
        table.length = chunk.values.length;
        table.view_data = chunk.values.view_data;
        table.entries.assign(chunk.values.length, unmet);
    }
    std::vector<std::size_t>& value_entries = table.entries;
    double* const out = writer.target().first;
    const std::size_t stride = writer.target().stride;
    std::int64_t positions[block_rows];
    for (std::size_t first = 0; first < chunk.cells.length; first += block_rows) {
        const std::size_t count = std::min(block_rows, chunk.cells.length - first);
        arrow::ArrowColumn::read_dictionary_positions(chunk, first, first + count, positions);
        for (std::size_t i = 0; i < count; ++i) {
            const std::size_t row = chunk.first_row + first + i;
            if (positions[i] < 0) {
                writer.missing(row);
                continue;
            }
            std::size_t& entry = value_entries[static_cast<std::size_t>(positions[i])];
            if (entry == unmet) {
                const std::string_view text = arrow::ArrowColumn::dictionary_text(
                    chunk, static_cast<std::size_t>(positions[i]));
                if (!writer.seen_text()) writer.text_at(row);
                const auto [found, added] = index.find_or_add(text);
                if (added) writer.add_view(row, text);
                entry = found;
            }
            out[row * stride] = static_cast<double>(static_cast<std::int64_t>(entry));
        }
    }
}

// True when texts are in strictly ascending byte order and none is a missing-value marker: the
// order in which their numbering gives codes.
bool ascending_texts(std::span<const std::string_view> texts) noexcept {
    for (std::size_t i = 0; i < texts.size(); ++i) {
        if (is_missing_marker(texts[i]) || (i > 0 && !(texts[i - 1] < texts[i]))) return false;
    }
    return true;
}

enum class InOrder { done, stray_code, not_done };

// collect_category_codes for categories in the order their numbering gives (ascending_texts):
// the occurring categories become entries in category order, then the entries of missing cells,
// so that each text's entry is its code and the table's entry indices need no rewriting. Two
// passes over the codes: which categories occur (and where missing cells lie), then the rows.
// NotDone, having written nothing, when the first-met order must be kept: for a column without
// any text, or with an entry per row (which encode_table reads as the rows' own, in row order).
template <class Code, class Index>
InOrder collect_in_category_order(const ColumnMemory& codes, std::size_t rows,
                                  std::span<const std::string_view> categories, MissingCell missing,
                                  const ColumnTarget& target, std::size_t& stray_row) {
    const auto code_at = [&](std::size_t row) { return load_unaligned<Code>(codes.cell(row)); };
    constexpr Index absent = std::numeric_limits<Index>::max();
    std::vector<Index> entries(categories.size(), absent);
    std::size_t first_text_row = rows;
    bool missing_before = false;  // a missing cell before the first text, and after it
    bool missing_after = false;
    for (std::size_t row = 0; row < rows; ++row) {
        const Code code = code_at(row);
        if (code == -1) {
            (first_text_row == rows ? missing_before : missing_after) = true;
            continue;
        }
        if (code < 0 || static_cast<std::uint64_t>(code) >= categories.size()) {
            stray_row = row;
            return InOrder::stray_code;
        }
        if (first_text_row == rows) first_text_row = row;
        entries[static_cast<std::size_t>(code)] = 0;
    }
    if (target.cells.categorical()) {
        // The column turned before these rows: every missing cell reads as one after a text.
        missing_after = missing_after || missing_before;
        missing_before = false;
        first_text_row = 0;
    }
    std::size_t count = 0;
    for (Index& entry : entries) {
        if (entry != absent) entry = static_cast<Index>(count++);
    }
    const bool not_available = missing == MissingCell::NotAvailable;
    const std::size_t missing_entries =
        not_available ? (missing_before || missing_after) : missing_before + missing_after;
    if (count == 0 || count + missing_entries == rows) return InOrder::not_done;

    ColumnCells& cells = target.cells;
    // Float NaN cells before the first text were numbers until it came (pandas' NA is none).
    if (missing_before && !not_available) cells.make_categorical_after(first_text_row);
    for (std::size_t c = 0; c < categories.size(); ++c) {
        if (entries[c] != absent) cells.add_view(categories[c]);
    }
    // Missing cells before the first text were numbers when it came: they read as the rendered
    // NaN; those after it as str() of a NaN. pandas' NA reads "<NA>" wherever it lies.
    double before = 0;
    double after = 0;
    if (not_available) {
        if (missing_before || missing_after) {
            cells.add_text("<NA>");
            before = after = static_cast<double>(count);
        }
    } else {
        std::size_t next = count;
        if (missing_before) {
            cells.add_text("NaN");
            before = static_cast<double>(next++);
        }
        if (missing_after) {
            cells.add_text("nan");
            after = static_cast<double>(next);
        }
    }
    cells.mark_texts_distinct();
    for (std::size_t row = 0; row < rows; ++row) {
        const Code code = code_at(row);
        target.first[row * target.stride] =
            code == -1 ? (row < first_text_row ? before : after)
                       : static_cast<double>(entries[static_cast<std::size_t>(code)]);
    }
    return InOrder::done;
}

template <class Code>
InOrder collect_in_category_order(const ColumnMemory& codes, std::size_t rows,
                                  std::span<const std::string_view> categories, MissingCell missing,
                                  const ColumnTarget& target, std::size_t& stray_row) {
    if (categories.size() < std::numeric_limits<std::uint32_t>::max() - 2) {
        return collect_in_category_order<Code, std::uint32_t>(codes, rows, categories, missing,
                                                              target, stray_row);
    }
    return collect_in_category_order<Code, std::size_t>(codes, rows, categories, missing, target,
                                                        stray_row);
}

}  // namespace

Outcome collect_arrow_texts(const arrow::ArrowColumn& column, MissingCell missing,
                            const ColumnTarget& target) {
    TextIndex index;
    EntryWriter writer(missing, target, &index, true);
    DictionaryEntries dictionary;
    for (const arrow::ArrowColumn::Chunk& chunk : column.chunks()) {
        const arrow::ArrowColumn::Cells& cells = chunk.cells;
        const bool plain = !chunk.dictionary && cells.data != nullptr;
        if (plain && cells.storage == StorageKind::text_offsets) {
            collect_offset_texts<std::int32_t>(chunk, index, writer);
        } else if (plain && cells.storage == StorageKind::text_large_offsets) {
            collect_offset_texts<std::int64_t>(chunk, index, writer);
        } else if (chunk.dictionary && reads_through_table(chunk, dictionary)) {
            collect_dictionary_texts(chunk, dictionary, index, writer);
        } else {
            collect_read_texts(column, chunk.first_row, chunk.first_row + cells.length, index,
                               writer);
        }
    }
    return writer.outcome();
}

Outcome collect_category_codes(const ColumnMemory& codes, std::size_t rows,
                               std::span<const std::string_view> categories, MissingCell missing,
                               const ColumnTarget& target) {
    std::optional<Outcome> outcome;
    // pandas' codes are signed integers of one to eight bytes.
    visit_integer(codes.kind, [&]<StorageKind K>(Storage<K>) {
        using Code = element_of<K>;
        if constexpr (std::is_signed_v<Code>) {
            if (ascending_texts(categories)) {
                std::size_t stray_row = 0;
                const InOrder done = collect_in_category_order<Code>(codes, rows, categories,
                                                                     missing, target, stray_row);
                if (done == InOrder::done) {
                    outcome.emplace(Unit{});
                    return;
                }
                if (done == InOrder::stray_code) {
                    outcome.emplace(stray_code(stray_row));
                    return;
                }
            }
            EntryWriter writer(missing, target, nullptr, false);
            outcome.emplace(collect_codes<Code>(codes, rows, categories, writer));
        }
    });
    if (!outcome) return make_error(ErrorKind::unsupported, "category codes of no signed kind");
    return std::move(*outcome);
}

}  // namespace vexilo

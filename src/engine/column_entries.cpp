// Entries of Arrow text columns: missing cells as the table's values give them, texts deduplicated
// by their bytes (offset chunks read straight from their offsets, dictionaries through a table of
// their values). Interpreter-free.
#include "engine/column_entries.h"

#include <algorithm>
#include <limits>
#include <string_view>
#include <vector>

#include "engine/entry_writer.h"
#include "engine/text_index.h"
#include "engine/unaligned_load.h"

namespace vexilo {
namespace {

using detail::EntryWriter;

// Rows read into local buffers at a time.
constexpr std::size_t block_rows = 256;
// How many cells ahead an index slot is prefetched.
constexpr std::size_t prefetch_distance = 16;

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

}  // namespace vexilo

// Columns a reader planned to read from memory that holds no interpreter object (NumPy numbers,
// Arrow arrays, category codes), as plain data, and their reading on the worker pool: the step a
// frame reader hands to the engine once its plans are made. Interpreter-free.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>
#include <vector>

#include "engine/arrow_column.h"
#include "engine/category_codes.h"
#include "engine/column_entries.h"
#include "engine/encode_table.h"
#include "engine/expected.h"
#include "engine/storage_kind.h"
#include "engine/table.h"
#include "pool/pool.h"

namespace vexilo {

// How one column is read, and from what. The memory it points to belongs to the reader, which
// keeps it valid and unchanged until the collected columns are released.
struct PlannedColumn {
    enum class Reader : unsigned char {
        numbers,        // memory: one number element a row; mask, when set: missing cells
        arrow_numbers,  // arrow: a column of numbers, missing cells as NaN
        arrow_texts,    // arrow: a column of texts, missing cells as `missing` says
        category,       // memory: integer codes into categories, -1 for a missing cell
    };
    Reader reader = Reader::numbers;
    ColumnIndex col = 0;  // its column in the table
    ColumnMemory memory;
    // numbers: one bool byte a row, nonzero for a missing cell, which reads as NaN (pandas'
    // nullable numbers keep their missing cells so); first null: none is missing.
    ColumnMemory mask{nullptr, 0, StorageKind::bool_bytes};
    const arrow::ArrowColumn* arrow = nullptr;
    MissingCell missing = MissingCell::NotANumber;
    std::span<const std::string_view> categories;
    // The column turned categorical before the first row (a piece of a larger table): its
    // missing cells then read as ones after a text.
    bool turned_before = false;

    // True for the readers whose cells are texts.
    bool reads_texts() const noexcept {
        return reader == Reader::arrow_texts || reader == Reader::category;
    }
};

// Reads every planned column into its column of table (rows rows, any layout): numbers are
// written into the table, texts as in collect_arrow_texts and collect_category_codes. Returns
// the columns that are categorical, in ascending order of col, or the error of the lowest
// failing column (its column set): invalid_text, stray_code. Each thread of pool takes the next
// column as it gets free, text columns first: one text column can cost many times another (its
// texts' count and length decide), so fixed shares of the columns would leave threads idle, and
// the cheap columns of numbers fill the gaps at the end. Runs on pool from any thread; fails by
// std::bad_alloc or the pool's failures.
Expected<std::vector<CollectedColumn>> read_planned_columns(
    std::span<const PlannedColumn> plans, Table& table,
    pool::ThreadPool& pool = pool::global_pool());

// Opens each chunks[i] (ArrowColumn::open), in parallel on pool: one outcome per chunks, in order.
// Throws std::bad_alloc or the pool's failures. Any thread.
std::vector<Expected<arrow::ArrowColumn>> open_arrow_columns(
    std::span<const arrow::ArrowChunks* const> chunks,
    pool::ThreadPool& pool = pool::global_pool());

// The columns of a and b, which hold different columns each in ascending order of col, in one
// list in ascending order of col.
std::vector<CollectedColumn> merge_columns(std::vector<CollectedColumn> a,
                                           std::vector<CollectedColumn> b);

}  // namespace vexilo

// Text columns read from memory that holds no interpreter object (Arrow arrays here, category codes
// in category_codes.h) into the entries encode_table takes: each distinct text one entry, each row
// the index of its entry. Missing cells read as a table's values would give them. Interpreter-free.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "engine/arrow_column.h"
#include "engine/column_cells.h"
#include "engine/expected.h"
#include "engine/storage_kind.h"

namespace vexilo {

// What a missing text cell is in the table's values, which decides how it reads.
enum class MissingCell {
    // A float NaN: a number, so a column stays numeric while only missing cells came; once a text
    // comes, the missing cells before it read "NaN" (a collected number rendered) and those after
    // it "nan" (str() of a NaN). Both are missing-value markers. A column of missing cells only
    // is a numeric column of NaN.
    NotANumber,
    // pandas' NA: no number, so the first cell turns the column categorical; it reads "<NA>".
    NotAvailable,
};

// Where a column's cells go: the column of the output table starting at first, rows stride
// elements apart, and the column's entries.
struct ColumnTarget {
    double* first;
    std::size_t stride;
    ColumnCells& cells;
};

// Reads the text column `column` (cell_type() Text) into target: a categorical column gets an
// entry per distinct text (viewed in the column's memory, which must outlive the entries) and per
// kind of missing cell, in the order first met, and every row the index of its entry as a double;
// a NotANumber column without any text writes NaN to every row and stays numeric. A target whose
// cells are categorical already (a column that turned before these rows) reads every missing cell
// as one after the first text. Each distinct text is checked to be UTF-8 once: the first that is
// not fails the call (ErrorKind::invalid_text, its row; target is then unspecified). Throws
// std::bad_alloc. Any thread; target belongs to the caller.
Outcome collect_arrow_texts(const arrow::ArrowColumn& column, MissingCell missing,
                            const ColumnTarget& target);

}  // namespace vexilo

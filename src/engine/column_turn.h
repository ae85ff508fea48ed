// Where a column of one piece of a larger table (a partition of a table split by rows) turns
// categorical, when the whole table decides it rather than the piece. Interpreter-free.
#pragma once

#include <cstdint>
#include <span>

#include "engine/encode_table.h"
#include "engine/table.h"

namespace vexilo {

// Where a column turns categorical, relative to the rows of the piece that is read. A column's
// numbers before its first text read as their rendered texts (format_double), those after it as
// str() of their cells; across pieces, only the whole table knows where its first text lies.
enum class ColumnTurn : std::uint8_t {
    // At the piece's own first cell that is not a number, if it has one.
    Natural,
    // Before the piece's first row: every cell reads as text, numbers as str() of their cells.
    Before,
    // After the piece's last row: the column is categorical, and each of its numbers reads as
    // its rendered text.
    After,
};

// Makes every column of input whose turn is After, and that was collected as numbers (in the
// table), categorical with the rendered texts of its numbers: each distinct number (by its bits)
// becomes an entry, and the table's cells of the column become entry indices. The new columns
// join input.categorical in column order, finish()ed. turns holds one turn per column of table,
// or nothing (nothing changes then). Any thread; throws std::bad_alloc.
void turn_after_last_row(CollectedTable& input, Table& table, std::span<const ColumnTurn> turns);

}  // namespace vexilo

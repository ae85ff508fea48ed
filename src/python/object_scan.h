// One pass over a table whose cells can all be read without running Python code: object cells
// that are exact str, float, int or bool objects, None or pandas' NA, and typed numbers. Equal cell
// objects of a categorical column share one text entry, so a column of a few distinct objects
// costs a pointer lookup per cell; equal texts in separate str objects share one by their text.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "engine/column_turn.h"
#include "engine/encode_table.h"
#include "engine/table.h"
#include "python/cell_rule.h"
#include "python/scan_source.h"

namespace vexilo::py {

// Reads the rows x source.column_count() cells into their columns of table (rows rows, any memory
// order, those columns not yet written) as encode_table reads them: a numeric column writes its
// numbers into the table; a categorical column keeps its distinct entries (finished: texts() lists
// them) and writes, for every row, the index of the row's entry as a double. Returns the
// categorical columns, by their table column, ascending; nothing is kept for the numeric ones.
// Reads in blocks of rows across all columns when rows lie close together in memory. Every cell
// is what the cell rule (cell_rule.h) makes of it, so the numbers and texts are those of the
// cell-by-cell reading in column order. Text entries of str cells are views into the objects,
// which pins holds, as it holds every object the scan tells apart by address. Pending signal
// handlers run every few thousand cells: the exception of one ends the scan. When a cell needs
// Python code or its text cannot be made, or a handler changed an array, returns nothing, having
// written nothing to pins and left no exception set: the caller then reads the table cell by
// cell, which reports the cause in column order. turns, one per column of source or none, may
// turn a column categorical before its first row (ColumnTurn::Before: every cell read as text);
// the scan returns nothing for such a column of typed numbers, whose cells' texts it cannot make.
// Other turns are left to the caller. A cell that missing_numbers marks as a missing number of its
// table column reads as a float NaN while the column is numeric; the scan returns nothing for one
// after the column turned. Calling thread, interpreter held.
Result<std::optional<std::vector<CollectedColumn>>> scan_columns(
    const ScanSource& source, std::size_t rows, Table& table, const MissingScalar& missing,
    Pins& pins, std::span<const ColumnTurn> turns = {},
    const MissingNumbers& missing_numbers = MissingNumbers{});

}  // namespace vexilo::py

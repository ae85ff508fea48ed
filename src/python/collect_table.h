// Reading a caller's table into the columns the engine's table-level steps take: a pandas frame
// column by column from its memory, an array (or a frame's values) in one scan of its memory, or
// any other table cell by cell.
#pragma once

#include <span>
#include <vector>

#include "engine/arrow_column.h"
#include "engine/arrow_render.h"
#include "engine/column_turn.h"
#include "engine/encode_table.h"
#include "engine/table.h"
#include "python/cell_rule.h"
#include "python/output_kind.h"
#include "python/py_err.h"

namespace vexilo::py {

// A table's cells as the engine's table-level steps take them, with the output table they write.
struct Collection {
    // First, so that they go last: the columns view texts in the Arrow memory arrow holds (its
    // structures released on the calling thread, with the collection) and in the str objects
    // pins holds.
    std::vector<arrow::ArrowChunks> arrow;
    std::vector<arrow::RenderedColumn> rendered;  // texts of Arrow dates, times, ..., decimals
    Pins pins;
    Table table;
    CollectedTable columns;
};

// Reads obj (borrowed), whose kind of result out says (an array or a frame, with its column
// labels for messages): its shape (a pair of non-negative integers), then every cell on the
// calling thread. A pandas frame whose columns pandas keeps in arrays read from memory is read
// column by column (collect_frame_columns); a table in memory whose cells run no Python code (an
// exact NumPy array, or a frame's values) is read in one pass of row blocks into an output made
// first; any other table is read cell by cell, column by column, and the output is made only once
// every cell was read, so a false shape fails at its first missing cell. Pending signal handlers
// run every few thousand cells read. Returns the collected columns (only the categorical ones as
// columns), the output table and what keeps the columns' texts valid, or: an interrupt (a
// BaseException that is not an Exception) raised by the table's code, or any exception of a
// signal handler, unchanged; MemoryError for a table that cannot be addressed; a ValueError for a
// frame whose values do not have its shape (it changed while it was read) and for a frame column
// whose memory breaks its format. Unreadable shape, values or cells, and a failing str(), are
// stops thrown as InternalFailure. turns, one per column or none (each column then turns at its
// own first text), places a column's turn before its first row or after its last (ColumnTurn):
// the columns come as they would from a larger table of which obj is a piece; a count other than
// the table's columns is a ValueError. Calling thread, interpreter held. A missing cell of a
// pandas frame's nullable or Arrow number column reads as a float NaN by every route (the frame's
// values give it as pandas' NA).
Result<Collection> collect_table(PyObject* obj, const OutputKind& out,
                                 std::span<const ColumnTurn> turns = {});

}  // namespace vexilo::py

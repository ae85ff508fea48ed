// Encoding of a general table, cell by cell: columns classified as numeric or categorical, then
// encoded in parallel on the worker pool.
#pragma once

#include <span>
#include <vector>

#include "engine/arrow_column.h"
#include "engine/column_turn.h"
#include "engine/encode_table.h"
#include "engine/encoding_info.h"
#include "engine/table.h"
#include "python/cell_source.h"
#include "python/py_err.h"

namespace vexilo::py {

// A table's cells as the engine's table-level steps take them, with the output table they write.
struct CollectedObjectArray {
    // First, so that they go last: the columns view texts in the Arrow memory arrow holds (its
    // structures released on the calling thread, with the collection) and in the str objects
    // pins holds.
    std::vector<arrow::ArrowChunks> arrow;
    Pins pins;
    Table table;
    CollectedTable columns;
};

// Reads obj (borrowed), an array or, when is_dataframe, a frame: its shape (a pair of
// non-negative integers), then every cell on the calling thread. A pandas frame whose columns
// pandas keeps in arrays read from memory is read column by column (collect_frame_columns); a
// table in memory whose cells run no Python code (an exact NumPy array, or a frame's values) is
// read in one pass of row blocks into an output made first (the entry-index form); any other
// table is read cell by cell, column by column, and the output is made only once every cell was
// read, so a false shape fails at its first missing cell. Pending signal handlers run every few
// thousand cells read. Returns the collected columns (only the categorical ones as columns), the
// output table and the pins that keep the columns' texts valid, or: an interrupt (a BaseException
// that is not an Exception) raised by the table's code, or any exception of a signal handler,
// unchanged; MemoryError for a table that cannot be addressed. Unreadable shape, values or cells,
// and a failing str(), are stops thrown as InternalFailure. turns, one per column or none (each
// column then turns at its own first text), places a column's turn before its first row or after
// its last (ColumnTurn): the columns come as they would from a larger table of which obj is a
// piece; a count other than the table's columns is a ValueError. Calling thread, interpreter
// held.
Result<CollectedObjectArray> collect_object_array(PyObject* obj, bool is_dataframe,
                                                  std::span<const ColumnTurn> turns = {});

struct ObjectArrayEncoding {
    Table table;  // row-major; column-major for a frame read column by column
    EncodingInfo encoding_info;
};

// Encodes obj (borrowed), an array or, when is_dataframe, a frame: collect_object_array, then
// encode_table on the worker pool while the caller waits with the interpreter held, running
// pending signal handlers every pool poll interval; a handler's exception cancels the work.
// Returns the table and a complete EncodingInfo (categorical columns ascending), or the failures
// of collect_object_array, or any exception of a signal handler, unchanged. Nothing is kept on any
// failure. Calling thread, interpreter held.
Result<ObjectArrayEncoding> encode_object_array(PyObject* obj, bool is_dataframe);

}  // namespace vexilo::py

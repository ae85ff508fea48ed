// Reading a pandas DataFrame column by column from the memory pandas keeps each column in: NumPy
// arrays, texts in Arrow or Python storage, categories, and nullable numbers.
#pragma once

#include <cstddef>
#include <optional>
#include <span>

#include "engine/column_turn.h"
#include "python/collect_table.h"
#include "python/output_kind.h"
#include "python/py_err.h"

namespace vexilo::py {

// Collects frame (borrowed), a table whose type is named DataFrame with rows > 0 and cols > 0,
// straight from its columns' memory when it is a pandas DataFrame of exactly that type and every
// column is of a kind read that way (plan_frame). The columns come as encode_table takes them,
// with the cells and texts that reading the frame's values gives, cell for cell; the collection
// holds the Arrow memory and str objects they view. Returns nothing when the frame must be read
// through its values instead, having kept nothing; an interrupt raised by pandas' or the Arrow
// producer's code is returned, as is MemoryError for a table that cannot be addressed, and a
// ValueError naming the column (labelled as out says) for Arrow memory that breaks its format or
// a text that is not UTF-8 (nothing is learned then). Runs pandas' code only before any memory is
// read, and pending signal handlers every few thousand object cells read and while the pool
// reads: a handler's exception is returned, and a handler that changed an array makes it return
// nothing. Only the categorical columns are kept as columns. turns, one per column or none, may
// turn columns categorical before the first row (ColumnTurn::Before); a column of numbers in
// memory, whose cells' texts are not at hand, then sends the frame to its values. Other turns
// are left to the caller. Calling thread, interpreter held (destroy the collection there too);
// the columns are read partly on the worker pool.
Result<std::optional<Collection>> collect_frame_columns(PyObject* frame, std::size_t rows,
                                                        std::size_t cols, const OutputKind& out,
                                                        std::span<const ColumnTurn> turns = {});

}  // namespace vexilo::py

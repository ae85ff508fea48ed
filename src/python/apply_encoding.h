// Applying a learned encoding to the caller's table (Encoder.transform): the table read as
// read_table reads it, its columns coded by the engine's transform_table.
#pragma once

#include <cstddef>
#include <optional>
#include <span>

#include "engine/column_turn.h"
#include "engine/encoding_info.h"
#include "engine/transform_table.h"
#include "python/py_err.h"
#include "python/read_table.h"

namespace vexilo::py {

// The codes of obj (borrowed; neither modified nor kept) under info (borrowed, only read): the
// output kind and the table of doubles, as a Conversion without an EncodingInfo. The cells are
// read exactly as read_table reads them (the float64 fast path, the scan, cell by cell), then
// coded on the worker pool while the caller waits with the interpreter held. Returns the errors of
// read_table's reading, and a ValueError naming the column (and for a frame its label) when info
// lists a column the table lacks, when a column info has as numbers holds a text (its row and
// text), and under UnknownPolicy::Kind::Error for a column's first unseen text (its row and the
// number of unseen cells of the column). learned_columns, the column count of the table info was
// learned from where known, tells a text in a column at or beyond it apart: that ValueError says
// the table has more columns than the encoding. Internal failures are thrown as InternalFailure.
// turns, one per column or none, reads obj as a piece of a larger table, as collect_table
// does. Calling thread, interpreter held.
Result<Conversion> apply_encoding(PyObject* obj, const EncodingInfo& info, UnknownPolicy unknown,
                                  std::optional<std::size_t> learned_columns,
                                  std::span<const ColumnTurn> turns = {});

}  // namespace vexilo::py

// One table given in pieces (its rows split in order, as a distributed frame's partitions): what
// each piece's columns hold, merging the pieces' reports, the learned state made from them, and
// the codes of a piece under that state. Texts travel as sorted text lists: a tuple of two bytes
// objects (the texts end to end, their 64-bit end offsets).
#pragma once

#include "python/py_err.h"

namespace vexilo::py {

// Per column of table: None for a column of numbers, else (first_text_row, texts), texts being
// the column's distinct texts as a sorted text list, or None for a column not in columns (a
// sequence of column indices; None: all). turns (borrowed, may be null or None): per column None,
// 0 or the piece's row count (see transform_table_piece). Fails as collect_table does, and with a
// TypeError or ValueError for malformed turns or columns. Calling thread, interpreter held.
Result<PyRef> table_texts(PyObject* table, PyObject* turns, PyObject* columns);

// The sorted union of a sequence of sorted text lists. A ValueError names a malformed list.
Result<PyRef> merge_texts(PyObject* lists);

// A new Encoder whose state is what encode learns from a table whose categorical columns (the
// keys of texts, a dict from column index to text list) hold exactly the texts of their lists;
// columns (borrowed, may be null or None), the table's column count where known.
Result<PyRef> encoder_from_texts(PyObject* texts, PyObject* columns);

// encoder.transform(table, unknown=unknown), table being a piece of a larger table: per column,
// turns holds None (the column turns at the piece's first text), 0 (it turned before the piece:
// every cell reads as text) or the piece's row count (it turns after the piece: its numbers read
// as rendered texts).
Result<PyRef> transform_table_piece(PyObject* encoder, PyObject* table, PyObject* turns,
                                    PyObject* unknown);

}  // namespace vexilo::py

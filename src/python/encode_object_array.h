// Encoding of a general table, cell by cell: columns classified as numeric or categorical, then
// encoded in parallel on the worker pool.
#pragma once

#include "python/encoding_info.h"
#include "python/py_err.h"
#include "python/table.h"

namespace vexilo::py {

struct ObjectArrayEncoding {
    Table table;  // row-major
    EncodingInfo encoding_info;
};

// Encodes obj (borrowed), an array or, when is_dataframe, a frame whose cells are read through its
// values. Reads shape (a pair of non-negative integers), then every cell, column by column, on the
// calling thread; only then allocates the rows x cols output and encodes the columns on the worker
// pool while the caller waits with the interpreter held. Returns the row-major table and a complete
// EncodingInfo (categorical columns ascending), or: an interrupt (a BaseException that is not an
// Exception) raised by the table's code, unchanged; MemoryError for a table that cannot be
// addressed. Unreadable shape, values or cells, and a failing str(), are stops thrown as
// InternalFailure. Nothing is kept on any failure. Calling thread, interpreter held.
Result<ObjectArrayEncoding> encode_object_array(PyObject* obj, bool is_dataframe);

}  // namespace vexilo::py

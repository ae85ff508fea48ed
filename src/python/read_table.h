// Input conversion: the caller's NumPy array or pandas DataFrame becomes a table of doubles, its
// output kind and, unless it took the float fast path, a freshly learned encoding.
#pragma once

#include <optional>

#include "engine/encoding_info.h"
#include "engine/table.h"
#include "python/output_kind.h"
#include "python/py_err.h"

namespace vexilo::py {

struct Conversion {
    OutputKind out;
    Table table;
    std::optional<EncodingInfo> encoding_info;  // absent exactly after the float fast path
};

// Converts obj (borrowed; neither modified nor kept). Returns the conversion or the Python error
// to raise; internal failures are thrown as InternalFailure. Calling thread, interpreter held.
Result<Conversion> read_table(PyObject* obj, StringEncoding string_encoding);

// The first steps of read_table, for the readers that share them: the kind of result obj (borrowed)
// asks for, by its type's name, with a frame's column names. An unsupported type prints its name
// on standard output and is a TypeError; the errors of reading a frame's labels are returned.
// Calling thread, interpreter held.
Result<OutputKind> output_kind_of(PyObject* obj);

// A copy of obj (borrowed) when it is a 2-D float64 NumPy array, else nothing. Contiguous memory
// is copied as one block in its own order; any other layout element by element. MemoryError for
// a table that cannot be addressed. Calling thread, interpreter held.
Result<std::optional<Table>> copy_float_array(PyObject* obj);

}  // namespace vexilo::py

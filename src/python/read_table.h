// Input conversion: the caller's NumPy array or pandas DataFrame becomes a table of doubles, its
// output kind and, unless it took the float fast path, a freshly learned encoding.
#pragma once

#include <optional>
#include <span>

#include "engine/encoding_info.h"
#include "engine/table.h"
#include "python/arrow_input.h"
#include "python/collect_table.h"
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

// What a table is, read off it before its cells: its kind of result and, for a table read through
// the Arrow stream interface, the stream it gave (taken whole on the calling thread).
struct TableInput {
    OutputKind out;
    std::optional<ArrowInput> arrow;
};

// The input obj (borrowed) is: a NumPy array, a pandas object or a Dask one as output_kind_of
// takes it; a polars LazyFrame a TypeError saying to collect it; anything else that gives an
// Arrow stream of a table (take_arrow_input) an Arrow table; everything else as output_kind_of
// takes it. Fails as those do. Calling thread, interpreter held.
Result<TableInput> table_input(PyObject* obj);

// The cells of input, read from obj (borrowed) as collect_table or collect_arrow_table reads
// them. Fails as they do. Calling thread, interpreter held.
Result<Collection> collect_input(PyObject* obj, TableInput& input,
                                 std::span<const ColumnTurn> turns = {});

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

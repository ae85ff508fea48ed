// Output construction for the Arrow table kinds: a polars DataFrame or a pyarrow Table made by the
// library's own import of an Arrow C stream over vexilo's buffers.
#pragma once

#include "engine/encoding_info.h"
#include "engine/table.h"
#include "python/output_kind.h"
#include "python/py_err.h"

namespace vexilo::py {

// The Arrow stream exporter type: a private type whose objects hand their stream out once through
// __arrow_c_stream__(requested_schema=None), as a PyCapsule named "arrow_array_stream" (the
// capsule releases a stream that no consumer took); a second call is a RuntimeError, and
// requested_schema is left to the consumer to check. Created on the first call and reused for the
// life of the process. Returns a borrowed reference, or nullptr with an exception set. Needs the
// interpreter.
PyObject* arrow_stream_type() noexcept;

// A new polars DataFrame (out.kind PolarsFrame, text as string views) or pyarrow Table (ArrowTable,
// text as large strings) of table, which it takes over, its columns named out.column_names: every
// column that info (borrowed; may be null) lists holds the labels of its codes, null for NaN, for
// codes at or below -1 and for codes without a label; the others are float64 columns, NaN kept,
// whose values are the table's own buffer where its columns are contiguous. Built on the worker
// pool, pending signal handlers running while it waits, then handed to polars.DataFrame or
// pyarrow.table through an exporter (arrow_stream_type). Returns a new reference or the Python
// error: the listed-column errors of listed_maps, a handler's exception, an ImportError when
// pyarrow (or polars) cannot be imported, a ValueError for a label too long for a string view,
// or the library's own failure. out's names must number table's columns (else InternalFailure).
// With as_category, every listed column is instead a dictionary column of int32 indices over
// the column's labels in ascending code order (null where the label would be): a polars Enum
// column of those labels, or a pyarrow dictionary of large strings.
// Calling thread, interpreter held.
Result<PyRef> arrow_result(Table table, const OutputKind& out, const EncodingInfo* info,
                           bool as_category = false);

}  // namespace vexilo::py

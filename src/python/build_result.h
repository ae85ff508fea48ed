// Output construction: the NumPy array, pandas DataFrame, polars DataFrame or pyarrow Table handed
// back by encode and decode, with the categorical columns decoded back into their labels when a
// learned state is given.
#pragma once

#include "engine/encoding_info.h"
#include "engine/table.h"
#include "python/output_kind.h"
#include "python/py_err.h"

namespace vexilo::py {

// The TypeError of decode(..., as_category=True) for a table whose result is a NumPy array.
PyErr as_category_needs_a_table();

// Builds a new result of out's kind from table, which it takes over (its buffer may become the
// result's memory). Without encoding_info: a float64 array (float_array), or a float64 DataFrame
// with out's column names and the default index. With encoding_info (borrowed; may be null) every
// column it lists is decoded: an NdArray result becomes an object array (decoded_array); a
// DataFrame result gets object columns of str labels in their place (result_frame). The Arrow
// kinds become a polars DataFrame or pyarrow Table whose listed columns hold text (arrow_result).
// Returns a new reference or the Python error (everything made so far released; a ValueError for
// a listed column beyond a table with rows). A listed column without an inverse map is an
// InternalFailure. With as_category, the listed columns of the table kinds become category
// columns instead (result_frame, arrow_result), and an NdArray result is a TypeError (an array
// has no category kind). Calling thread, interpreter held.
Result<PyRef> build_result(Table table, OutputKind out, const EncodingInfo* encoding_info,
                           bool as_category = false);

}  // namespace vexilo::py

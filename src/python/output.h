// Output construction: the NumPy array or pandas DataFrame handed back by encode and decode, with
// the categorical columns decoded back into their labels when a learned state is given.
#pragma once

#include "engine/encoding_info.h"
#include "engine/table.h"
#include "python/output_kind.h"
#include "python/py_err.h"

namespace vexilo::py {

// Builds a new result of out's kind from table, which it takes over (its buffer may become the
// result's memory). Without encoding_info: a float64 array, or a float64 DataFrame with out's
// column names and the default index. With encoding_info (borrowed; may be null) every column it
// lists is decoded: an NdArray result becomes an object array of Python floats with str labels
// ("NaN" for NaN and for codes without a label) in the listed columns; a DataFrame result gets
// object columns of str labels (None for NaN and unknown codes) in their place.
// Returns a new reference or the Python error (everything made so far released). A listed column
// without an inverse map or beyond the table is an InternalFailure. Calling thread, interpreter
// held.
Result<PyRef> arr_to_out(Table table, OutputKind out, const EncodingInfo* encoding_info);

// A new 2-D float64 array holding table's values, keeping its row- or column-major order. Takes
// the buffer over without copying when the table is contiguous. Calling thread, interpreter held.
Result<PyRef> float_array(Table table);

}  // namespace vexilo::py

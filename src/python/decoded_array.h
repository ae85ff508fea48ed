// The NdArray result of decoding with a learned state: an object array of Python floats and str
// labels.
#pragma once

#include "engine/encoding_info.h"
#include "engine/table.h"
#include "python/py_err.h"

namespace vexilo::py {

// An object array of Python floats whose columns listed in info hold str labels ("NaN" for NaN,
// for codes at or below -1 and for codes without a label), in the memory order of the table's
// float copy (column-major only for a column-major table that is not also row-major). Takes table
// over: a contiguous table is decoded in place where a pointer is as wide as a double. Pending
// signal handlers run every few thousand cells. Returns a new reference or the Python error (a
// handler's exception included, everything made so far released; a ValueError for a listed column
// beyond a table with rows); a listed column without an inverse map is an InternalFailure. Calling
// thread, interpreter held.
Result<PyRef> decoded_array(Table table, const EncodingInfo& info);

}  // namespace vexilo::py

// Output construction: the NumPy array or pandas DataFrame handed back by encode and decode.
#pragma once

#include "python/encoding_info.h"
#include "python/py_err.h"
#include "python/table.h"

namespace vexilo::py {

// Builds a new result of out's kind from table (borrowed, read only). With encoding_info
// (borrowed; may be null) the listed categorical columns are decoded into their texts. Returns a
// new reference or the Python error; internal failures are thrown as InternalFailure. Calling
// thread, interpreter held.
Result<PyRef> arr_to_out(const Table& table, OUT out, const EncodingInfo* encoding_info);

}  // namespace vexilo::py

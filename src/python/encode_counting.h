// Encoding a table and counting, in the same call, how many cells carry each code.
#pragma once

#include "python/py_err.h"

namespace vexilo::py {

// (encoder, codes, categorical, counts) for table (borrowed): a new Encoder holding what
// Encoder().encode(table) learns, the codes as a float64 array whatever the table's kind, the
// ascending list of categorical columns (empty for a float64 array, whose encoder then knows
// only that no column is categorical), and a dict from each categorical column to an int64
// array of how many of its cells carry each code, by code (missing cells are not counted). The
// counting runs on the pool over the codes written. Fails as encode does. Calling thread,
// interpreter held.
Result<PyRef> encode_counting(PyObject* table);

}  // namespace vexilo::py

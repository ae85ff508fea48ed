// The float64 array result: a table's values handed back without a copy where its layout allows.
#pragma once

#include "engine/table.h"
#include "python/py_err.h"

namespace vexilo::py {

// A new 2-D float64 array holding table's values, keeping its row- or column-major order. Takes
// the buffer over without copying when the table is contiguous. Calling thread, interpreter held.
Result<PyRef> float_array(Table table);

}  // namespace vexilo::py

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

}  // namespace vexilo::py

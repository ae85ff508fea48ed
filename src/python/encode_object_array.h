// Encoding of a general table, cell by cell: columns classified as numeric or categorical, then
// encoded in parallel on the worker pool.
#pragma once

#include "python/encoding_info.h"
#include "python/py_err.h"
#include "python/table.h"

namespace vexilo::py {

struct ObjectArrayEncoding {
    Table table;  // row-major
    EncodingInfo encoding_info;
};

// Encodes obj (borrowed), an array or, when is_dataframe, a frame read through its values.
// Stops (unreadable shape, values or cells; a failing str()) are thrown as InternalFailure.
// Calling thread, interpreter held; the pool runs while the caller waits.
Result<ObjectArrayEncoding> encode_object_array(PyObject* obj, bool is_dataframe);

}  // namespace vexilo::py

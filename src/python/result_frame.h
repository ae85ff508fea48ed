// The DataFrame result of encode and decode.
#pragma once

#include <string>
#include <vector>

#include "engine/encoding_info.h"
#include "engine/table.h"
#include "python/py_err.h"

namespace vexilo::py {

// A DataFrame of float64 columns named names, with pandas' default index, from table, which it
// takes over (a column-major table without info becomes the frame's memory); with info (borrowed;
// may be null), every column it lists replaced by an object column of str labels (None for NaN,
// for codes at or below -1 and for codes without a label). Columns are placed by position, so
// repeated names stay apart. Pending signal handlers run every few thousand labels. Returns a new
// reference or the Python error (a handler's exception included; a ValueError for a listed column
// beyond a table with rows); a listed column without an inverse map, or beyond the names of a
// table without rows, is an InternalFailure. With as_category, the listed columns are category
// columns instead (set_category_columns). Calling thread, interpreter held.
Result<PyRef> result_frame(Table table, const std::vector<std::string>& names,
                           const EncodingInfo* info, bool as_category = false);

// As result_frame with info and as_category, for a table it only reads (its memory may be
// another object's): the number columns copied into the frame's float block, the listed columns
// category columns (set_category_columns). Fails as result_frame does.
Result<PyRef> category_frame(const Table& table, const std::vector<std::string>& names,
                             const EncodingInfo& info);

}  // namespace vexilo::py

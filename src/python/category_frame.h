// The category columns of a decoded DataFrame: one pandas Categorical per listed column, its codes
// worked out on the worker pool.
#pragma once

#include <optional>
#include <vector>

#include "engine/encoding_info.h"
#include "engine/table.h"
#include "python/label_column.h"  // ListedMap
#include "python/py_err.h"

namespace vexilo::py {

// Puts a category column in place of each listed column of df (maps[i].col, by position), made
// with pandas.Categorical.from_codes: its categories are the column's labels in ascending code
// order (a str each, as pandas infers their dtype from a list of str: its default string dtype
// under pandas 3, object before), its codes each cell's category position (category_positions,
// -1 for missing) in the width pandas picks for that many categories, so that pandas keeps them
// without a copy. pandas (borrowed) is the module, df (borrowed) the frame. Runs the positions on
// the worker pool, pending signal handlers running while it waits. Returns the Python error (a
// handler's exception included) with df's columns partly replaced. Calling thread, interpreter
// held.
Status set_category_columns(const PyRef& pandas, const PyRef& df, const Table& table,
                            const std::vector<ListedMap>& maps);

// Refuses listed columns whose labels are not distinct (a restored state may give one text to
// several codes), which no categorical kind can hold: a ValueError naming the first such column
// and its repeated label. Calling thread, interpreter held.
Status check_distinct_categories(const std::vector<ListedMap>& maps);

// decode(obj, as_category=True) of a pandas DataFrame (exactly that type) whose columns are all
// NumPy float64, read where pandas keeps them instead of copied into a table: the frame's values
// as one float64 array (a view of its block where pandas has one) give every cell's code, and
// the result is category_frame's, as the general route gives it. From pandas 3, where
// copy-on-write is always on, the result's number columns are the frame's own instead of copies,
// shared until either frame writes them (the result is otherwise the same). Nothing (no work) for
// any other obj, or a frame without rows or columns; those take the general route. Returns a new
// reference or the Python error: the column-name errors of output_kind_of, those of
// category_frame. Calling thread, interpreter held.
Result<std::optional<PyRef>> float_frame_categories(PyObject* obj, const EncodingInfo& info);

}  // namespace vexilo::py

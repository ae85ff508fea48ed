// The category columns of a decoded DataFrame: one pandas Categorical per listed column, its codes
// worked out on the worker pool.
#pragma once

#include <vector>

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

}  // namespace vexilo::py

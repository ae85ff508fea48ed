// How each column of a pandas frame is read, planned from pandas' own arrays before any memory is
// read: objects by the scan on the calling thread, everything else by the engine as plain-data
// plans (PlannedColumn). The plan keeps every object and Arrow structure the reading points into.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "engine/arrow_column.h"
#include "engine/column_plan.h"
#include "engine/column_turn.h"
#include "python/cell_rule.h"
#include "python/output_kind.h"
#include "python/pandas_arrays.h"
#include "python/py_err.h"

namespace vexilo::py {

// One column's plan: read by the scan (objects), or by the engine (planned).
struct FrameColumn {
    bool objects = true;
    ColumnMemory memory;               // objects: where the cells lie
    PyRef memory_array;                // objects: the NumPy array they lie in
    PlannedColumn planned;             // the engine's reading; its arrow pointer is set once opened
    std::optional<std::size_t> arrow;  // an Arrow column: its chunks in FramePlan::arrow
    std::optional<MissingCell> missing;  // Arrow texts: how the frame's values give a missing cell
    std::vector<std::string_view> categories;  // a category's texts, which planned views
};

// The plan of a whole frame. Destroy it on the calling thread: it releases Python references and
// Arrow structures.
struct FramePlan {
    std::vector<PyRef> arrays;               // every array whose memory is read
    std::vector<arrow::ArrowChunks> arrow;   // Arrow memory of columns and categories
    std::vector<arrow::ArrowColumn> opened;  // the Arrow columns, by FrameColumn::arrow
    Pins pins;                               // str objects whose texts categories view
    std::vector<FrameColumn> columns;        // one per column of the frame
};

// Plans every column of frame (rows x cols, rows > 0), a frame of pandas' type: each must be a
// NumPy array of numbers or plain objects; a str or string array in Arrow or Python storage; an
// Arrow array of strings or numbers; a category of str categories; or a nullable number array.
// Opens the Arrow columns (on the pool) and picks their readers by what reading the frame's values
// would give, where a missing cell of a column of typed numbers (nullable or Arrow) is a float
// NaN (Pandas::holds_typed_numbers). Returns nothing when a column must be read through the
// frame's values instead (the plan dropped), or a ValueError naming the column for Arrow memory
// that breaks its format (a dictionary index out of range, say), or an interrupt raised by
// pandas' or the producer's code. Runs pandas' code: call it before any memory is read. Calling
// thread, interpreter held.
Maybe<FramePlan> plan_frame(PyObject* frame, std::size_t rows, std::size_t cols,
                            const Pandas& pandas, const OutputKind& out);

}  // namespace vexilo::py

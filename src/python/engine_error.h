// The one place where an engine error becomes a Python exception: its type and the text the caller
// reads, naming the column (for a frame, also its label) and the row where the error lies.
#pragma once

#include <cstddef>
#include <optional>

#include "engine/expected.h"
#include "python/output_kind.h"
#include "python/py_err.h"

namespace vexilo::py {

// The exception for error, a ValueError of every kind: the text error.message describes for state
// bytes; for errors in a table's cells a sentence naming the column (labelled as out labels it,
// when out is a frame's) and the row. If making the message fails, that failure is returned
// instead. Calling thread, interpreter held.
PyErr to_python_error(const Error& error, const OutputKind& out);

// How messages name column col of a table of kind out: "column 2", or with the table's column
// name "column 2 ('colour')". Fails only as building a str fails. Calling thread, interpreter
// held.
Result<std::string> column_label(std::size_t col, const OutputKind& out);

// As to_python_error, for an error of transform_table on a table of table_columns columns:
// learned_columns, the column count of the table the state was learned from where known, tells a
// text in a column at or beyond it apart, whose message says the table has more columns than the
// encoding.
PyErr transform_error(const Error& error, const OutputKind& out, std::size_t table_columns,
                      std::optional<std::size_t> learned_columns);

// As to_python_error, for errors that name no column of a table (state bytes).
PyErr to_python_error(const Error& error);

// Unwraps an engine Expected inside a routine that returns a Result: yields the value, or returns
// to_python_error of the error, its columns labelled as out says.
#define VX_TRY_ENGINE(expr, out)                                                        \
    ({                                                                                  \
        auto vx_engine_result_ = (expr);                                                \
        if (!vx_engine_result_) return to_python_error(vx_engine_result_.error(), out); \
        std::move(vx_engine_result_).value();                                           \
    })

}  // namespace vexilo::py

// Tables read through the Arrow stream interface (a polars DataFrame, a pyarrow Table or
// RecordBatch, a DuckDB relation, any producer of __arrow_c_stream__ with a struct schema): the
// stream taken from the producer, and its columns collected for the engine.
#pragma once

#include <optional>
#include <span>
#include <string>

#include "engine/arrow_render.h"
#include "engine/arrow_stream.h"
#include "engine/column_turn.h"
#include "python/collect_table.h"
#include "python/output_kind.h"
#include "python/py_err.h"

namespace vexilo::py {

// The whole stream of obj (borrowed) when obj offers __arrow_c_stream__ and the stream is one of
// a table (a struct schema), with the result kind it asks for: a polars DataFrame for a type of
// polars' modules, a pyarrow Table for any other producer. Nothing when obj has no such method,
// or its stream is not one of a table (the stream released). Fails with the exception the
// producer's method raises; a TypeError for a method that returns anything but a live
// "arrow_array_stream" capsule; a RuntimeError (or KeyboardInterrupt) for a stream whose callbacks
// fail (producer_failure), having released everything taken; a ValueError for a stream that holds
// more rows than obj's length says. The producer's callbacks run here, on the calling thread,
// and the stream is released before returning. Calling thread, interpreter held; destroy the
// chunks there too.
struct ArrowInput {
    OutputKind out;
    arrow::ArrowChunks table;
    // Whose conversion to Python the texts of dates, times, ..., decimals follow: polars' for a
    // polars frame, DuckDB's for a DuckDB relation, pyarrow's (with pandas' types for
    // nanoseconds where pandas imports) for any other producer.
    arrow::PythonFlavour flavour = arrow::PythonFlavour::pyarrow;
};
Result<std::optional<ArrowInput>> take_arrow_input(PyObject* obj, const std::string& type_name);

// The columns of input's table collected as collect_table collects a table's, the chunks moved
// into the collection: a column of numbers (integers, floats, booleans, the null type) is a
// column of numbers with NaN for its nulls; a column of texts (strings, large strings, string
// views, dictionaries of these) is read as texts with its nulls as float NaN cells, so it turns
// categorical at its first text and its nulls are missing. Fails with a TypeError naming the
// column and its Arrow format for a type no reader takes, a ValueError naming the column for
// memory that breaks its format or text that is not UTF-8 (nothing learned), a TypeError for
// turns (pieces of a larger table are pandas frames), MemoryError for a table that cannot be
// addressed. The columns are opened and read on the pool. Calling thread, interpreter held.
Result<Collection> collect_arrow_table(ArrowInput& input, std::span<const ColumnTurn> turns = {});

}  // namespace vexilo::py

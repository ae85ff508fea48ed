// A table handed over through the Arrow stream interface: a stream of struct arrays whose children
// are the table's columns, split into checked columns. Interpreter-free.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "engine/arrow_abi.h"
#include "engine/arrow_column.h"
#include "engine/arrow_render.h"
#include "engine/arrow_stream.h"
#include "engine/expected.h"
#include "pool/pool.h"

namespace vexilo::arrow {

// True when schema describes a table: a struct ("+s") whose children, each present and not
// released, are its columns.
bool is_table_schema(const ArrowSchema& schema) noexcept;

// Takes the schema of stream and, when it describes a table (is_table_schema), everything else as
// drain_stream does. A stream of anything else is released after its schema and is
// ErrorKind::unsupported; the other failures are drain_stream's. Runs the producer's callbacks on
// the calling thread. Throws std::bad_alloc.
Expected<ArrowChunks> drain_table_stream(ArrowArrayStream& stream, std::size_t max_rows);

// The columns' names, as the schema's children give them (empty for a child without one).
std::vector<std::string> column_names(const ArrowChunks& table);

// The rows of a table whose chunks were checked by open_table_columns.
std::size_t table_rows(const ArrowChunks& table) noexcept;

// The zone names of table's zoned timestamp columns that a ZoneLookup is asked for
// (zone_to_look_up), each once: the zones a lookup for open_table_columns must know. Any thread.
std::vector<std::string> named_zones(const ArrowChunks& table);

// A table's columns opened: one reader per column, and the texts of the columns rendered from
// dates, times, timestamps, durations and decimals, which their readers read (so they must stay
// while the readers are used).
struct TableColumns {
    std::vector<RenderedColumn> rendered;
    std::vector<ArrowColumn> columns;
};

// Checks the struct arrays of table (a table's chunks: is_table_schema holds for their schema)
// and opens every column on pool (ArrowColumn::open, over each chunk's child with the chunk's
// offset and length applied); a column of a rendered format (is_rendered_format) is first
// rendered into texts as flavour's conversion to Python writes them (render_column, zones
// naming the named zones). Returns the columns, or the error of the lowest failing column with
// its column set: ErrorKind::unsupported for a type no reader takes (the message names its Arrow
// format) or a value or zone that cannot be rendered, ErrorKind::invalid_memory for memory that
// breaks its format (a struct array whose children do not match the schema, are shorter than
// it or have negative offsets, a row that is null as a whole, and whatever ArrowColumn::open
// finds). The readers read table's memory, which must outlive them. zones is called on pool's
// threads: it must only read. Throws std::bad_alloc or the pool's failures. Any thread.
Expected<TableColumns> open_table_columns(const ArrowChunks& table, PythonFlavour flavour,
                                          const ZoneLookup& zones,
                                          pool::ThreadPool& pool = pool::global_pool());

}  // namespace vexilo::arrow

// The table-level encoding step: collected columns in, codes written into the output table and
// the learned EncodingInfo out, all in one call on the worker pool. Interpreter-free.
#pragma once

#include <vector>

#include "engine/column_cells.h"
#include "engine/encoding_info.h"
#include "engine/table.h"
#include "pool/pool.h"

namespace vexilo {

// A categorical column as a reader collected it (finish()ed), with its place in the table.
struct CollectedColumn {
    ColumnIndex col;
    ColumnCells cells;
};

// A table's columns as a reader collected them, beside the output table they go to. Every column
// that is not categorical has its numbers in the table already, so a wide table of numbers costs
// nothing per column. A categorical column keeps its entries: either its distinct texts, the
// table's cells of the column then holding, as doubles, the index of each row's entry; or one
// entry per row, entry r being row r's (its cells in the table are not read). The step that
// encodes the columns and any later step that looks their texts up in a learned state take the
// same input.
struct CollectedTable {
    // The categorical columns, in ascending order of col.
    std::vector<CollectedColumn> categorical;
};

// True when column holds one entry per row of a table of rows rows: entry r is row r's.
inline bool has_entry_per_row(const CollectedColumn& column, std::size_t rows) noexcept {
    return column.cells.texts().size() == rows;
}

// Encodes input into table (any layout): for each categorical column, its cells get the codes
// label_encode gives its rows' texts (the other columns are left as they are). Returns the
// EncodingInfo of the categorical columns (ascending, each with its forward and inverse map). The
// columns are released as they are done. Runs on pool as one job, from any thread; the calling
// thread blocks until it is done (a cancelled operation of the pool stops it with
// pool::Cancelled). Fails by std::bad_alloc, the InternalFailure of a pool that cannot start, or
// an InternalFailure when the columns do not fit the table or an entry index names no entry.
EncodingInfo encode_table(CollectedTable& input, Table& table,
                          pool::ThreadPool& pool = pool::global_pool());

// encode_table, with the inverse maps left empty unless inverse_maps: add_inverse_maps builds them
// later, so that the caller may first free what kept the columns' texts valid (the forward maps
// hold copies of the texts once this returns). Fails as encode_table.
EncodingInfo encode_table_forward(CollectedTable& input, Table& table, bool inverse_maps,
                                  pool::ThreadPool& pool = pool::global_pool());

// Builds the inverse map of every categorical column of info from its forward map, replacing the
// map there. Runs on pool as one job, from any thread; the calling thread blocks until it is done
// (a cancelled operation of the pool stops it with pool::Cancelled, info then unchanged). Fails by
// std::bad_alloc or the InternalFailure of a pool that cannot start.
void add_inverse_maps(EncodingInfo& info, pool::ThreadPool& pool = pool::global_pool());

}  // namespace vexilo

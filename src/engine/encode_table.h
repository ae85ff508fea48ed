// The table-level encoding step: collected columns in, codes written into the output table and
// the learned EncodingInfo out, all in one call on the worker pool. Interpreter-free.
#pragma once

#include <vector>

#include "engine/column_cells.h"
#include "engine/encoding_info.h"
#include "engine/table.h"
#include "pool/pool.h"

namespace vexilo {

// What the collected columns hold and what the output table already holds.
enum class CellForm {
    // Every categorical column holds one text per row, and CollectedTable::numbers the numbers of
    // the other columns; no cell of the table is written yet.
    PerRow,
    // Numeric columns already wrote their numbers into the table. A categorical column holds its
    // distinct entries, and its cells in the table hold, as doubles, the index of each row's
    // entry.
    EntryIndices,
};

// A categorical column as the Python layer collected it (finish()ed), with its place in the table.
struct CollectedColumn {
    ColumnIndex col;
    ColumnCells cells;
};

// A table's columns as the Python layer collected them. Only categorical columns are kept as
// columns; the numbers of the others take the room of their cells alone, so that a wide table of
// numbers costs nothing per column. The step that encodes them and any later step that looks
// their texts up in a learned state take the same input.
struct CollectedTable {
    // The categorical columns, in ascending order of col.
    std::vector<CollectedColumn> categorical;
    // PerRow only: the numbers of every other column, column after column in ascending order of
    // column, a row count of them each.
    std::vector<double> numbers;
    CellForm form = CellForm::PerRow;
};

// Writes input.numbers (CellForm::PerRow) into the table's columns that input does not hold as
// categorical, and frees them. Runs on pool, from any thread. Fails by std::bad_alloc, the
// InternalFailure of a pool that cannot start, or an InternalFailure when the numbers do not fill
// those columns.
void place_numbers(CollectedTable& input, Table& table,
                   pool::ThreadPool& pool = pool::global_pool());

// Encodes input into table (any layout): the numeric columns' numbers, and for each categorical
// column the codes label_encode gives its texts. Returns the EncodingInfo of the categorical
// columns (ascending, each with its forward and inverse map). Every cell of the table is written.
// The columns are released as they are done. Runs on pool as one job, from any thread; the calling
// thread blocks until it is done (a cancelled operation of the pool stops it with
// pool::Cancelled). Fails by std::bad_alloc, the InternalFailure of a pool that cannot start, or
// an InternalFailure when the columns and numbers do not fit the table or an entry index names no
// entry.
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

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
    // Every column holds one number or text per row; no cell of the table is written yet.
    PerRow,
    // Numeric columns already wrote their numbers into the table. A categorical column holds its
    // distinct entries, and its cells in the table hold, as doubles, the index of each row's
    // entry.
    EntryIndices,
};

// A table's columns as the Python layer collected them (each finish()ed), one per column of the
// output table, in order. The step that encodes them and any later step that looks their texts up
// in a learned state take the same input.
struct CollectedTable {
    std::vector<ColumnCells> columns;
    CellForm form = CellForm::PerRow;
};

// Encodes input into table (input.columns.size() columns of the table's row count; any layout):
// numeric columns' numbers, and for each categorical column the codes label_encode gives its
// texts. Returns the EncodingInfo of the categorical columns (ascending, each with its forward and
// inverse map). Every cell of the table is written. The columns are released as they are done.
// Runs on pool as one job, from any thread; the calling thread blocks until it is done. Fails by
// std::bad_alloc, the InternalFailure of a pool that cannot start, or an InternalFailure when a
// column's cell count or an entry index does not fit the table.
EncodingInfo encode_table(CollectedTable& input, Table& table,
                          pool::ThreadPool& pool = pool::global_pool());

}  // namespace vexilo

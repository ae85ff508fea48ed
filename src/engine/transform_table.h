// The table-level step that applies a learned encoding: the columns that encode_table takes, coded
// by lookup in the learned forward maps instead of numbered afresh. Interpreter-free.
#pragma once

#include "engine/encode_table.h"
#include "engine/encoding_info.h"
#include "engine/expected.h"
#include "engine/table.h"
#include "pool/pool.h"

namespace vexilo {

// What a cell becomes whose text its column's learned map does not hold (an unseen text).
struct UnknownPolicy {
    enum class Kind {
        Missing,  // the missing code, NaN
        Error,    // the call fails with ErrorKind::unseen_text
        Code,     // code
    };
    Kind kind = Kind::Missing;
    double code = 0;
};

// Writes into table the codes of input (collected as for encode_table, same shape rules) under
// info: a column that info lists gets, for each cell, the learned code of the cell's text (a
// column collected as numbers reads as the texts its numbers render to, as the numbers before a
// column's first text do), NaN for missing-value markers, and the unknown policy for unseen
// texts; any other column must be numeric and is left as it is. info is only read (its deferred
// indexes may be built, which is safe with other readers). Returns Unit when every cell is
// written, else the error of the lowest failing column: ErrorKind::column_missing (column, the
// table's column count in count) before anything else is looked at, text_in_numeric_column
// (column, row, text) or, under UnknownPolicy::Kind::Error, unseen_text (column, the first unseen
// row and text, the column's unseen cells in count); the table's cells are then unspecified.
// Columns are released as they are done. Runs on pool as one job, from any thread; the calling
// thread blocks until it is done (a cancelled operation of the pool stops it with
// pool::Cancelled). Only the listed and the categorical columns are looked at one by one. Fails
// by std::bad_alloc, the InternalFailure of a pool that cannot start, and an InternalFailure "no
// entry found for key" when a listed column has no forward map (a restored state).
Outcome transform_table(CollectedTable& input, Table& table, const EncodingInfo& info,
                        UnknownPolicy unknown, pool::ThreadPool& pool = pool::global_pool());

}  // namespace vexilo

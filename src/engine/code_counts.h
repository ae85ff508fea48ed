// How many cells of a table's columns carry each code. Interpreter-free.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "engine/table.h"
#include "pool/pool.h"

namespace vexilo {

// A column of a table and how many codes (0 .. size-1) it may carry.
struct CountedColumn {
    std::size_t col;
    std::size_t size;
};

// For each counted column (col below table.cols), the number of its cells holding each code 0 ..
// size-1, by code; cells holding anything else (NaN, other numbers) are not counted. The columns
// are counted in parallel on pool, from any thread, the caller blocking until done. Throws
// std::bad_alloc and the InternalFailure of a pool that cannot start.
std::vector<std::vector<std::int64_t>> count_codes(const Table& table,
                                                   std::span<const CountedColumn> columns,
                                                   pool::ThreadPool& pool = pool::global_pool());

}  // namespace vexilo

// Counting the codes of a table's columns, one column per task. Interpreter-free.
#include "engine/code_counts.h"

namespace vexilo {

std::vector<std::vector<std::int64_t>> count_codes(const Table& table,
                                                   std::span<const CountedColumn> columns,
                                                   pool::ThreadPool& pool) {
    std::vector<std::vector<std::int64_t>> counts(columns.size());
    for (std::size_t i = 0; i < columns.size(); ++i) counts[i].assign(columns[i].size, 0);
    pool.run_inside([&] {
        pool.parallel_for(columns.size(), [&](std::size_t i) {
            std::vector<std::int64_t>& column_counts = counts[i];
            const auto size = static_cast<double>(columns[i].size);
            const double* cell = table.data.get() + columns[i].col * table.col_stride;
            for (std::size_t row = 0; row < table.rows; ++row, cell += table.row_stride) {
                // NaN fails both comparisons; codes written by encoding are whole numbers.
                if (*cell >= 0.0 && *cell < size) ++column_counts[static_cast<std::size_t>(*cell)];
            }
        });
    });
    return counts;
}

}  // namespace vexilo

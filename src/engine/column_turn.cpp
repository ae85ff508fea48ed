// Columns that turn categorical after the last row of their piece: numbers become rendered texts.
// Interpreter-free.
#include "engine/column_turn.h"

#include <bit>  // std::bit_cast
#include <cstdint>
#include <vector>

#include "engine/hash_map.h"
#include "engine/internal_failure.h"

namespace vexilo {
namespace {

// The numbers of a column lie in the table: each distinct one (equal bits) becomes an entry, in
// the order first met, and each cell the index of its entry. Returns how many entries there are.
std::size_t number_entries(ColumnCells& column, double* first, std::size_t stride,
                           std::size_t rows) {
    HashMap<std::uint64_t, std::size_t> entries;
    for (std::size_t row = 0; row < rows; ++row) {
        double& cell = first[row * stride];
        const auto [entry, added] =
            entries.try_emplace(std::bit_cast<std::uint64_t>(cell), entries.size());
        if (added) column.add_number(cell);
        cell = static_cast<double>(entry->second);
    }
    return entries.size();
}

}  // namespace

void turn_after_last_row(CollectedTable& input, Table& table, std::span<const ColumnTurn> turns) {
    // A table without rows collects nothing: there is nothing to turn.
    if (turns.empty() || table.rows == 0) return;
    VX_ASSERT(turns.size() == table.cols, "one turn per column of the table");
    std::vector<CollectedColumn> categorical;
    auto held = input.categorical.begin();
    for (std::size_t col = 0; col < table.cols; ++col) {
        if (held != input.categorical.end() && held->col == col) {
            categorical.push_back(std::move(*held++));
            continue;
        }
        if (turns[col] != ColumnTurn::After) continue;
        ColumnCells cells(table.rows);
        const std::size_t distinct = number_entries(
            cells, table.data.get() + col * table.col_stride, table.row_stride, table.rows);
        // Every row was a number when the column turned, repeats included.
        cells.make_categorical_after(table.rows - distinct);
        cells.finish();
        categorical.push_back(CollectedColumn{col, std::move(cells)});
    }
    VX_ASSERT(held == input.categorical.end(), "the collected columns are the table's");
    input.categorical = std::move(categorical);
}

}  // namespace vexilo

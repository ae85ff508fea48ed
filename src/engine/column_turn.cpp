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

// The numbers of an entry-index column lie in the table: each distinct one (equal bits) becomes
// an entry, in the order first met, and each cell the index of its entry.
void number_entries(ColumnCells& column, double* first, std::size_t stride, std::size_t rows) {
    HashMap<std::uint64_t, std::size_t> entries;
    for (std::size_t row = 0; row < rows; ++row) {
        double& cell = first[row * stride];
        const auto [entry, added] =
            entries.try_emplace(std::bit_cast<std::uint64_t>(cell), entries.size());
        if (added) column.add_number(cell);
        cell = static_cast<double>(entry->second);
    }
}

}  // namespace

void turn_after_last_row(CollectedTable& input, Table& table, std::span<const ColumnTurn> turns) {
    // A table without rows collects nothing: there is nothing to turn.
    if (turns.empty() || table.rows == 0) return;
    VX_ASSERT(turns.size() == table.cols, "one turn per column of the table");
    const std::size_t rows = table.rows;
    std::vector<CollectedColumn> categorical;
    std::vector<double> numbers;  // PerRow: those of the columns that stay numeric
    auto held = input.categorical.begin();
    std::size_t numeric = 0;  // PerRow: the numeric columns passed so far
    for (std::size_t col = 0; col < table.cols; ++col) {
        if (held != input.categorical.end() && held->col == col) {
            categorical.push_back(std::move(*held++));
            continue;
        }
        const bool per_row = input.form == CellForm::PerRow;
        const double* const own = per_row ? input.numbers.data() + numeric++ * rows : nullptr;
        if (turns[col] != ColumnTurn::After) {
            if (per_row) numbers.insert(numbers.end(), own, own + rows);
            continue;
        }
        ColumnCells cells(rows);
        if (per_row) {
            for (std::size_t row = 0; row < rows; ++row) cells.add_number(own[row]);
        } else {
            number_entries(cells, table.data.get() + col * table.col_stride, table.row_stride,
                           rows);
        }
        cells.make_categorical();
        cells.finish();
        categorical.push_back(CollectedColumn{col, std::move(cells)});
    }
    VX_ASSERT(held == input.categorical.end(), "the collected columns are the table's");
    input.categorical = std::move(categorical);
    if (input.form == CellForm::PerRow) input.numbers = std::move(numbers);
}

}  // namespace vexilo

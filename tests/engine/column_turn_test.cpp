// Columns that turn categorical after the last row of their piece: their numbers read as rendered
// texts, which become the entries of the column.
#include "engine/column_turn.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

namespace vexilo {
namespace {

using Texts = std::vector<std::string>;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
const std::vector<double> numbers{1.0, -0.0, 2.5, 1.0, nan, 1e21};
const Texts rendered{"1", "-0", "2.5", "1", "NaN", "1000000000000000000000"};

TEST(TurnAfterLastRow, TurnedColumnsTakeEachNumbersRenderedTextAndLeaveTheOthers) {
    // Columns 0 and 2 hold numbers; column 1 is categorical. Column 2 turns after the last row.
    const std::size_t rows = numbers.size();
    Table table = uninitialised_table(rows, 3, Layout::RowMajor);
    CollectedTable input;
    input.categorical.push_back(CollectedColumn{1, ColumnCells(0)});
    for (std::size_t row = 0; row < rows; ++row) input.categorical[0].cells.add_text("x");
    input.categorical[0].cells.finish();
    for (std::size_t row = 0; row < rows; ++row) {
        table.data[row * table.row_stride] = numbers[row];
        table.data[row * table.row_stride + 2] = numbers[row] + 2.0;
    }
    const std::vector<ColumnTurn> turns{ColumnTurn::Natural, ColumnTurn::After, ColumnTurn::After};
    turn_after_last_row(input, table, turns);
    ASSERT_EQ(input.categorical.size(), 2u);
    EXPECT_EQ(input.categorical[0].col, 1u);
    EXPECT_EQ(input.categorical[1].col, 2u);
    const ColumnCells& turned = input.categorical[1].cells;
    EXPECT_EQ(turned.first_text_row(), rows);
    Texts row_texts;
    for (std::size_t row = 0; row < rows; ++row) {
        row_texts.push_back(
            std::string(turned.texts()[static_cast<std::size_t>(table.at(row, 2))]));
    }
    EXPECT_EQ(row_texts, (Texts{"3", "2", "4.5", "3", "NaN", "1000000000000000000000"}));
    // Column 0's numbers stay, alone.
    EXPECT_EQ(table.at(2, 0), 2.5);
}

TEST(TurnAfterLastRow, EntryIndexColumnsGetAnEntryPerDistinctNumber) {
    // Column-major, so that a column's cells lie apart from the other's. Column 1 is categorical
    // already and stays as it is.
    Table table = uninitialised_table(numbers.size(), 2, Layout::ColumnMajor);
    CollectedTable input;
    input.categorical.push_back(CollectedColumn{1, ColumnCells(0)});
    input.categorical[0].cells.add_text("x");
    input.categorical[0].cells.finish();
    for (std::size_t row = 0; row < numbers.size(); ++row) {
        table.data[row * table.row_stride] = numbers[row];
        table.data[row * table.row_stride + table.col_stride] = 0;
    }
    turn_after_last_row(input, table, std::vector<ColumnTurn>(2, ColumnTurn::After));
    ASSERT_EQ(input.categorical.size(), 2u);
    ASSERT_EQ(input.categorical[0].col, 0u);
    const ColumnCells& column = input.categorical[0].cells;
    EXPECT_EQ(column.texts().size(), 5u);  // 1.0 twice
    for (std::size_t row = 0; row < numbers.size(); ++row) {
        const double entry = table.at(row, 0);
        EXPECT_EQ(column.texts()[static_cast<std::size_t>(entry)], rendered[row]);
    }
    EXPECT_EQ(input.categorical[1].cells.texts().size(), 1u);
    EXPECT_EQ(table.at(0, 1), 0.0);
}

}  // namespace
}  // namespace vexilo

// count_codes: per column, the cells of each code, in either layout and on pools of any size.
#include "engine/code_counts.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

namespace vexilo {
namespace {

class CodeCounts : public ::testing::TestWithParam<std::size_t> {};

TEST_P(CodeCounts, CountEachCodeOfTheCountedColumnsInEitherLayout) {
    pool::ThreadPool pool(GetParam());
    // Column 0: codes with a missing cell and a code past its size; column 1 is not counted;
    // column 2: codes and a negative number, which is no code.
    const double nan = std::nan("");
    const double cells[4][3] = {{1, 7, 0}, {nan, 7, -1}, {1, 7, 2}, {3, 7, 2}};
    for (const Layout layout : {Layout::RowMajor, Layout::ColumnMajor}) {
        Table table = uninitialised_table(4, 3, layout);
        for (std::size_t r = 0; r < 4; ++r) {
            for (std::size_t c = 0; c < 3; ++c) {
                table.data[r * table.row_stride + c * table.col_stride] = cells[r][c];
            }
        }
        const CountedColumn columns[] = {{0, 3}, {2, 3}};
        const std::vector<std::vector<std::int64_t>> counts = count_codes(table, columns, pool);
        EXPECT_EQ(counts, (std::vector<std::vector<std::int64_t>>{{0, 2, 0}, {1, 0, 2}}));
    }
}

INSTANTIATE_TEST_SUITE_P(Threads, CodeCounts, ::testing::Values(1, 2, 4, 8));

}  // namespace
}  // namespace vexilo

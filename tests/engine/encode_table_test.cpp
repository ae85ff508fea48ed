// The table-level encoding step on pools of 1, 2, 4 and 8 threads, over row- and column-major
// tables, for columns collected cell by cell and in the scan's entry-index form.
#include "engine/encode_table.h"

#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "engine/label_encode.h"

namespace vexilo {
namespace {

constexpr std::size_t rows = 20000;

// Columns 1 and 4 numeric; column 0 few texts with a missing-value marker; columns 2 and 3 one
// text per row, in an order that is not byte order.
double number(std::size_t col, std::size_t row) {
    return static_cast<double>(row) * 0.5 - static_cast<double>(col);
}
std::string text(std::size_t col, std::size_t row) {
    if (col == 0) return row % 7 == 0 ? "nan" : "k" + std::to_string(row % 5);
    return "t" + std::to_string((row * 7919 + col) % rows);
}
bool categorical(std::size_t col) { return col == 0 || col == 2 || col == 3; }
constexpr std::size_t cols = 5;

// The code each distinct text should get: byte order among the non-marker texts.
std::map<std::string, double> expected_codes(std::size_t col) {
    std::map<std::string, double> codes;
    for (std::size_t row = 0; row < rows; ++row) codes[text(col, row)] = 0;
    double next = 0;
    for (auto& [label, code] : codes) code = is_missing_marker(label) ? missing_code : next++;
    return codes;
}

// How a reader keeps a categorical column's entries: one per row, or one per distinct text.
enum class Entries { per_row, distinct };

// The columns as a reader hands them over, the numbers already in table.
CollectedTable collect(Entries form, Table& table) {
    CollectedTable input;
    for (std::size_t col = 0; col < cols; ++col) {
        ColumnCells cells(rows);
        double* const out = table.data.get() + col * table.col_stride;
        std::map<std::string, std::size_t> entries;
        for (std::size_t row = 0; row < rows; ++row) {
            if (!categorical(col)) {
                out[row * table.row_stride] = number(col, row);
                continue;
            }
            const std::string label = text(col, row);
            if (form == Entries::per_row) {
                cells.add_text(label);
                continue;
            }
            const auto [entry, added] = entries.emplace(label, cells.entry_count());
            if (added) cells.add_text(label);
            out[row * table.row_stride] = static_cast<double>(entry->second);
        }
        cells.finish();
        if (categorical(col)) input.categorical.push_back(CollectedColumn{col, std::move(cells)});
    }
    return input;
}

class EncodeTable : public testing::TestWithParam<std::tuple<std::size_t, Layout, Entries>> {
protected:
    // The test table in the parameters' layout, collected in their form.
    struct Collected {
        Table table;
        CollectedTable input;
    };
    Collected collected() const {
        Table table = uninitialised_table(rows, cols, std::get<1>(GetParam()));
        CollectedTable input = collect(std::get<2>(GetParam()), table);
        return Collected{std::move(table), std::move(input)};
    }

    pool::ThreadPool pool{std::get<0>(GetParam())};
};

TEST_P(EncodeTable, WritesEveryCellAndLearnsEachCategoricalColumn) {
    auto [table, input] = collected();
    const EncodingInfo info = encode_table(input, table, pool);

    EXPECT_EQ(info.categorical_columns, (std::vector<ColumnIndex>{0, 2, 3}));
    for (std::size_t col = 0; col < cols; ++col) {
        if (!categorical(col)) {
            for (std::size_t row = 0; row < rows; ++row) {
                ASSERT_EQ(table.at(row, col), number(col, row)) << row << ", " << col;
            }
            continue;
        }
        const std::map<std::string, double> codes = expected_codes(col);
        for (std::size_t row = 0; row < rows; ++row) {
            const double want = codes.at(text(col, row));
            const double got = table.at(row, col);
            ASSERT_TRUE(std::isnan(want) ? std::isnan(got) : got == want) << row << ", " << col;
        }
        const ForwardMap& forward = info.forward_maps.at(col);
        const InverseMap& inverse = info.inverse_maps.at(col);
        ASSERT_EQ(forward.size(), codes.size());
        for (const auto& [label, code] : codes) {
            const auto& stored = forward.at(label);
            ASSERT_EQ(stored.has_value(), !std::isnan(code)) << label;
            if (stored) {
                EXPECT_EQ(inverse.at(*stored), label);
            }
        }
        EXPECT_EQ(inverse.size(), codes.size() - (col == 0 ? 1 : 0));
    }
}

TEST_P(EncodeTable, InverseMapsBuiltLaterAreTheSame) {
    auto [whole_table, whole_input] = collected();
    const EncodingInfo whole = encode_table(whole_input, whole_table, pool);

    auto [table, input] = collected();
    EncodingInfo later = encode_table_forward(input, table, false, pool);
    for (const ColumnIndex col : later.categorical_columns) {
        EXPECT_TRUE(later.inverse_maps.at(col).empty()) << col;
    }
    add_inverse_maps(later, pool);

    EXPECT_TRUE(same_content(whole, later));
}

INSTANTIATE_TEST_SUITE_P(ThreadsLayoutsForms, EncodeTable,
                         testing::Combine(testing::Values(std::size_t{1}, std::size_t{2},
                                                          std::size_t{4}, std::size_t{8}),
                                          testing::Values(Layout::RowMajor, Layout::ColumnMajor),
                                          testing::Values(Entries::per_row, Entries::distinct)));

TEST(EncodeTable, TableWithoutRowsLearnsNothing) {
    pool::ThreadPool pool(2);
    Table table = uninitialised_table(0, 3, Layout::RowMajor);
    CollectedTable input;
    EXPECT_TRUE(encode_table(input, table, pool).categorical_columns.empty());
}

}  // namespace
}  // namespace vexilo

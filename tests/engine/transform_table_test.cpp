// Applying a learned encoding with transform_table: on pools of 1, 2, 4 and 8 threads, both
// memory orders and both collected forms, against the state that encode_table learns.
#include "engine/transform_table.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <map>
#include <span>
#include <stdexcept>
#include <string>
#include <tuple>
#include <variant>
#include <vector>

#include "engine/internal_failure.h"

namespace vexilo {
namespace {

using Cell = std::variant<double, std::string>;
using Columns = std::vector<std::vector<Cell>>;
constexpr double nan = std::numeric_limits<double>::quiet_NaN();

// How a reader keeps a categorical column's entries: one per row, or one per distinct text.
enum class Entries { per_row, distinct };

// The columns as a reader hands them over: numbers while a column has no text, written into
// table, then texts (the numbers before the first text rendered); a categorical column of
// distinct entries has its rows hold the index of their entry.
CollectedTable collect(const Columns& columns, Entries form, Table& table) {
    CollectedTable input;
    for (std::size_t col = 0; col < columns.size(); ++col) {
        const std::vector<Cell>& cells = columns[col];
        ColumnCells column(cells.size());
        double* const out = table.data.get() + col * table.col_stride;
        std::map<std::string, std::size_t> entries;
        for (std::size_t row = 0; row < cells.size(); ++row) {
            if (const double* number = std::get_if<double>(&cells[row])) {
                if (column.categorical()) throw std::logic_error("numbers after a text");
                column.add_number(*number);
                out[row * table.row_stride] = *number;
                continue;
            }
            const std::string& text = std::get<std::string>(cells[row]);
            if (form == Entries::per_row) {
                column.add_text(text);
                continue;
            }
            if (!column.categorical()) {
                // The numbers before the first text become entries 0 .. row-1.
                column.add_text(text);
                for (std::size_t before = 0; before <= row; ++before) {
                    out[before * table.row_stride] = static_cast<double>(before);
                }
                entries.emplace(text, row);
                continue;
            }
            const auto [entry, added] = entries.emplace(text, column.entry_count());
            if (added) column.add_text(text);
            out[row * table.row_stride] = static_cast<double>(entry->second);
        }
        column.finish();
        if (column.categorical())
            input.categorical.push_back(CollectedColumn{col, std::move(column)});
    }
    return input;
}

Table table_for(const Columns& columns, Layout layout) {
    return uninitialised_table(columns.empty() ? 0 : columns[0].size(), columns.size(), layout);
}

EncodingInfo learn(const Columns& columns, pool::ThreadPool& pool) {
    Table table = table_for(columns, Layout::RowMajor);
    CollectedTable input = collect(columns, Entries::per_row, table);
    return encode_table(input, table, pool);
}

struct Transformed {
    Table table;
    std::optional<Error> error;
};

Transformed transform(const Columns& columns, const EncodingInfo& info, UnknownPolicy unknown,
                      Entries form, Layout layout, pool::ThreadPool& pool) {
    Transformed result{table_for(columns, layout), std::nullopt};
    CollectedTable input = collect(columns, form, result.table);
    Outcome outcome = transform_table(input, result.table, info, unknown, pool);
    if (!outcome) result.error = std::move(outcome).error();
    return result;
}

bool same(double a, double b) { return std::isnan(a) ? std::isnan(b) : a == b; }

std::vector<double> column_of(const Table& table, std::size_t col) {
    std::vector<double> values;
    for (std::size_t row = 0; row < table.rows; ++row) values.push_back(table.at(row, col));
    return values;
}

void expect_column(const Table& table, std::size_t col, const std::vector<double>& want) {
    const std::vector<double> got = column_of(table, col);
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t row = 0; row < want.size(); ++row) {
        EXPECT_TRUE(same(got[row], want[row])) << "row " << row << ": " << got[row];
    }
}

// A large table: numbers, a few texts with markers, one text per row, numbers turning at row 3.
Columns large_table(std::size_t rows) {
    Columns columns(4);
    for (std::size_t row = 0; row < rows; ++row) {
        columns[0].push_back(static_cast<double>(row) * 0.25);
        columns[1].push_back(row % 7 == 0 ? std::string("nan") : "k" + std::to_string(row % 5));
        columns[2].push_back("t" + std::to_string((row * 7919) % rows));
        if (row < 3) {
            columns[3].push_back(static_cast<double>(row) + 0.5);
        } else {
            columns[3].push_back("x" + std::to_string(row % 11));
        }
    }
    return columns;
}

using Setting = std::tuple<std::size_t, Layout, Entries>;

class TransformTable : public testing::TestWithParam<Setting> {};

TEST_P(TransformTable, LearnedTableGetsTheCodesItWasEncodedWith) {
    const auto [threads, layout, form] = GetParam();
    pool::ThreadPool pool(threads);
    const Columns columns = large_table(20000);
    Table encoded = table_for(columns, layout);
    CollectedTable learning = collect(columns, form, encoded);
    const EncodingInfo info = encode_table(learning, encoded, pool);

    for (auto kind : {UnknownPolicy::Kind::Missing, UnknownPolicy::Kind::Error}) {
        Transformed result = transform(columns, info, {kind, 0}, form, layout, pool);
        ASSERT_FALSE(result.error);
        for (std::size_t col = 0; col < columns.size(); ++col) {
            expect_column(result.table, col, column_of(encoded, col));
        }
    }
}

TEST_P(TransformTable, UnseenTextsFollowThePolicyAndMarkersStayMissing) {
    const auto [threads, layout, form] = GetParam();
    pool::ThreadPool pool(threads);
    const EncodingInfo info = learn({{"a", "b", "c", "nan"}, {1.0, 2.0, 3.0, 4.0}}, pool);
    const Columns test = {{"b", "x", "NaN", "y", "x", "<NA>", "a", "c"},
                          {5.0, 6.0, 7.0, nan, 9.0, 10.0, 11.0, 12.0}};

    for (const auto& [policy, unseen] :
         {std::pair{UnknownPolicy{UnknownPolicy::Kind::Missing, 0}, nan},
          std::pair{UnknownPolicy{UnknownPolicy::Kind::Code, -1}, -1.0}}) {
        Transformed result = transform(test, info, policy, form, layout, pool);
        ASSERT_FALSE(result.error);
        expect_column(result.table, 0, {1, unseen, nan, unseen, unseen, nan, 0, 2});
        expect_column(result.table, 1, {5, 6, 7, nan, 9, 10, 11, 12});
    }

    Transformed failed = transform(test, info, {UnknownPolicy::Kind::Error, 0}, form, layout, pool);
    ASSERT_TRUE(failed.error);
    EXPECT_EQ(failed.error->kind, ErrorKind::unseen_text);
    EXPECT_EQ(failed.error->column, 0u);
    EXPECT_EQ(failed.error->row, 1u);
    EXPECT_EQ(failed.error->text, "x");
    EXPECT_EQ(failed.error->count, 3u);
}

TEST_P(TransformTable, FirstUnseenTextOfALongColumnIsFoundWhateverTheScheduling) {
    const auto [threads, layout, form] = GetParam();
    pool::ThreadPool pool(threads);
    Columns train(1), test(1);
    std::size_t unseen = 0;
    for (std::size_t row = 0; row < 30000; ++row) {
        const bool shifted = row >= 12345 && row % 3 == 0;
        train[0].push_back("v" + std::to_string(row % 100));
        test[0].push_back("v" + std::to_string(row % 100 + (shifted ? 1 : 0)));
        if (shifted && row % 100 == 99) ++unseen;
    }
    const EncodingInfo info = learn(train, pool);
    Transformed failed = transform(test, info, {UnknownPolicy::Kind::Error, 0}, form, layout, pool);
    ASSERT_TRUE(failed.error);
    EXPECT_EQ(failed.error->row, 12399u);  // the first row >= 12345 with row % 3 == 0, % 100 == 99
    EXPECT_EQ(failed.error->text, "v100");
    EXPECT_EQ(failed.error->count, unseen);
}

TEST_P(TransformTable, ListedColumnOfNumbersReadsThemAsRenderedTexts) {
    const auto [threads, layout, form] = GetParam();
    pool::ThreadPool pool(threads);
    // "1.5" and "2" were learned as texts: the numbers came before the column's first text.
    const EncodingInfo info = learn({{1.5, 2.0, "a"}}, pool);
    Transformed result =
        transform({{2.0, 1.5, 3.0, nan}}, info, {UnknownPolicy::Kind::Code, 9}, form, layout, pool);
    ASSERT_FALSE(result.error);
    expect_column(result.table, 0, {1, 0, 9, nan});
}

TEST_P(TransformTable, TextInAColumnLearnedAsNumbersNamesItsRowAndTheLowestColumnWins) {
    const auto [threads, layout, form] = GetParam();
    pool::ThreadPool pool(threads);
    const EncodingInfo info = learn({{"a", "b"}, {1.0, 2.0}, {3.0, 4.0}}, pool);
    const Columns test = {{"zz", "a", "a"}, {1.0, 2.0, "oops"}, {5.0, "later", "x"}};
    Transformed failed = transform(test, info, {UnknownPolicy::Kind::Error, 0}, form, layout, pool);
    ASSERT_TRUE(failed.error);
    EXPECT_EQ(failed.error->kind, ErrorKind::unseen_text);
    EXPECT_EQ(failed.error->column, 0u);

    failed = transform(test, info, {UnknownPolicy::Kind::Missing, 0}, form, layout, pool);
    ASSERT_TRUE(failed.error);
    EXPECT_EQ(failed.error->kind, ErrorKind::text_in_numeric_column);
    EXPECT_EQ(failed.error->column, 1u);
    EXPECT_EQ(failed.error->row, 2u);
    EXPECT_EQ(failed.error->text, "oops");
}

INSTANTIATE_TEST_SUITE_P(ThreadsLayoutsForms, TransformTable,
                         testing::Combine(testing::Values(std::size_t{1}, std::size_t{2},
                                                          std::size_t{4}, std::size_t{8}),
                                          testing::Values(Layout::RowMajor, Layout::ColumnMajor),
                                          testing::Values(Entries::per_row, Entries::distinct)));

TEST(TransformTableState, ListedColumnBeyondTheTableIsReportedBeforeAnyCellIsRead) {
    pool::ThreadPool pool(2);
    const EncodingInfo info = learn({{1.0}, {2.0}, {"c"}}, pool);
    for (std::size_t rows : {std::size_t{0}, std::size_t{2}}) {
        Columns test(2, std::vector<Cell>(rows, Cell{std::string("text")}));
        Table table = uninitialised_table(rows, 2, Layout::RowMajor);
        CollectedTable input = collect(test, Entries::per_row, table);
        const Outcome outcome = transform_table(input, table, info, {}, pool);
        ASSERT_FALSE(outcome);
        EXPECT_EQ(outcome.error().kind, ErrorKind::column_missing);
        EXPECT_EQ(outcome.error().column, 2u);
        EXPECT_EQ(outcome.error().count, 2u);
    }
}

TEST(TransformTableState, ListedColumnWithoutForwardMapIsAnInternalFailure) {
    pool::ThreadPool pool(2);
    EncodingInfo info;
    info.categorical_columns = {0};
    Table table = uninitialised_table(1, 1, Layout::RowMajor);
    CollectedTable input = collect({{"a"}}, Entries::per_row, table);
    EXPECT_THROW((void)transform_table(input, table, info, {}, pool), InternalFailure);
}

}  // namespace
}  // namespace vexilo

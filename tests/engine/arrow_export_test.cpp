// Exported Arrow tables read back through the checked Arrow reader: values and nulls of both text
// layouts over both table layouts, the number columns taken over without a copy, and the release
// of the structures in odd orders and on other threads.
#include "engine/arrow_export.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "engine/arrow_column.h"

namespace vexilo::arrow {
namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

// The label a code decodes to, worked out apart from the exporter.
std::optional<std::string> expected_label(const std::map<std::uint64_t, std::string>& labels,
                                          double code) {
    if (std::isnan(code) || code <= -1.0) return std::nullopt;
    if (code >= std::ldexp(1.0, 64)) return std::nullopt;  // no state has so large a code
    const auto found = labels.find(code < 0 ? 0 : static_cast<std::uint64_t>(code));
    if (found == labels.end()) return std::nullopt;
    return found->second;
}

// The stream's schema and its one array, each child moved out into a column of its own; the
// parents are released before the columns are read, so the columns must stand alone.
std::vector<ArrowChunks> take_columns(OwnedStream& stream) {
    ArrowArrayStream& s = stream.get();
    ArrowSchema schema{};
    ArrowArray array{};
    EXPECT_EQ(s.get_schema(&s, &schema), 0);
    EXPECT_EQ(s.get_next(&s, &array), 0);
    EXPECT_STREQ(schema.format, "+s");
    EXPECT_EQ(array.n_children, schema.n_children);
    EXPECT_EQ(array.null_count, 0);
    std::vector<ArrowChunks> columns(static_cast<std::size_t>(array.n_children));
    for (std::size_t i = 0; i < columns.size(); ++i) {
        EXPECT_EQ(schema.children[i]->flags, ARROW_FLAG_NULLABLE);
        columns[i].adopt_schema(*schema.children[i]);
        columns[i].adopt_array(*array.children[i]);
    }
    ArrowArray end{};
    EXPECT_EQ(s.get_next(&s, &end), 0);
    EXPECT_EQ(end.release, nullptr);
    EXPECT_EQ(s.get_last_error(&s), nullptr);
    stream = OwnedStream();  // the stream first, then the parents, in the wrong order on purpose
    array.release(&array);
    schema.release(&schema);
    EXPECT_EQ(array.release, nullptr);
    return columns;
}

using Params = std::tuple<TextLayout, Layout, std::size_t>;

class ArrowExportTest : public testing::TestWithParam<Params> {};

TEST_P(ArrowExportTest, ReadsBackLabelsNullsAndNumbers) {
    const auto [text_layout, table_layout, threads] = GetParam();
    pool::ThreadPool pool(threads);
    // Short and long labels, one beyond a view's 12 inline bytes by one, a sparse code of a
    // restored state, and an empty label.
    const std::map<std::uint64_t, std::string> names = {{0, "carrier_07"},
                                                        {1, ""},
                                                        {2, "thirteen_byte"},
                                                        {3, "a rather longer label, well past"},
                                                        {1000000, "far"}};
    InverseMap inverse;
    for (const auto& entry : names) inverse.emplace(entry.first, std::string_view(entry.second));
    const std::vector<double> odd_codes = {nan, -1.0, -0.5, 2.7, 99.0, 1e6, 1e30, -7.0};

    const std::size_t rows = 70001;  // several blocks, the last not a multiple of 8
    Table table = uninitialised_table(rows, 3, table_layout);
    for (std::size_t r = 0; r < rows; ++r) {
        table.data[r * table.row_stride] =
            r % 3 == 0 ? odd_codes[r / 3 % odd_codes.size()] : static_cast<double>(r % 4);
        table.data[r * table.row_stride + table.col_stride] = r % 5 == 0 ? nan : 0.5 * double(r);
        table.data[r * table.row_stride + 2 * table.col_stride] = static_cast<double>(r % 2);
    }
    Table copy = uninitialised_table(rows, 3, table_layout);
    for (std::size_t i = 0; i < rows * 3; ++i) copy.data[i] = table.data[i];
    const double* numbers_at = table.data.get() + table.col_stride;

    const std::vector<ExportColumn> columns = {{"code", &inverse}, {"x", nullptr}, {"b", &inverse}};
    Expected<OwnedStream> exported = export_table(std::move(table), columns, text_layout, pool);
    ASSERT_TRUE(exported);
    std::vector<ArrowChunks> read = take_columns(exported.value());
    ASSERT_EQ(read.size(), 3u);
    EXPECT_STREQ(read[0].schema().name, "code");
    EXPECT_STREQ(read[0].schema().format, text_layout == TextLayout::string_views ? "vu" : "U");
    EXPECT_STREQ(read[1].schema().format, "g");
    EXPECT_EQ(read[1].arrays()[0].n_buffers, 2);
    EXPECT_EQ(read[1].arrays()[0].buffers[0], nullptr);
    if (table_layout == Layout::ColumnMajor) {
        EXPECT_EQ(read[1].arrays()[0].buffers[1], numbers_at);  // taken over, not copied
    }
    EXPECT_EQ(read[2].arrays()[0].null_count, 0);
    EXPECT_EQ(read[2].arrays()[0].buffers[0], nullptr);  // no nulls: no bitmap

    std::vector<std::string_view> views(rows);
    std::unique_ptr<bool[]> missing(new bool[rows]);
    std::vector<double> numbers(rows);
    std::size_t nulls = 0;
    for (const std::size_t c : {0u, 2u}) {
        Expected<ArrowColumn> column = ArrowColumn::open(read[c]);
        ASSERT_TRUE(column) << column.error().message;
        column.value().read_texts(0, rows, views.data(), missing.get());
        for (std::size_t r = 0; r < rows; ++r) {
            const std::optional<std::string> want = expected_label(names, copy.at(r, c));
            ASSERT_EQ(missing[r], !want) << "row " << r;
            if (want) {
                ASSERT_EQ(views[r], *want) << "row " << r;
            } else {
                ++nulls;
            }
        }
    }
    EXPECT_EQ(read[0].arrays()[0].null_count, static_cast<std::int64_t>(nulls));
    Expected<ArrowColumn> column = ArrowColumn::open(read[1]);
    ASSERT_TRUE(column);
    column.value().read_numbers(0, rows, numbers.data(), 1);
    for (std::size_t r = 0; r < rows; ++r) {
        const double want = copy.at(r, 1);
        ASSERT_TRUE(std::isnan(want) ? std::isnan(numbers[r]) : numbers[r] == want) << r;
    }
}

INSTANTIATE_TEST_SUITE_P(Layouts, ArrowExportTest,
                         testing::Combine(testing::Values(TextLayout::large_strings,
                                                          TextLayout::string_views),
                                          testing::Values(Layout::RowMajor, Layout::ColumnMajor),
                                          testing::Values(1u, 2u, 4u, 8u)));

class ArrowExportShapes : public testing::TestWithParam<TextLayout> {};

TEST_P(ArrowExportShapes, EmptyTableAndZeroColumns) {
    pool::ThreadPool pool(2);
    InverseMap inverse;
    inverse.emplace(0, std::string_view("a"));
    const std::vector<ExportColumn> two = {{"t", &inverse}, {"n", nullptr}};
    for (const Layout layout : {Layout::RowMajor, Layout::ColumnMajor}) {
        Expected<OwnedStream> empty =
            export_table(uninitialised_table(0, 2, layout), two, GetParam(), pool);
        ASSERT_TRUE(empty);
        std::vector<ArrowChunks> read = take_columns(empty.value());
        ASSERT_EQ(read.size(), 2u);
        for (const ArrowChunks& chunks : read) {
            EXPECT_EQ(chunks.arrays()[0].length, 0);
            EXPECT_TRUE(ArrowColumn::open(chunks));
        }
    }
    Expected<OwnedStream> none =
        export_table(uninitialised_table(5, 0, Layout::ColumnMajor), {}, GetParam(), pool);
    ASSERT_TRUE(none);
    ArrowArrayStream& s = none.value().get();
    ArrowArray array{};
    ASSERT_EQ(s.get_next(&s, &array), 0);
    EXPECT_EQ(array.length, 5);
    EXPECT_EQ(array.n_children, 0);
    array.release(&array);
}

// Every structure released on a thread of its own, in several orders; a moved-out child's memory
// is read just before its release, whatever went before. Any use after free or leak is ASan's to
// find.
TEST_P(ArrowExportShapes, ReleasesInAnyOrderOnAnyThread) {
    pool::ThreadPool pool(1);
    InverseMap inverse;
    inverse.emplace(0, std::string_view("a label longer than twelve bytes"));
    const std::vector<ExportColumn> columns = {{"t", &inverse}, {"n", nullptr}};
    for (int order = 0; order < 6; ++order) {
        Table table = uninitialised_table(3, 2, Layout::ColumnMajor);
        for (std::size_t i = 0; i < 6; ++i) table.data[i] = 0;
        Expected<OwnedStream> exported = export_table(std::move(table), columns, GetParam(), pool);
        ASSERT_TRUE(exported);
        ArrowArrayStream stream = exported.value().take();
        ArrowSchema schema{};
        ArrowArray array{};
        ASSERT_EQ(stream.get_schema(&stream, &schema), 0);
        ASSERT_EQ(stream.get_next(&stream, &array), 0);
        ArrowArray moved = *array.children[order % 2];
        array.children[order % 2]->release = nullptr;
        std::vector<std::function<void()>> releases = {
            [&] { stream.release(&stream); }, [&] { array.release(&array); },
            [&] {
                if (order % 2 == 0) {
                    // The first view's length, or the end of the first large string.
                    std::int32_t size = 0;
                    const auto* values = static_cast<const char*>(moved.buffers[1]);
                    std::memcpy(&size, values + (GetParam() == TextLayout::large_strings ? 8 : 0),
                                sizeof size);
                    EXPECT_EQ(size, 32);
                }
                moved.release(&moved);
            },
            [&] { schema.release(&schema); }};
        std::rotate(releases.begin(), releases.begin() + order % 4, releases.end());
        if (order >= 4) std::reverse(releases.begin(), releases.end());
        for (auto& release : releases) std::thread(release).join();
        EXPECT_EQ(stream.release, nullptr);
        EXPECT_EQ(array.release, nullptr);
        EXPECT_EQ(moved.release, nullptr);
        EXPECT_EQ(schema.release, nullptr);
    }
}

// Dictionary columns of a restored state with gaps: int32 indices over the labels in code order,
// nulls where the text column has them, the field metadata handed out, and the dictionary read
// back by the checked reader after its parents are gone.
TEST_P(ArrowExportShapes, DictionaryColumnsHoldTheLabelsInCodeOrder) {
    pool::ThreadPool pool(4);
    const std::map<std::uint64_t, std::string> names = {
        {9, "nine"}, {0, "zero"}, {4, "a label longer than twelve bytes"}, {1000000, ""}};
    InverseMap inverse;
    for (const auto& entry : names) inverse.emplace(entry.first, std::string_view(entry.second));
    const std::vector<double> codes = {0.0, 4.0, 9.5, nan, -1.0, 1e6, 3.0, -0.5, 1e30, 4.0};
    const std::size_t rows = 70001;
    Table table = uninitialised_table(rows, 1, Layout::ColumnMajor);
    for (std::size_t r = 0; r < rows; ++r) table.data[r] = codes[r % codes.size()];
    const std::pair<std::string_view, std::string_view> entry{"key", "value"};
    const std::vector<ExportColumn> columns = {{"d", &inverse, true, field_metadata({&entry, 1})}};
    Expected<OwnedStream> exported = export_table(std::move(table), columns, GetParam(), pool);
    ASSERT_TRUE(exported);
    ArrowArrayStream& s = exported.value().get();
    ArrowSchema schema{};
    ASSERT_EQ(s.get_schema(&s, &schema), 0);
    const ArrowSchema& field = *schema.children[0];
    EXPECT_STREQ(field.format, "i");
    ASSERT_NE(field.dictionary, nullptr);
    EXPECT_STREQ(field.dictionary->format, GetParam() == TextLayout::string_views ? "vu" : "U");
    const std::string metadata(field.metadata, 4 + 4 + 3 + 4 + 5);
    EXPECT_EQ(metadata, std::string("\x01\0\0\0\x03\0\0\0key\x05\0\0\0value", 20));
    schema.release(&schema);

    std::vector<ArrowChunks> read = take_columns(exported.value());
    const ArrowArray& indices = read[0].arrays()[0];
    ASSERT_NE(indices.dictionary, nullptr);
    EXPECT_EQ(indices.dictionary->length, 4);
    const auto* positions = static_cast<const std::int32_t*>(indices.buffers[1]);
    const std::int32_t want[] = {0, 1, 2, -1, -1, 3, -1, 0, -1, 1};  // nine at 2, "" at 3
    Expected<ArrowColumn> column = ArrowColumn::open(read[0]);
    ASSERT_TRUE(column) << column.error().message;
    std::vector<std::string_view> views(rows);
    std::unique_ptr<bool[]> missing(new bool[rows]);
    column.value().read_texts(0, rows, views.data(), missing.get());
    std::size_t nulls = 0;
    for (std::size_t r = 0; r < rows; ++r) {
        const std::optional<std::string> label = expected_label(names, codes[r % codes.size()]);
        ASSERT_EQ(missing[r], !label) << r;
        if (label) {
            ASSERT_EQ(views[r], *label) << r;
            ASSERT_EQ(positions[r], want[r % codes.size()]) << r;
        }
        nulls += !label;
    }
    EXPECT_EQ(indices.null_count, static_cast<std::int64_t>(nulls));
}

INSTANTIATE_TEST_SUITE_P(TextLayouts, ArrowExportShapes,
                         testing::Values(TextLayout::large_strings, TextLayout::string_views));

}  // namespace
}  // namespace vexilo::arrow

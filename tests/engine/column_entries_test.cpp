// Text columns read from memory into entries: missing cells read as a frame's values give them,
// equal texts share an entry, and each row holds the index of its entry.
#include "engine/column_entries.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "engine/category_codes.h"

namespace vexilo {
namespace {

using Texts = std::vector<std::optional<std::string>>;

// What a column reads as: per row its entry's text, or nothing for a NaN left in the table.
struct Read {
    bool categorical;
    Texts rows;
    std::size_t entries;
};

Read read_back(ColumnCells& cells, const std::vector<double>& out) {
    cells.finish();
    Read read{cells.categorical(), {}, cells.texts().size()};
    for (const double value : out) {
        if (std::isnan(value)) {
            read.rows.emplace_back();
        } else {
            read.rows.emplace_back(std::string(cells.texts()[static_cast<std::size_t>(value)]));
        }
    }
    return read;
}

// An Arrow string array over texts (nothing: a null cell) that lives as long as the test needs.
struct Strings {
    std::vector<std::int32_t> offsets{0};
    std::string data;
    std::vector<std::uint8_t> validity;
    const void* buffers[3];
    arrow::ArrowChunks chunks;

    explicit Strings(const Texts& texts) {
        validity.assign((texts.size() + 7) / 8, 0);
        for (std::size_t i = 0; i < texts.size(); ++i) {
            if (texts[i]) {
                data += *texts[i];
                validity[i / 8] = static_cast<std::uint8_t>(validity[i / 8] | (1u << (i % 8)));
            }
            offsets.push_back(static_cast<std::int32_t>(data.size()));
        }
        buffers[0] = validity.data();
        buffers[1] = offsets.data();
        buffers[2] = data.data();
        ArrowSchema schema{};
        schema.format = "u";
        schema.release = [](ArrowSchema* s) { s->release = nullptr; };
        ArrowArray array{};
        array.length = static_cast<std::int64_t>(texts.size());
        array.null_count = -1;
        array.n_buffers = 3;
        array.buffers = buffers;
        array.release = [](ArrowArray* a) { a->release = nullptr; };
        chunks.adopt_schema(schema);
        chunks.adopt_array(array);
    }

    Read collect(MissingCell missing) const {
        const auto column = arrow::ArrowColumn::open(chunks).value();
        ColumnCells cells(0);
        std::vector<double> out(column.rows(), -1.0);
        EXPECT_TRUE(collect_arrow_texts(column, missing, ColumnTarget{out.data(), 1, cells}));
        return read_back(cells, out);
    }
};

const auto none = std::nullopt;

TEST(CollectArrowTexts, MissingCellsReadAsTheValuesGiveThem) {
    const Texts texts{none, none, "b", "a", none, "b", "nan"};
    // NaN: numbers before the first text ("NaN" once rendered), str() of a NaN after it.
    const Read nan = Strings(texts).collect(MissingCell::NotANumber);
    EXPECT_TRUE(nan.categorical);
    EXPECT_EQ(nan.rows, (Texts{"NaN", "NaN", "b", "a", "nan", "b", "nan"}));
    EXPECT_EQ(nan.entries, 5u);  // NaN, b, a, nan (missing), nan (text): equal texts may repeat
    // NA: no number, its text from the first row on.
    const Read na = Strings(texts).collect(MissingCell::NotAvailable);
    EXPECT_EQ(na.rows, (Texts{"<NA>", "<NA>", "b", "a", "<NA>", "b", "nan"}));
    EXPECT_EQ(na.entries, 4u);
}

TEST(CollectArrowTexts, AllMissingIsNumericUnderNaNAndCategoricalUnderNA) {
    const Read nan = Strings({none, none}).collect(MissingCell::NotANumber);
    EXPECT_FALSE(nan.categorical);
    EXPECT_EQ(nan.rows, (Texts{none, none}));
    const Read na = Strings({none, none}).collect(MissingCell::NotAvailable);
    EXPECT_TRUE(na.categorical);
    EXPECT_EQ(na.rows, (Texts{"<NA>", "<NA>"}));
}

TEST(CollectArrowTexts, AnEntryPerRowIsTheRowsOwnInOrder) {
    // encode_table reads a column with as many entries as rows as one entry per row, in order:
    // an entry for missing cells is made in the order of the first row it covers.
    for (const MissingCell missing : {MissingCell::NotANumber, MissingCell::NotAvailable}) {
        Strings strings({none, "y", "x"});
        const auto column = arrow::ArrowColumn::open(strings.chunks).value();
        ColumnCells cells(0);
        std::vector<double> out(3);
        EXPECT_TRUE(collect_arrow_texts(column, missing, ColumnTarget{out.data(), 1, cells}));
        cells.finish();
        ASSERT_EQ(cells.texts().size(), 3u);
        EXPECT_EQ(out, (std::vector<double>{0, 1, 2}));
    }
}

// Chunks of Arrow strings ("u") or large strings ("U"), each sliced past its first `skip` cells;
// a null cell's slot holds bytes, which no read may take for a text.
template <class Offset>
struct SlicedStrings {
    struct Chunk {
        std::vector<Offset> offsets{0};
        std::string data;
        std::vector<std::uint8_t> validity;
        const void* buffers[3];
    };
    std::vector<Chunk> parts;
    arrow::ArrowChunks chunks;

    SlicedStrings(const std::vector<Texts>& chunk_texts, std::size_t skip) {
        ArrowSchema schema{};
        schema.format = sizeof(Offset) == 4 ? "u" : "U";
        schema.release = [](ArrowSchema* s) { s->release = nullptr; };
        chunks.adopt_schema(schema);
        parts.reserve(chunk_texts.size());  // buffers point into the parts
        for (const Texts& texts : chunk_texts) {
            Chunk& part = parts.emplace_back();
            part.validity.assign((texts.size() + skip + 7) / 8, 0);
            for (std::size_t i = 0; i < skip + texts.size(); ++i) {
                const bool present = i >= skip && texts[i - skip];
                part.data += present ? *texts[i - skip] : std::string("junk");
                if (present) part.validity[i / 8] |= static_cast<std::uint8_t>(1u << (i % 8));
                part.offsets.push_back(static_cast<Offset>(part.data.size()));
            }
            part.buffers[0] = part.validity.data();
            part.buffers[1] = part.offsets.data();
            part.buffers[2] = part.data.data();
            ArrowArray array{};
            array.length = static_cast<std::int64_t>(texts.size());
            array.offset = static_cast<std::int64_t>(skip);
            array.null_count = -1;
            array.n_buffers = 3;
            array.buffers = part.buffers;
            array.release = [](ArrowArray* a) { a->release = nullptr; };
            chunks.adopt_array(array);
        }
    }
};

template <class Offset>
void expect_sliced_chunks_read_back() {
    std::mt19937_64 rng(sizeof(Offset));
    std::vector<Texts> chunk_texts(3);
    Texts expected;
    std::set<std::string> distinct;
    for (Texts& texts : chunk_texts) {
        for (std::size_t i = 0; i < 700; ++i) {
            if (rng() % 8 == 0) {
                texts.emplace_back();
                expected.emplace_back("<NA>");
                continue;
            }
            // Sizes 0 to 20 over two letters: texts repeat, and some lie in a chunk's last bytes.
            std::string text(static_cast<std::size_t>(rng() % 21), 'a');
            for (char& c : text) c = static_cast<char>('a' + rng() % 2);
            texts.push_back(text);
            expected.push_back(text);
            distinct.insert(text);
        }
    }
    const SlicedStrings<Offset> strings(chunk_texts, 5);
    const auto column = arrow::ArrowColumn::open(strings.chunks).value();
    ColumnCells cells(0);
    std::vector<double> out(column.rows(), -1.0);
    ASSERT_TRUE(
        collect_arrow_texts(column, MissingCell::NotAvailable, ColumnTarget{out.data(), 1, cells}));
    const Read read = read_back(cells, out);
    EXPECT_EQ(read.rows, expected);
    EXPECT_EQ(read.entries, distinct.size() + 1);  // equal texts share an entry; <NA> has one
}

TEST(CollectArrowTexts, RefusesTheFirstRowWhoseTextIsNotUtf8) {
    // A producer that skipped validation: the first bad text fails the read at its row, however
    // often it or another bad text comes later.
    Strings strings(Texts{"a", none, "b\xff", "a", "\xc0\x80", "b\xff"});
    const auto column = arrow::ArrowColumn::open(strings.chunks).value();
    ColumnCells cells(0);
    std::vector<double> out(column.rows());
    const Outcome read =
        collect_arrow_texts(column, MissingCell::NotANumber, ColumnTarget{out.data(), 1, cells});
    ASSERT_FALSE(read);
    EXPECT_EQ(read.error().kind, ErrorKind::invalid_text);
    EXPECT_EQ(read.error().row, 2u);
}

TEST(CollectArrowTexts, SlicedChunksOfBothOffsetWidthsReadTheirOwnTexts) {
    expect_sliced_chunks_read_back<std::int32_t>();
    expect_sliced_chunks_read_back<std::int64_t>();
}

TEST(CollectArrowTexts, LeadingMissingCellsCountTowardTheFirstTextRowUnlessTheColumnTurnedBefore) {
    const Texts texts{none, none, "b", none};
    for (const bool turned : {false, true}) {
        // A column that turned before these rows reads every missing cell as str() of a NaN,
        // even with no text at all.
        for (const Texts& cells : {texts, Texts{none, none}}) {
            Strings strings(cells);
            const auto column = arrow::ArrowColumn::open(strings.chunks).value();
            ColumnCells collected(0);
            if (turned) collected.make_categorical();
            std::vector<double> out(cells.size());
            ASSERT_TRUE(collect_arrow_texts(column, MissingCell::NotANumber,
                                            ColumnTarget{out.data(), 1, collected}));
            if (!turned) {
                if (cells.size() > 2) {
                    EXPECT_EQ(collected.first_text_row(), 2u);
                }
                continue;
            }
            EXPECT_EQ(collected.first_text_row(), 0u);
            const Read read = read_back(collected, out);
            EXPECT_TRUE(read.categorical);
            EXPECT_EQ(read.rows.front(), "nan");
            EXPECT_EQ(read.rows.back(), "nan");
        }
    }
}

TEST(CollectCategoryCodes, NumbersOnlyOccurringCategoriesAndRefusesStrayCodes) {
    const std::vector<std::string_view> categories{"a", "b", "c", "d"};
    const std::vector<std::int16_t> codes{-1, 3, 1, 3, -1};
    ColumnCells cells(0);
    std::vector<double> out(10, -2.0);
    const ColumnMemory memory{reinterpret_cast<const char*>(codes.data()), 2, StorageKind::int16};
    ASSERT_TRUE(collect_category_codes(memory, codes.size(), categories, MissingCell::NotANumber,
                                       ColumnTarget{out.data(), 2, cells}));
    std::vector<double> column;
    for (std::size_t i = 0; i < codes.size(); ++i) {
        column.push_back(out[2 * i]);
        EXPECT_EQ(out[2 * i + 1], -2.0);  // the stride is kept
    }
    const Read read = read_back(cells, column);
    EXPECT_EQ(read.rows, (Texts{"NaN", "d", "b", "d", "nan"}));
    EXPECT_EQ(read.entries, 4u);
    for (const std::int16_t stray : {std::int16_t{4}, std::int16_t{-2}}) {
        const std::vector<std::int16_t> bad{0, stray};
        ColumnCells ignored(0);
        const Outcome refused = collect_category_codes(
            {reinterpret_cast<const char*>(bad.data()), 2, StorageKind::int16}, bad.size(),
            categories, MissingCell::NotANumber, ColumnTarget{out.data(), 1, ignored});
        ASSERT_FALSE(refused);
        EXPECT_EQ(refused.error().kind, ErrorKind::stray_code);
        EXPECT_EQ(refused.error().row, 1u);
    }
}

TEST(CollectCategoryCodes, AscendingCategoriesReadAsInAnyOrder) {
    // Ascending categories become entries in their own order; the rows must read the same texts
    // as through categories in another order, under both kinds of missing cell.
    const std::vector<std::string_view> ascending{"a", "b", "c", "d", "e"};
    const std::vector<std::string_view> descending{"e", "d", "c", "b", "a"};
    // A column that turned before these rows reads every missing cell as one after a text.
    const std::vector<std::int8_t> codes{-1, 3, 1, -1, 3, 0, -1};
    for (const MissingCell missing : {MissingCell::NotANumber, MissingCell::NotAvailable}) {
        for (const bool turned : {false, true}) {
            std::vector<Read> reads;
            std::vector<std::size_t> first_text_rows;
            for (const bool reversed : {false, true}) {
                const auto& categories = reversed ? descending : ascending;
                std::vector<std::int8_t> mapped = codes;
                for (std::int8_t& code : mapped) {
                    if (code >= 0 && reversed) code = static_cast<std::int8_t>(4 - code);
                }
                ColumnCells cells(0);
                if (turned) cells.make_categorical();
                std::vector<double> out(codes.size(), -2.0);
                ASSERT_TRUE(collect_category_codes(
                    {reinterpret_cast<const char*>(mapped.data()), 1, StorageKind::int8},
                    mapped.size(), categories, missing, ColumnTarget{out.data(), 1, cells}));
                first_text_rows.push_back(cells.first_text_row());
                reads.push_back(read_back(cells, out));
            }
            EXPECT_EQ(reads[0].rows, reads[1].rows);
            EXPECT_EQ(reads[0].entries, reads[1].entries);
            const bool numbers_first = missing == MissingCell::NotANumber && !turned;
            EXPECT_EQ(first_text_rows, std::vector<std::size_t>(2, numbers_first ? 1 : 0));
            if (missing == MissingCell::NotANumber) {
                EXPECT_EQ(*reads[0].rows.front(), numbers_first ? "NaN" : "nan");
            }
        }
    }
    // An entry per row stays in row order, as encode_table reads it.
    const std::vector<std::int8_t> each{-1, 2, 0};
    ColumnCells cells(0);
    std::vector<double> out(3);
    ASSERT_TRUE(collect_category_codes(
        {reinterpret_cast<const char*>(each.data()), 1, StorageKind::int8}, each.size(), ascending,
        MissingCell::NotANumber, ColumnTarget{out.data(), 1, cells}));
    EXPECT_EQ(out, (std::vector<double>{0, 1, 2}));
}

}  // namespace
}  // namespace vexilo

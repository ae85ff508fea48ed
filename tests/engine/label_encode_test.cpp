// The numbering rule: byte order, missing-value markers, map contents, row order of the codes, and
// a randomized comparison with a plain ordered-map reference on pools of one and four threads.
#include "engine/label_encode.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace vexilo {
namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();  // stands for "missing"

using Map = std::map<std::string, std::optional<std::uint64_t>>;

Map as_ordered(const ForwardMap& forward) { return Map(forward.begin(), forward.end()); }

// The numbering rule written out the slow, obvious way.
struct Reference {
    std::vector<double> codes;
    Map map;
};

Reference reference_encode(const std::vector<std::string>& cells) {
    const auto byte_less = [](const std::string& a, const std::string& b) {
        return std::lexicographical_compare(
            a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
                return static_cast<unsigned char>(x) < static_cast<unsigned char>(y);
            });
    };
    std::vector<std::string> sorted = cells;
    std::sort(sorted.begin(), sorted.end(), byte_less);
    sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());
    Reference ref;
    std::uint64_t next = 0;
    for (const std::string& text : sorted) {
        const bool marker = text == "nan" || text == "NaN" || text == "<NA>";
        ref.map[text] = marker ? std::nullopt : std::optional<std::uint64_t>(next++);
    }
    for (const std::string& text : cells) {
        const std::optional<std::uint64_t> code = ref.map.at(text);
        ref.codes.push_back(code ? static_cast<double>(*code) : nan);
    }
    return ref;
}

// Codes compare equal when both are the same number or both are the exact missing-value NaN.
void expect_codes(const std::vector<double>& actual, const std::vector<double>& expected,
                  const std::string& label) {
    ASSERT_EQ(actual.size(), expected.size()) << label;
    for (std::size_t i = 0; i < actual.size(); ++i) {
        if (std::isnan(expected[i])) {
            ASSERT_EQ(std::bit_cast<std::uint64_t>(actual[i]), 0x7FF8000000000000u)
                << label << " row " << i;
        } else {
            ASSERT_EQ(actual[i], expected[i]) << label << " row " << i;
        }
    }
}

// The map holds exactly the reference's entries, and finds each of them by lookup.
void expect_map(const ForwardMap& forward, const Map& expected, const std::string& label) {
    ASSERT_EQ(as_ordered(forward), expected) << label;
    for (const auto& [text, code] : expected) {
        const auto found = forward.find(text);
        ASSERT_NE(found, forward.end()) << label << " " << text;
        ASSERT_EQ(found->second, code) << label << " " << text;
    }
}

std::vector<std::string_view> views_of(const std::vector<std::string>& cells) {
    return std::vector<std::string_view>(cells.begin(), cells.end());
}

class LabelEncodeTest : public ::testing::TestWithParam<std::size_t> {
protected:
    pool::ThreadPool pool{GetParam()};
};

INSTANTIATE_TEST_SUITE_P(Threads, LabelEncodeTest, ::testing::Values(1, 4),
                         [](const auto& test) { return std::to_string(test.param) + "_threads"; });

TEST_P(LabelEncodeTest, FixedCases) {
    using namespace std::string_literals;
    const struct {
        const char* name;
        std::vector<std::string> cells;
        std::vector<double> codes;
        Map map;
    } cases[] = {
        {"example",
         {"b", "a", "nan", "b", "<NA>", "A"},
         {2, 1, nan, 2, nan, 0},
         {{"<NA>", {}}, {"A", 0}, {"a", 1}, {"b", 2}, {"nan", {}}}},
        {"empty column", {}, {}, {}},
        {"markers only",
         {"nan", "NaN", "<NA>", "nan"},
         {nan, nan, nan, nan},
         {{"nan", {}}, {"NaN", {}}, {"<NA>", {}}}},
        {"look-alikes are ordinary values",
         {"None", "NAN", "Nan", " nan", "nan ", ""},
         {4, 2, 3, 1, 5, 0},
         {{"None", 4}, {"NAN", 2}, {"Nan", 3}, {" nan", 1}, {"nan ", 5}, {"", 0}}},
        {"uppercase before lowercase", {"a", "B"}, {1, 0}, {{"a", 1}, {"B", 0}}},
        {"digits sort as text", {"9", "10"}, {1, 0}, {{"9", 1}, {"10", 0}}},
        {"multi-byte after ASCII", {"\xc3\xa9", "z"}, {1, 0}, {{"\xc3\xa9", 1}, {"z", 0}}},
        {"bytes compare unsigned", {"\x80", "\x7f"}, {1, 0}, {{"\x80", 1}, {"\x7f", 0}}},
        {"empty string sorts first", {"x", "", "x"}, {1, 0, 1}, {{"x", 1}, {"", 0}}},
        {"prefix sorts before extension; NUL is a byte",
         {"ab\0"s, "ab", "a", "ab\0\0"s, "ab\x01"s},
         {2, 1, 0, 3, 4},
         {{"ab\0"s, 2}, {"ab", 1}, {"a", 0}, {"ab\0\0"s, 3}, {"ab\x01"s, 4}}},
        {"long texts that share their first 8 and 16 bytes",
         {"abcdefgh-2", "abcdefgh", "abcdefgh-1", "abcdefghijklmnop+", "abcdefghijklmnop"},
         {2, 0, 1, 4, 3},
         {{"abcdefgh-2", 2},
          {"abcdefgh", 0},
          {"abcdefgh-1", 1},
          {"abcdefghijklmnop+", 4},
          {"abcdefghijklmnop", 3}}},
        {"one value with markers", {"v", "nan", "v", "v"}, {0, nan, 0, 0}, {{"v", 0}, {"nan", {}}}},
        {"codes skip markers in the middle",
         {"z", "NaN", "A", "<NA>", "m"},
         {2, nan, 0, nan, 1},
         {{"z", 2}, {"NaN", {}}, {"A", 0}, {"<NA>", {}}, {"m", 1}}},
    };
    for (const auto& c : cases) {
        const std::vector<std::string_view> cells = views_of(c.cells);
        const LabelEncoding encoding = label_encode(cells, pool);
        expect_codes(encoding.codes, c.codes, c.name);
        EXPECT_EQ(as_ordered(encoding.forward_map), c.map) << c.name;
    }
}

// A random number below bound, as size_t on every target.
std::size_t below(std::mt19937_64& rng, std::size_t bound) {
    return static_cast<std::size_t>(rng() % bound);
}

// Columns of every shape: few or many distinct texts, markers, short and long texts, NUL and
// high bytes, texts that agree on long prefixes.
std::vector<std::string> random_column(std::mt19937_64& rng, std::size_t rows,
                                       std::size_t vocabulary_size) {
    std::vector<std::string> vocabulary = {"nan", "NaN", "<NA>", "", "nan "};
    const std::string stem = "category-with-a-long-shared-stem";
    while (vocabulary.size() < vocabulary_size + 5) {
        std::string text = rng() % 4 == 0 ? stem.substr(0, below(rng, stem.size())) : std::string();
        const std::size_t extra = below(rng, 20);
        for (std::size_t i = 0; i < extra; ++i) {
            const std::uint64_t kind = rng() % 10;
            text.push_back(kind == 0   ? static_cast<char>(rng() % 256)
                           : kind == 1 ? '\0'
                                       : static_cast<char>('a' + rng() % 4));
        }
        vocabulary.push_back(std::move(text));
    }
    std::vector<std::string> cells(rows);
    for (std::string& cell : cells) cell = vocabulary[below(rng, vocabulary.size())];
    return cells;
}

TEST_P(LabelEncodeTest, MatchesTheReferenceOnRandomColumns) {
    std::mt19937_64 rng(GetParam() * 7919);
    for (int round = 0; round < 300; ++round) {
        const std::size_t rows = below(rng, round % 10 == 0 ? 20000 : 300);
        const std::size_t vocabulary = 1 + below(rng, rng() % 2 ? 8 : 5000);
        std::vector<std::string> cells = random_column(rng, rows, vocabulary);
        // Some columns come sorted, repeats side by side: the sort is skipped for them.
        if (round % 3 == 0) std::sort(cells.begin(), cells.end());
        const std::vector<std::string_view> views = views_of(cells);
        const Reference ref = reference_encode(cells);
        const std::string label = "round " + std::to_string(round);
        // Told wrongly that texts do not repeat, the numbering still gets there.
        for (const Repeats repeats : {Repeats::Possible, Repeats::OnlyMarkers}) {
            const LabelEncoding encoding = label_encode(views, pool, repeats);
            expect_codes(encoding.codes, ref.codes, label);
            expect_map(encoding.forward_map, ref.map, label);
        }
    }
}

TEST(LabelEncode, MostlyDistinctLargeColumnMatchesTheReference) {
    // On one thread the column splits into pieces long enough, with few enough repeats, that
    // they stop deduplicating and leave the duplicates to the sort.
    pool::ThreadPool pool(1);
    std::mt19937_64 rng(11);
    std::vector<std::string> cells(300'000);
    for (std::string& cell : cells) {
        const std::uint64_t pick = rng() % 400'000;
        cell = pick % 1000 == 0 ? "nan" : "t" + std::to_string(pick * 2654435761u % 1'000'003);
    }
    const std::vector<std::string_view> views = views_of(cells);
    const LabelEncoding encoding = label_encode(views, pool);
    const Reference ref = reference_encode(cells);
    expect_codes(encoding.codes, ref.codes, "large");
    expect_map(encoding.forward_map, ref.map, "large");
}

TEST_P(LabelEncodeTest, WritesOnlyItsStridedSlotsAndRepeatsExactly) {
    const std::vector<std::string> cells = {"q", "nan", "b", "q", "a"};
    const std::vector<std::string_view> views = views_of(cells);
    std::vector<double> table(cells.size() * 3, -7.0);
    const ForwardMap first = label_encode_into(views, table.data() + 1, 3, pool);
    const std::vector<double> expected = {-7, 2, -7, -7, nan, -7, -7, 1, -7, -7, 2, -7, -7, 0, -7};
    expect_codes(table, expected, "strided");
    const LabelEncoding again = label_encode(views, pool);
    EXPECT_EQ(as_ordered(again.forward_map), as_ordered(first));
    expect_codes(again.codes, {2, nan, 1, 2, 0}, "again");
}

// The forward map's entries come ordered by the stretch of its index they first look in, so that
// building the index fills it front to back.
TEST_P(LabelEncodeTest, ForwardMapIteratesInTheOrderOfItsIndexStretches) {
    std::vector<std::string> cells;
    for (std::size_t i = 0; i < 150'000; ++i)
        cells.push_back("s" + std::to_string(i * 13 % 50'000));
    const ForwardMap forward = label_encode(views_of(cells), pool).forward_map;
    ASSERT_EQ(forward.size(), 50'000u);
    const ForwardMap::StretchOrder order = forward.stretch_order(forward.size(), 16);
    ASSERT_EQ(order.count(), 16u);
    std::size_t last = 0;
    for (const auto& [text, code] : forward) {
        ASSERT_GE(order.of(text), last) << text;
        last = order.of(text);
    }
    EXPECT_EQ(last, 15u);
}

// Inverse maps of encoded columns (codes 0 .. k-1) and of hand-made forward maps whose codes
// have gaps or repeats, as a restored state may hold; small and large enough to go parallel.
TEST_P(LabelEncodeTest, InverseMapsMatchANaiveInversion) {
    std::vector<ForwardMap> forwards;
    for (const std::size_t distinct : {5u, 40'000u}) {
        std::vector<std::string> cells;
        for (std::size_t i = 0; i < distinct; ++i) cells.push_back("v" + std::to_string(i * 7));
        cells.push_back("nan");
        cells.push_back("<NA>");
        forwards.push_back(label_encode(views_of(cells), pool).forward_map);
        ForwardMap gaps;
        for (std::size_t i = 0; i < distinct; ++i) {
            gaps.emplace("g" + std::to_string(i),
                         i % 9 == 0 ? std::nullopt : std::optional<std::uint64_t>(i * 3));
        }
        forwards.push_back(std::move(gaps));
        ForwardMap repeats;  // two texts share each code
        for (std::size_t i = 0; i < distinct; ++i) repeats.emplace("r" + std::to_string(i), i / 2);
        forwards.push_back(std::move(repeats));
    }
    for (const ForwardMap& forward : forwards) {
        std::map<std::uint64_t, std::vector<std::string>> naive;
        for (const auto& [text, code] : forward) {
            if (code) naive[*code].emplace_back(text);
        }
        for (const InverseMap& inverse :
             {build_inverse_map(forward, pool), invert_forward_map(forward)}) {
            ASSERT_EQ(inverse.size(), naive.size());
            for (const auto& [code, texts] : naive) {
                // With repeated codes, any one of the texts may win.
                const auto found = inverse.find(code);
                ASSERT_NE(found, inverse.end()) << code;
                EXPECT_NE(std::find(texts.begin(), texts.end(), found->second), texts.end());
            }
        }
    }
}

TEST(LabelEncode, MissingMarkersAndTheirCode) {
    for (const char* marker : {"nan", "NaN", "<NA>"}) EXPECT_TRUE(is_missing_marker(marker));
    for (const char* other : {"NAN", "Nan", "na", "nan ", " nan", "<na>", "None", ""}) {
        EXPECT_FALSE(is_missing_marker(other)) << other;
    }
    EXPECT_EQ(std::bit_cast<std::uint64_t>(missing_code), 0x7FF8000000000000u);
}

}  // namespace
}  // namespace vexilo

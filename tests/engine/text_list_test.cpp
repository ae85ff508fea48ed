// Sorted distinct text lists: byte order, merging, and the learned state made from them, which
// must equal what encoding a column holding those texts learns.
#include "engine/text_list.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "engine/encode_table.h"
#include "engine/label_encode.h"

namespace vexilo {
namespace {

std::vector<std::string> texts_of(const TextList& list) {
    const TextListView view(list);
    EXPECT_TRUE(view.well_formed());
    std::vector<std::string> texts;
    for (std::size_t i = 0; i < view.size(); ++i) texts.emplace_back(view[i]);
    return texts;
}

TextList list_of(const std::vector<std::string_view>& texts) {
    return sorted_distinct_texts(texts);
}

using Texts = std::vector<std::string>;

TEST(SortedDistinctTexts, AreDistinctInByteOrder) {
    // Bytes compare unsigned; a shared eight-byte prefix leaves the order to the rest, and a
    // trailing NUL is a byte of its own.
    const std::string nul("abcdefgh\0", 9);
    const TextList list = list_of({"b", "", "ü", "abcdefghz", nul, "abcdefgh", "B", "b", "nan"});
    EXPECT_EQ(texts_of(list), (Texts{"", "B", "abcdefgh", nul, "abcdefghz", "b", "nan", "ü"}));
    EXPECT_TRUE(texts_of(list_of({})).empty());
}

TextList merged(const std::vector<const TextList*>& lists) {
    std::vector<TextListView> views;
    for (const TextList* list : lists) views.emplace_back(*list);
    return merge_text_lists(views);
}

TEST(MergeTextLists, GivesTheSortedUnionOfAnyNumberOfLists) {
    const TextList a = list_of({"a", "c", "e", ""});
    const TextList b = list_of({"b", "c", "f"});
    const TextList c = list_of({"g", "a"});
    const TextList empty;
    const Texts both{"", "a", "b", "c", "e", "f"};
    EXPECT_EQ(texts_of(merged({&a, &b})), both);
    EXPECT_EQ(texts_of(merged({&b, &a})), both);
    EXPECT_EQ(texts_of(merged({&empty, &a})), texts_of(a));
    EXPECT_EQ(texts_of(merged({&c, &b, &empty, &a})), (Texts{"", "a", "b", "c", "e", "f", "g"}));
    EXPECT_EQ(texts_of(merged({&a})), texts_of(a));
    EXPECT_TRUE(texts_of(merged({})).empty());
}

TEST(TextListView, WellFormedOnlyWithOffsetsThatNeverDecreaseAndEndAtTheLastByte) {
    const std::vector<std::uint64_t> ends{1, 3};
    const auto* raw = reinterpret_cast<const char*>(ends.data());
    EXPECT_TRUE(TextListView("abc", raw, 2).well_formed());
    EXPECT_FALSE(TextListView("abcd", raw, 2).well_formed());
    const std::vector<std::uint64_t> back{2, 1};
    EXPECT_FALSE(TextListView("ab", reinterpret_cast<const char*>(back.data()), 2).well_formed());
    EXPECT_TRUE(TextListView("", raw, 0).well_formed());
}

TEST(EncodingFromTexts, EqualsEncodingAColumnSplitIntoPiecesWhoseListsAreMerged) {
    // Many texts (so that the maps are large and numbered in parallel), markers among them.
    std::mt19937 random(7);
    std::vector<std::string> cells;
    for (int i = 0; i < 50000; ++i) {
        const auto pick = random() % 30000;
        cells.push_back(pick % 997 == 0 ? "nan" : pick % 991 == 0 ? "<NA>" : std::to_string(pick));
    }
    std::vector<std::string_view> views(cells.begin(), cells.end());
    Table table = uninitialised_table(cells.size(), 1, Layout::RowMajor);
    CollectedTable input;
    input.categorical.push_back(CollectedColumn{0, ColumnCells(cells.size())});
    for (const std::string_view cell : views) input.categorical[0].cells.add_view(cell);
    input.categorical[0].cells.finish();
    const EncodingInfo encoded = encode_table(input, table);

    const std::span<const std::string_view> all(views);
    const TextList left = sorted_distinct_texts(all.first(20000));
    const TextList right = sorted_distinct_texts(all.subspan(20000));
    const TextList both = merged({&left, &right});
    const TextListView view(both);
    std::vector<std::pair<ColumnIndex, std::vector<std::string_view>>> columns(1);
    columns[0].first = 0;
    for (std::size_t i = 0; i < view.size(); ++i) columns[0].second.push_back(view[i]);
    EXPECT_TRUE(same_content(encoding_from_texts(columns), encoded));

    columns[0].first = 3;
    const EncodingInfo moved = encoding_from_texts(columns);
    EXPECT_EQ(moved.categorical_columns, (std::vector<ColumnIndex>{3}));
    EXPECT_TRUE(same_content(encoding_from_texts({}), EncodingInfo{}));
}

}  // namespace
}  // namespace vexilo

// The text index: equal keys share an entry numbered in the order first seen.
#include "engine/text_index.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vexilo {
namespace {

TEST(TextIndex, NumbersDistinctKeysInTheOrderFirstSeen) {
    TextIndex index;
    const std::string a1 = "alpha", a2 = "alpha", b = "beta", empty;
    EXPECT_EQ(index.find_or_add(b), std::make_pair(std::size_t{0}, true));
    EXPECT_EQ(index.find_or_add(a1), std::make_pair(std::size_t{1}, true));
    EXPECT_EQ(index.find_or_add(a2), std::make_pair(std::size_t{1}, false));  // equal bytes
    EXPECT_EQ(index.find_or_add(empty), std::make_pair(std::size_t{2}, true));
    // The same bytes under another kind are another key.
    EXPECT_EQ(index.find_or_add(a1, 2), std::make_pair(std::size_t{3}, true));
    EXPECT_EQ(index.find_or_add(a2, 2), std::make_pair(std::size_t{3}, false));
    // Kinds too large for a slot's tag (20 shares its low bits with 4) are told apart too.
    EXPECT_EQ(index.find_or_add(a1, 20), std::make_pair(std::size_t{4}, true));
    EXPECT_EQ(index.find_or_add(a2, 4), std::make_pair(std::size_t{5}, true));
    EXPECT_EQ(index.find_or_add(a2, 20), std::make_pair(std::size_t{4}, false));
    // A number taken without a key is found by no key.
    EXPECT_EQ(index.add_unkeyed(), 6u);
    EXPECT_EQ(index.find_or_add(empty, 3), std::make_pair(std::size_t{7}, true));
    EXPECT_EQ(index.size(), 8u);
}

TEST(TextIndex, TellsKeysApartByEveryByteAtEverySize) {
    // Short keys are compared by their head words: each byte, at each size, must count.
    TextIndex index;
    std::vector<std::string> keys;
    for (std::size_t size = 0; size <= 40; ++size) {
        const std::string base(size, '\x5A');
        keys.push_back(base);
        for (std::size_t at = 0; at < size; ++at) {
            std::string changed = base;
            changed[at] = '\0';
            keys.push_back(changed);
        }
    }
    for (std::size_t i = 0; i < keys.size(); ++i) ASSERT_EQ(index.find_or_add(keys[i]).first, i);
    for (std::size_t i = 0; i < keys.size(); ++i) {
        const std::string copy = keys[i];
        ASSERT_EQ(index.find_or_add(copy), std::make_pair(i, false)) << i;
    }
}

TEST(TextIndex, ReadableHeadIsTheHeadWhateverFollowsTheKey) {
    const std::string memory = "0123456789abcdefghijklmnopqrstuvwxyz\xff\xfe";
    for (std::size_t size = 0; size + 16 <= memory.size(); ++size) {
        const std::string_view key(memory.data() + 1, size);
        const TextIndex::Head expected = TextIndex::head(key);
        const TextIndex::Head got = TextIndex::head_readable(key);
        EXPECT_EQ(got.size, expected.size);
        EXPECT_EQ(got.words[0], expected.words[0]) << size;
        EXPECT_EQ(got.words[1], expected.words[1]) << size;
    }
}

TEST(TextIndex, KeepsEveryEntryThroughGrowth) {
    std::vector<std::string> keys;
    for (int i = 0; i < 100000; ++i) keys.push_back("key " + std::to_string(i));
    TextIndex index;
    for (std::size_t i = 0; i < keys.size(); ++i) {
        ASSERT_EQ(index.find_or_add(keys[i]).first, i);
    }
    for (std::size_t i = keys.size(); i-- > 0;) {
        const std::string copy = keys[i];
        ASSERT_EQ(index.find_or_add(copy), std::make_pair(i, false));
    }
    index.release();
    EXPECT_EQ(index.size(), 0u);
    EXPECT_EQ(index.find_or_add(keys[5]).first, 0u);
}

}  // namespace
}  // namespace vexilo

// Learned-state records: keyed hashing, inversion of a forward map, content equality.
#include "engine/encoding_info.h"

#include <gtest/gtest.h>

#include <string>

namespace vexilo {
namespace {

TEST(SeededHash, EachHasherHasItsOwnKey) {
    SeededHash a, b;
    EXPECT_NE(a.key0, b.key0);
    int differing = 0;
    for (int i = 0; i < 64; ++i) {
        const std::string text = "value-" + std::to_string(i);
        differing += a(std::string_view(text)) != b(std::string_view(text));
    }
    EXPECT_GT(differing, 60);
}

TEST(SeededHash, StringAndViewHashAlikeAtEveryLength) {
    SeededHash h;
    std::string text;
    for (int length = 0; length < 40; ++length) {
        EXPECT_EQ(h(text), h(std::string_view(text)));
        // Texts that differ only in their last byte must (almost always) hash apart.
        if (!text.empty()) {
            std::string other = text;
            other.back() = static_cast<char>(other.back() + 1);
            EXPECT_NE(h(text), h(other)) << length;
        }
        text.push_back(static_cast<char>('a' + length % 26));
    }
}

TEST(InvertForwardMap, SkipsMarkersAndReversesCodes) {
    ForwardMap forward;
    forward.emplace("a", 0);
    forward.emplace("b", 1);
    forward.emplace("<NA>", std::nullopt);
    const InverseMap inverse = invert_forward_map(forward);
    ASSERT_EQ(inverse.size(), 2u);
    EXPECT_EQ(inverse.at(0), "a");
    EXPECT_EQ(inverse.at(1), "b");
}

TEST(EncodingInfo, EqualContentDespiteDifferentKeysAndOrder) {
    EncodingInfo a, b;
    a.categorical_columns = b.categorical_columns = {0, 2};
    for (const char* text : {"x", "y", "z"}) {
        a.forward_maps[0].emplace(text, text[0] - 'x');
    }
    for (const char* text : {"z", "x", "y"}) {
        b.forward_maps[0].emplace(text, text[0] - 'x');
    }
    EXPECT_TRUE(same_content(a, b));
    b.forward_maps[0]["z"] = std::nullopt;
    EXPECT_FALSE(same_content(a, b));
}

}  // namespace
}  // namespace vexilo

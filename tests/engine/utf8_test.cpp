// The UTF-8 validator: well-formed texts pass, every kind of ill-formed sequence is found where it
// starts, inside and after runs of ASCII that are checked a word at a time.
#include "engine/utf8.h"

#include <gtest/gtest.h>

#include <string>

namespace vexilo {
namespace {

TEST(Utf8, AcceptsWellFormedTextOnly) {
    for (const char* good : {"", "abc", "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80",
                             "\xF4\x8F\xBF\xBF", "\xED\x9F\xBF"}) {
        EXPECT_TRUE(is_valid_utf8(good)) << good;
    }
    EXPECT_TRUE(is_valid_utf8(std::string("a\0b", 3)));
    for (const char* bad :
         {"\x80", "\xC0\x80", "\xC1\xBF", "\xE0\x80\x80", "\xED\xA0\x80", "\xF0\x80\x80\x80",
          "\xF4\x90\x80\x80", "\xF5\x80\x80\x80", "\xC3", "\xE2\x82", "a\xFF"}) {
        EXPECT_FALSE(is_valid_utf8(bad)) << bad;
    }
}

TEST(Utf8, FindsTheFirstFlawAfterAnyRunOfAscii) {
    for (std::size_t ascii = 0; ascii < 20; ++ascii) {
        const std::string prefix(ascii, 'x');
        const auto invalid = first_utf8_flaw(prefix + "\xC3\xA9\xE2\x28\xA1" + "\xFF");
        ASSERT_TRUE(invalid);
        EXPECT_EQ(invalid->index, ascii + 2);
        EXPECT_EQ(invalid->valid_prefix, 1u);  // E2 28: the second byte is no continuation
        EXPECT_FALSE(invalid->incomplete);
        const auto cut = first_utf8_flaw(prefix + "\xF0\x9F\x98");
        ASSERT_TRUE(cut);
        EXPECT_EQ(cut->index, ascii);
        EXPECT_EQ(cut->valid_prefix, 3u);
        EXPECT_TRUE(cut->incomplete);
    }
}

}  // namespace
}  // namespace vexilo

// Shortest round-trip positional rendering of doubles.
#include "engine/format_double.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>

namespace vexilo {
namespace {

std::string rendered(double value) {
    std::string text;
    append_double(text, value);
    return text;
}

struct Case {
    double value;
    const char* text;
};

class FormatDoubleCases : public ::testing::TestWithParam<Case> {};

TEST_P(FormatDoubleCases, WritesTheShortestPositionalText) {
    EXPECT_EQ(rendered(GetParam().value), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Examples, FormatDoubleCases,
    ::testing::Values(Case{1.0, "1"}, Case{-0.0, "-0"}, Case{0.0, "0"}, Case{2.5, "2.5"},
                      Case{0.1, "0.1"}, Case{-0.1, "-0.1"}, Case{1e21, "1000000000000000000000"},
                      Case{1e-7, "0.0000001"}, Case{123456789012345680.0, "123456789012345680"},
                      Case{0.30000000000000004, "0.30000000000000004"},
                      Case{9007199254740993.0, "9007199254740992"},
                      Case{std::numeric_limits<double>::infinity(), "inf"},
                      Case{-std::numeric_limits<double>::infinity(), "-inf"},
                      Case{std::numeric_limits<double>::quiet_NaN(), "NaN"},
                      Case{-std::numeric_limits<double>::quiet_NaN(), "NaN"},
                      Case{std::numeric_limits<double>::signaling_NaN(), "NaN"}));

TEST(FormatDouble, ExtremesFitTheCapacityAndReadBack) {
    for (double value : {DBL_MAX, -DBL_MAX, DBL_MIN, -DBL_MIN, DBL_TRUE_MIN, -DBL_TRUE_MIN}) {
        const std::string text = rendered(value);
        EXPECT_LE(text.size(), format_double_capacity);
        EXPECT_EQ(text.find_first_of("eE"), std::string::npos) << text;
        EXPECT_EQ(std::strtod(text.c_str(), nullptr), value) << text;
    }
    EXPECT_EQ(rendered(DBL_TRUE_MIN), "0." + std::string(323, '0') + "5");
}

TEST(FormatDouble, RandomBitPatternsRoundTripWithoutExponent) {
    std::mt19937_64 bits(20240601);
    for (int i = 0; i < 20000; ++i) {
        const std::uint64_t pattern = bits();
        double value;
        std::memcpy(&value, &pattern, sizeof value);
        if (!std::isfinite(value)) continue;
        const std::string text = rendered(value);
        ASSERT_EQ(text.find_first_of("eE"), std::string::npos) << text;
        ASSERT_EQ(std::strtod(text.c_str(), nullptr), value) << text;
        // Shortest: dropping the last digit must no longer read back as the value.
        if (text.find('.') != std::string::npos) {
            const std::string shorter = text.substr(0, text.size() - 1);
            ASSERT_NE(std::strtod(shorter.c_str(), nullptr), value) << text;
        }
    }
}

}  // namespace
}  // namespace vexilo

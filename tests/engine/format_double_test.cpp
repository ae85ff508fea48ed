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
                      Case{1e23, "100000000000000000000000"},
                      Case{18446744073709551616.0, "18446744073709552000"},
                      Case{-1e30, "-1000000000000000000000000000000"},
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
    EXPECT_EQ(rendered(DBL_MAX), "17976931348623157" + std::string(292, '0'));
}

// True when no decimal with one significant digit fewer than text reads back as value: neither
// text cut after its second-to-last significant digit nor that cut raised by one in its last place.
bool no_shorter_text_reads_back(const std::string& text, double value) {
    std::string digits;
    long point = -1;  // digits before the decimal point
    for (char c : text) {
        if (c == '.') point = static_cast<long>(digits.size());
        if (c >= '0' && c <= '9') digits += c;
    }
    if (point < 0) point = static_cast<long>(digits.size());
    while (!digits.empty() && digits.back() == '0') digits.pop_back();
    while (!digits.empty() && digits.front() == '0') {
        digits.erase(0, 1);
        --point;
    }
    if (digits.size() < 2) return true;
    std::string cut = digits.substr(0, digits.size() - 1);
    std::string raised = cut;
    std::size_t i = raised.size();
    while (i > 0 && raised[i - 1] == '9') raised[--i] = '0';
    const long raised_point = i == 0 ? point + 1 : point;
    if (i == 0)
        raised.insert(0, "1");
    else
        ++raised[i - 1];
    const std::string sign = value < 0 ? "-" : "";
    for (const auto& [candidate, at] : {std::pair{cut, point}, std::pair{raised, raised_point}}) {
        const std::string shorter = sign + "0." + candidate + "e" + std::to_string(at);
        if (std::strtod(shorter.c_str(), nullptr) == value) return false;
    }
    return true;
}

TEST(FormatDouble, RandomBitPatternsGiveTheShortestRoundTripText) {
    std::mt19937_64 bits(20240601);
    for (int i = 0; i < 20000; ++i) {
        const std::uint64_t pattern = bits();
        double value;
        std::memcpy(&value, &pattern, sizeof value);
        if (!std::isfinite(value)) continue;
        const std::string text = rendered(value);
        ASSERT_EQ(text.find_first_of("eE"), std::string::npos) << text;
        ASSERT_EQ(std::strtod(text.c_str(), nullptr), value) << text;
        ASSERT_TRUE(no_shorter_text_reads_back(text, value)) << text;
    }
}

}  // namespace
}  // namespace vexilo

// Rendering Arrow dates, times, timestamps, durations and decimals as the producers' Python values
// print, reading TZif zones, and refusing values and memory that cannot be rendered. The expected
// texts were printed by pyarrow 26 and polars 2.2 (str() of each to_pylist() / to_list() value),
// and those of the zones by zoneinfo.ZoneInfo.from_file over the same bytes.
#include "engine/arrow_render.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "engine/arrow_column.h"
#include "engine/arrow_stream.h"

namespace vexilo::arrow {
namespace {

constexpr std::int64_t i64_min = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t i64_max = std::numeric_limits<std::int64_t>::max();
constexpr auto null = std::nullopt;
constexpr auto pyarrow = PythonFlavour::pyarrow;
constexpr auto polars = PythonFlavour::polars;
constexpr auto duckdb = PythonFlavour::duckdb;
constexpr auto no_pandas = PythonFlavour::pyarrow_without_pandas;

using Values = std::vector<std::optional<std::int64_t>>;

// One array's memory: each cell's little-endian 64-bit limbs, cut or sign-filled to width bytes,
// and a bitmap with nulls cleared. The array views it from offset, its release a no-op.
struct Chunk {
    std::vector<unsigned char> values;
    std::vector<unsigned char> validity;
    const void* buffers[2] = {nullptr, nullptr};
    ArrowArray array{};

    Chunk(const std::vector<std::vector<std::uint64_t>>& cells, std::size_t width,
          const std::vector<bool>& nulls = {}, std::int64_t offset = 0)
        : values(cells.size() * width), validity(cells.size() / 8 + 1, 0xff) {
        for (std::size_t i = 0; i < cells.size(); ++i) {
            for (std::size_t b = 0; b < width; ++b) {
                const std::uint64_t limb = cells[i][std::min(b / 8, cells[i].size() - 1)];
                values[i * width + b] = static_cast<unsigned char>(limb >> (8 * (b % 8)));
            }
            if (i < nulls.size() && nulls[i])
                validity[i / 8] ^= static_cast<unsigned char>(1u << (i % 8));
        }
        buffers[0] = validity.data();
        buffers[1] = values.data();
        array.length = static_cast<std::int64_t>(cells.size()) - offset;
        array.offset = offset;
        array.null_count = -1;
        array.n_buffers = 2;
        array.buffers = buffers;
        array.release = [](ArrowArray*) {};
    }
    Chunk(const Chunk&) = delete;
};

Chunk chunk_of(const Values& cells, std::size_t width, std::int64_t offset = 0) {
    std::vector<std::vector<std::uint64_t>> limbs;
    std::vector<bool> nulls;
    for (const auto& cell : cells) {
        limbs.push_back({static_cast<std::uint64_t>(cell.value_or(0))});
        nulls.push_back(!cell);
    }
    return Chunk(limbs, width, nulls, offset);
}

std::size_t width_of(std::string_view format) {
    return format == "tdD" || format == "tts" || format == "ttm" ? 4 : 8;
}

Expected<RenderedColumn> render(std::string_view format, std::span<const ArrowArray> arrays,
                                PythonFlavour flavour, const ZoneLookup& zones = {}) {
    const std::string text(format);
    ArrowSchema schema{};
    schema.format = text.c_str();
    return render_column(schema, arrays, flavour, zones);
}

std::vector<std::string> texts_of(const RenderedColumn& column) {
    std::vector<std::string> texts;
    for (std::size_t row = 0; row < column.rows(); ++row) texts.emplace_back(column.text(row));
    return texts;
}

// TZif bytes as the time zone compiler lays them out: transitions (instant, type index), types
// (UTC offset, daylight time), each abbreviation "ZZZ". Version '2': a minimal 32-bit block, the
// 64-bit one and the footer; version 0: the 32-bit block alone.
using Transitions = std::vector<std::pair<std::int64_t, unsigned char>>;
using Types = std::vector<std::pair<std::int32_t, bool>>;
std::vector<unsigned char> tzif(const Transitions& transitions, const Types& types,
                                const std::string& footer, char version = '2') {
    std::vector<unsigned char> bytes;
    const auto put = [&](std::int64_t value, int width) {
        for (int shift = 8 * (width - 1); shift >= 0; shift -= 8) {
            bytes.push_back(static_cast<unsigned char>(static_cast<std::uint64_t>(value) >> shift));
        }
    };
    const auto block = [&](int width, const Transitions& times, const Types& kinds) {
        bytes.insert(bytes.end(), {'T', 'Z', 'i', 'f', static_cast<unsigned char>(version)});
        bytes.insert(bytes.end(), 15, 0);
        for (const std::size_t count : {std::size_t{0}, std::size_t{0}, std::size_t{0},
                                        times.size(), kinds.size(), std::size_t{4}}) {
            put(static_cast<std::int64_t>(count), 4);
        }
        for (const auto& transition : times) put(transition.first, width);
        for (const auto& transition : times) bytes.push_back(transition.second);
        for (const auto& [offset, daylight] : kinds) {
            put(offset, 4);
            bytes.insert(bytes.end(), {static_cast<unsigned char>(daylight), 0});
        }
        bytes.insert(bytes.end(), {'Z', 'Z', 'Z', 0});
    };
    if (version == '\0') {
        block(4, transitions, types);
        return bytes;
    }
    block(4, {}, {{0, false}});
    block(8, transitions, types);
    bytes.push_back('\n');
    bytes.insert(bytes.end(), footer.begin(), footer.end());
    bytes.push_back('\n');
    return bytes;
}

struct Case {
    const char* format;
    PythonFlavour flavour;
    Values values;
    std::vector<std::string> texts;  // empty for a null
};

TEST(RenderColumn, GivesTheTextsOfEachProducersPythonValues) {
    const Case cases[] = {
        {"tdD",
         pyarrow,
         {0, -719162, 2932896, 19753, null},
         {"1970-01-01", "0001-01-01", "9999-12-31", "2024-01-31", ""}},
        {"tdm", pyarrow, {0, -1, 1706659200005}, {"1970-01-01", "1969-12-31", "2024-01-31"}},
        {"tdm",
         polars,
         {0, -1, 1706659200005},
         {"1970-01-01 00:00:00", "1969-12-31 23:59:59.999000", "2024-01-31 00:00:00.005000"}},
        {"tts", pyarrow, {0, 86399, -1, 90000}, {"00:00:00", "23:59:59", "23:59:59", "01:00:00"}},
        {"ttm", polars, {1, 45296789}, {"00:00:00.001000", "12:34:56.789000"}},
        {"ttn",
         pyarrow,
         {1, 45296789123456, 86399999999999},
         {"00:00:00", "12:34:56.789123", "23:59:59.999999"}},
        {"tsu:",
         pyarrow,
         {0, 1, -1, 1706702709123456, -62135596800000000},
         {"1970-01-01 00:00:00", "1970-01-01 00:00:00.000001", "1969-12-31 23:59:59.999999",
          "2024-01-31 12:05:09.123456", "0001-01-01 00:00:00"}},
        {"tss:", polars, {253402300799, -1}, {"9999-12-31 23:59:59", "1969-12-31 23:59:59"}},
        {"tsn:",
         pyarrow,
         {-1, 10, 1000, 1706702709123456789, i64_min},
         {"1969-12-31 23:59:59.999999999", "1970-01-01 00:00:00.000000010",
          "1970-01-01 00:00:00.000001", "2024-01-31 12:05:09.123456789", "NaT"}},
        {"tsn:",
         polars,
         {-1, -1001, 1706702709123456789, i64_min},
         {"1969-12-31 23:59:59.999999", "1969-12-31 23:59:59.999998", "2024-01-31 12:05:09.123456",
          "1677-09-21 00:12:43.145224"}},
        {"tsm:UTC",
         pyarrow,
         {0, -1},
         {"1970-01-01 00:00:00+00:00", "1969-12-31 23:59:59.999000+00:00"}},
        {"tsu:+05:30",
         pyarrow,
         {0, 1},
         {"1970-01-01 05:30:00+05:30", "1970-01-01 05:30:00.000001+05:30"}},
        {"tsn:-00:09",
         pyarrow,
         {5, 5000},
         {"1969-12-31 23:51:00.000000005-00:09", "1969-12-31 23:51:00.000005-00:09"}},
        {"tDs",
         pyarrow,
         {0, 1, -1, 86400, -86401, 90061, 86399999999999},
         {"0:00:00", "0:00:01", "-1 day, 23:59:59", "1 day, 0:00:00", "-2 days, 23:59:59",
          "1 day, 1:01:01", "999999999 days, 23:59:59"}},
        {"tDu",
         polars,
         {1, -1, i64_max, i64_min},
         {"0:00:00.000001", "-1 day, 23:59:59.999999", "106751991 days, 4:00:54.775807",
          "-106751992 days, 19:59:05.224192"}},
        {"tDn",
         pyarrow,
         {0, -1, 1000, 259200000000005, -259200000000000, i64_min},
         {"0 days 00:00:00", "-1 days +23:59:59.999999999", "0 days 00:00:00.000001",
          "3 days 00:00:00.000000005", "-3 days +00:00:00", "NaT"}},
        {"tDn",
         polars,
         {-1, -1001, 86400000001999, -i64_max},
         {"0:00:00", "-1 day, 23:59:59.999999", "1 day, 0:00:00.000001",
          "-106752 days, 0:12:43.145225"}},
        {"tsn:",
         duckdb,
         {-1, -1001, 1706702709123456789, i64_max, -i64_max},
         {"1970-01-01 00:00:00", "1969-12-31 23:59:59.999999", "2024-01-31 12:05:09.123456",
          "9999-12-31 23:59:59.999999", "0001-01-01 00:00:00"}},
        {"tdD", duckdb, {2147483647, -2147483647}, {"9999-12-31", "0001-01-01"}},
        {"tsn:UTC",
         no_pandas,
         {-1000, 0},
         {"1969-12-31 23:59:59.999999+00:00", "1970-01-01 00:00:00+00:00"}},
        {"tDn",
         no_pandas,
         {-1000, 86400000001000},
         {"-1 day, 23:59:59.999999", "1 day, 0:00:00.000001"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.format);
        const Chunk chunk = chunk_of(c.values, width_of(c.format));
        auto rendered = render(c.format, {&chunk.array, 1}, c.flavour);
        ASSERT_TRUE(rendered) << rendered.error().message;
        EXPECT_EQ(texts_of(rendered.value()), c.texts);
        for (std::size_t row = 0; row < c.values.size(); ++row) {
            EXPECT_EQ(rendered.value().is_null(row), !c.values[row]);
        }
    }
}

TEST(RenderColumn, WritesDecimalsAsPythonsDecimal) {
    struct DecimalCase {
        const char* format;
        std::size_t width;
        std::vector<std::vector<std::uint64_t>> limbs;  // little-endian 64-bit limbs
        std::vector<std::string> texts;
    };
    const DecimalCase cases[] = {
        {"d:10,2",
         16,
         {{0u, 0u},
          {100u, 0u},
          {18446744073709551466u, 18446744073709551615u},
          {1u, 0u},
          {18446744073709551615u, 18446744073709551615u},
          {1234567890u, 0u}},
         {"0.00", "1.00", "-1.50", "0.01", "-0.01", "12345678.90"}},
        {"d:38,10",
         16,
         {{0u, 0u},
          {1000u, 0u},
          {10000u, 0u},
          {18446744073709550382u, 18446744073709551615u},
          {68739955140067327u, 542101086242752217u},
          {17759344522308878337u, 13025733211282029445u}},
         {"0E-10", "1.000E-7", "0.0000010000", "-1.234E-7",
          "999999999999999999999999999.9999999999", "-9999999999999999999999999999.9999999999"}},
        {"d:5,-3",
         16,
         {{0u, 0u}, {1u, 0u}, {18446744073709551604u, 18446744073709551615u}, {99999u, 0u}},
         {"0E+3", "1E+3", "-1.2E+4", "9.9999E+7"}},
        {"d:9,3,32",
         4,
         {{0u}, {5u}, {2147483648u}, {2147483647u}},
         {"0.000", "0.005", "-2147483.648", "2147483.647"}},
        {"d:18,0,64",
         8,
         {{9223372036854775808u}, {9223372036854775807u}, {7u}},
         {"-9223372036854775808", "9223372036854775807", "7"}},
        {"d:76,6,256",
         32,
         {{0u, 0u, 0u, 0u},
          {18446744073709551615u, 18446744073709551615u, 18446744073709551615u,
           18446744073709551615u},
          {0u, 10084168908774762496u, 12965995782233477362u, 159309191113245227u},
          {0u, 0u, 0u, 9223372036854775808u},
          {18446744073709551615u, 18446744073709551615u, 18446744073709551615u,
           9223372036854775807u}},
         {"0.000000", "-0.000001",
          "1000000000000000000000000000000000000000000000000000000000000000000000.000000",
          "-57896044618658097711785492504343953926634992332820282019728792003956564.819968",
          "57896044618658097711785492504343953926634992332820282019728792003956564.819967"}},
    };
    for (const DecimalCase& c : cases) {
        SCOPED_TRACE(c.format);
        const Chunk chunk(c.limbs, c.width);
        for (const PythonFlavour flavour : {pyarrow, polars}) {
            auto rendered = render(c.format, {&chunk.array, 1}, flavour);
            ASSERT_TRUE(rendered) << rendered.error().message;
            EXPECT_EQ(texts_of(rendered.value()), c.texts);
        }
    }
}

TEST(RenderColumn, ShowsZonedTimestampsInTheLocalTimeOfTheirTzifData) {
    struct ZoneCase {
        const char* name;
        std::vector<unsigned char> tzif;
        std::vector<std::pair<std::int64_t, std::string>> instants;
    };
    // historic: a local mean time with seconds, daylight saving time before 1970 and a footer for
    // the hours repeated and skipped; version_one: 32-bit data and no footer; southern: Julian
    // days and a negative switch time, daylight time across the new year; zero_based: 0-based
    // days, J59 in leap and other years, and a switch past 24 hours.
    const ZoneCase zones[] = {
        {"historic",
         tzif({{-2486592561, 1}, {-1855958901, 0}, {-1000000000, 2}, {-900000000, 0}, {0, 0}},
              {{3600, false}, {561, false}, {7200, true}}, "CET-1CEST,M3.5.0,M10.5.0/3"),
         {
             {-3000000000, "1874-12-07 19:40:00+01:00"},
             {-2486592562, "1891-03-16 00:50:38+01:00"},
             {-2486592561, "1891-03-16 00:00:00+00:09:21"},
             {-1000000000, "1938-04-25 00:13:20+02:00"},
             {-950000000, "1939-11-24 17:06:40+02:00"},
             {0, "1970-01-01 01:00:00+01:00"},
             {1729987200, "2024-10-27 02:00:00+02:00"},
             {1729990800, "2024-10-27 02:00:00+01:00"},
             {1711846800, "2024-03-31 03:00:00+02:00"},
             {253385020799, "9999-06-15 01:59:59+02:00"},
         }},
        {"version_one",
         tzif({{0, 1}}, {{-18000, false}, {-14400, true}}, "", '\0'),
         {
             {-1, "1969-12-31 18:59:59-05:00"},
             {0, "1969-12-31 20:00:00-04:00"},
             {1000000000, "2001-09-08 21:46:40-04:00"},
         }},
        {"southern",
         tzif({}, {{36000, false}}, "<+10>-10<+11>-11,J300/-1,J60/26"),
         {
             {1704067200, "2024-01-01 11:00:00+11:00"},
             {1709287200, "2024-03-01 21:00:00+11:00"},
             {1709312400, "2024-03-02 03:00:00+10:00"},
             {1729987200, "2024-10-27 11:00:00+11:00"},
             {1729915200, "2024-10-26 14:00:00+10:00"},
             {1735689599, "2025-01-01 10:59:59+11:00"},
         }},
        {"zero_based",
         tzif({}, {{0, false}}, "AAA3BBB,59/2,J59/25"),
         {
             {1709096399, "2024-02-28 01:59:59-03:00"},
             {1709096400, "2024-02-28 03:00:00-02:00"},
             {1709261999, "2024-03-01 00:59:59-02:00"},
             {1709262000, "2024-03-01 00:00:00-03:00"},
             {1677560399, "2023-02-28 01:59:59-03:00"},
             {1677560400, "2023-02-28 03:00:00-02:00"},
             {1677639599, "2023-03-01 00:59:59-02:00"},
             {1677639600, "2023-03-01 00:00:00-03:00"},
         }},
    };
    for (const ZoneCase& zone_case : zones) {
        SCOPED_TRACE(zone_case.name);
        auto zone = TimeZone::from_tzif(zone_case.tzif);
        ASSERT_TRUE(zone) << zone.error().message;
        std::string asked;
        const ZoneLookup lookup = [&](std::string_view name) -> Expected<const TimeZone*> {
            asked = name;
            return &zone.value();
        };
        Values seconds;
        std::vector<std::string> texts;
        for (const auto& [instant, text] : zone_case.instants) {
            seconds.push_back(instant);
            texts.push_back(text);
        }
        const Chunk chunk = chunk_of(seconds, 8);
        auto rendered = render("tss:Test/Zone", {&chunk.array, 1}, pyarrow, lookup);
        ASSERT_TRUE(rendered) << rendered.error().message;
        EXPECT_EQ(texts_of(rendered.value()), texts);
        EXPECT_EQ(asked, "Test/Zone");
    }
}

TEST(RenderColumn, NumbersRowsAcrossOffsetChunks) {
    const Chunk first = chunk_of({1, 2, 3}, 4, 1);  // rows 0-1: days 2 and 3
    const Chunk second = chunk_of({null, 2932897}, 4);
    const ArrowArray arrays[] = {first.array, second.array};
    auto rendered = render("tdD", arrays, pyarrow);
    ASSERT_FALSE(rendered);
    EXPECT_EQ(rendered.error().kind, ErrorKind::unsupported);
    EXPECT_EQ(rendered.error().row, 3u);
    EXPECT_EQ(rendered.error().message,
              "the date at row 3 is outside the years 1 to 9999 that Python's dates hold");

    auto shown = render("tdD", std::span(arrays, 1), pyarrow);
    ASSERT_TRUE(shown);
    EXPECT_EQ(texts_of(shown.value()), (std::vector<std::string>{"1970-01-03", "1970-01-04"}));
}

TEST(RenderColumn, RefusesValuesThePythonTypesCannotHold) {
    const Case cases[] = {
        // texts[0]: the start of the message
        {"tdm", pyarrow, {-62135596800001}, {"the date at row 0 is outside"}},
        {"tsu:", pyarrow, {0, 253402300800000000}, {"the timestamp at row 1 is outside"}},
        {"tsu:+01:00", pyarrow, {253402300799000000}, {"the timestamp at row 0 is outside"}},
        {"tsu:-01:00", polars, {-62135596800000000}, {"the timestamp at row 0 is outside"}},
        {"tsn:+01:00", pyarrow, {i64_max}, {"the timestamp at row 0 is outside"}},
        {"ttn", polars, {-1}, {"the time at row 0 is outside the day"}},
        {"tDs", pyarrow, {86400000000000}, {"the duration at row 0 is beyond"}},
        {"tDm", polars, {i64_min}, {"the duration at row 0 is beyond"}},
        {"tsn:", no_pandas, {1000, 1001}, {"the timestamp at row 1 has nanoseconds"}},
        {"tDn", no_pandas, {-1}, {"the duration at row 0 has nanoseconds"}},
        {"tdD", duckdb, {-2147483648}, {"the date at row 0 is outside"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.format);
        const Chunk chunk = chunk_of(c.values, width_of(c.format));
        auto rendered = render(c.format, {&chunk.array, 1}, c.flavour);
        ASSERT_FALSE(rendered);
        EXPECT_EQ(rendered.error().kind, ErrorKind::unsupported);
        EXPECT_EQ(rendered.error().message.rfind(c.texts[0], 0), 0u) << rendered.error().message;
    }
    // Local times before the year 1 that polars still shows, as it makes no UTC datetime first.
    const Chunk early = chunk_of({-62135596800000000 - 1}, 8);
    auto shown = render("tsu:+01:00", {&early.array, 1}, polars);
    ASSERT_TRUE(shown);
    EXPECT_EQ(shown.value().text(0), "0001-01-01 00:59:59.999999+01:00");
    // pyarrow cannot convert a decimal32 whose scale passes 9 digits; polars can.
    const Chunk small = chunk_of({7}, 4);
    EXPECT_FALSE(render("d:9,10,32", {&small.array, 1}, pyarrow));
    EXPECT_EQ(render("d:9,10,32", {&small.array, 1}, polars).value().text(0), "7E-10");
}

TEST(RenderColumn, RefusesMemoryThatBreaksTheArrowRules) {
    struct Mutation {
        const char* what;
        void (*apply)(ArrowArray&);
    };
    const Mutation mutations[] = {
        {"an array is released", [](ArrowArray& a) { a.release = nullptr; }},
        {"an array has a negative length or offset", [](ArrowArray& a) { a.offset = -1; }},
        {"an array is too long", [](ArrowArray& a) { a.length = i64_max; }},
        {"an array has the wrong number of buffers", [](ArrowArray& a) { a.n_buffers = 3; }},
        {"an array has no buffers", [](ArrowArray& a) { a.buffers = nullptr; }},
        {"an array of this type has children", [](ArrowArray& a) { a.n_children = 1; }},
    };
    for (const Mutation& mutation : mutations) {
        Chunk chunk = chunk_of({1}, 8);
        mutation.apply(chunk.array);
        auto rendered = render("tsu:", {&chunk.array, 1}, pyarrow);
        ASSERT_FALSE(rendered);
        EXPECT_EQ(rendered.error().kind, ErrorKind::invalid_memory);
        EXPECT_EQ(rendered.error().message, mutation.what);
    }
    Chunk missing = chunk_of({1}, 8);
    missing.buffers[1] = nullptr;
    EXPECT_EQ(render("tsu:", {&missing.array, 1}, pyarrow).error().message,
              "an array's values buffer is missing");
    missing.array.length = 0;  // nothing to read: no buffer needed
    EXPECT_TRUE(render("tsu:", {&missing.array, 1}, pyarrow));
}

TEST(RenderColumn, NamesFormatsAndZonesItCannotRender) {
    for (const char* format : {"tdD", "tdm", "tts", "ttn", "tss:", "tsn:Europe/Paris", "tDu",
                               "d:38,10", "d:5,-3", "d:76,0,256", "d:9,2,32"}) {
        EXPECT_TRUE(is_rendered_format(format)) << format;
    }
    for (const char* format : {"u", "l", "tdx", "tsu", "tiM", "ttm:", "d:", "d:10", "d:10,2,48",
                               "d:0,0", "d:10,x", "tDuu"}) {
        EXPECT_FALSE(is_rendered_format(format)) << format;
    }
    EXPECT_EQ(zone_to_look_up("tsn:Europe/Paris"), "Europe/Paris");
    for (const char* format : {"tsn:", "tsu:UTC", "tss:-05:30", "tDs", "tdD"}) {
        EXPECT_EQ(zone_to_look_up(format), std::nullopt) << format;
    }
    const Chunk chunk = chunk_of({0}, 8);
    EXPECT_EQ(render("u", {&chunk.array, 1}, pyarrow).error().message,
              "Arrow format \"u\" is not rendered as text");
    EXPECT_EQ(render("tsu:Mars/Olympus", {&chunk.array, 1}, pyarrow).error().message,
              "unknown time zone \"Mars/Olympus\"");
    const ZoneLookup refuse = [](std::string_view) -> Expected<const TimeZone*> {
        return make_error(ErrorKind::unsupported, "no such zone");
    };
    EXPECT_EQ(render("tsu:+0100", {&chunk.array, 1}, pyarrow, refuse).error().message,
              "no such zone");
    // Fixed offsets and UTC need no lookup.
    EXPECT_EQ(render("tsu:-23:59", {&chunk.array, 1}, pyarrow).value().text(0),
              "1969-12-31 00:01:00-23:59");
}

TEST(TimeZone, RefusesDataThatIsNotTzif) {
    const std::vector<unsigned char> valid =
        tzif({{-2486592561, 1}, {-1855958901, 0}, {-1000000000, 2}, {-900000000, 0}, {0, 0}},
             {{3600, false}, {561, false}, {7200, true}}, "CET-1CEST,M3.5.0,M10.5.0/3");
    ASSERT_TRUE(TimeZone::from_tzif(valid));
    std::vector<std::pair<const char*, std::vector<unsigned char>>> broken;
    broken.emplace_back("not a TZif file", std::vector<unsigned char>{'T', 'Z', 'i', 'g'});
    broken.emplace_back("cut short", std::vector<unsigned char>(valid.begin(), valid.end() - 80));
    auto bad_type = valid;
    bad_type[bad_type.size() - 55] = 9;  // the last transition's type index
    broken.emplace_back("a transition names a missing type", bad_type);
    auto day_offset = valid;
    const unsigned char day[] = {0, 1, 0x51, 0x80};  // 86400, the first type's offset
    std::copy(day, day + 4, day_offset.end() - 50);
    broken.emplace_back("a UTC offset of a day or more", day_offset);
    auto bad_footer = valid;
    bad_footer[bad_footer.size() - 4] = '!';  // in the rule's time
    broken.emplace_back("a footer that is not a POSIX TZ string", bad_footer);
    for (const auto& [what, bytes] : broken) {
        auto zone = TimeZone::from_tzif(bytes);
        ASSERT_FALSE(zone) << what;
        EXPECT_EQ(zone.error().kind, ErrorKind::unsupported);
        EXPECT_EQ(zone.error().message, std::string("time zone data: ") + what);
    }
}

TEST(RenderedColumn, IsALargeStringArrayThatArrowColumnReads) {
    const Chunk chunk = chunk_of({0, null, 1}, 4);
    auto rendered = render("tdD", {&chunk.array, 1}, pyarrow);
    ASSERT_TRUE(rendered);
    const RenderedColumn& column = rendered.value();
    EXPECT_EQ(column.null_count(), 1u);
    ArrowChunks chunks;
    ArrowSchema schema = column.schema();
    EXPECT_STREQ(schema.format, "U");
    chunks.adopt_schema(schema);
    ArrowArray array = column.array();
    chunks.adopt_array(array);
    auto opened = ArrowColumn::open(chunks);
    ASSERT_TRUE(opened) << opened.error().message;
    std::string_view views[3];
    bool missing[3];
    opened.value().read_texts(0, 3, views, missing);
    EXPECT_EQ(views[0], "1970-01-01");
    EXPECT_TRUE(missing[1]);
    EXPECT_EQ(views[2], "1970-01-02");
}

}  // namespace
}  // namespace vexilo::arrow

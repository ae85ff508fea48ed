// Arrow columns: ownership of the handed-over structures, reading every supported layout across
// chunks and offsets, and refusing structures whose reads would leave their memory. One file though
// long: the cases share one set of builders of Arrow arrays, schemas and streams.
#include "engine/arrow_column.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cmath>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "arrow_test_arrays.h"

namespace vexilo::arrow {
namespace {

using namespace testing;  // NOLINT: the arrays these tests build

// The release callback of a test schema: releases its dictionary, then frees the Memory behind
// it.
template <class Memory, class Structure>
void release_structure(Structure* structure) {
    auto* memory = static_cast<Memory*>(structure->private_data);
    if (memory->dictionary && memory->dictionary->release) {
        memory->dictionary->release(memory->dictionary.get());
    }
    delete memory;
    structure->release = nullptr;
    ++released;
}

// A string view array ("vu"): texts up to 12 bytes inline, longer ones in two data buffers.
ArrowArray views(const std::vector<std::optional<std::string>>& texts) {
    Bytes view_bytes;
    std::string data[2];
    std::vector<bool> valid;
    for (std::size_t i = 0; i < texts.size(); ++i) {
        const std::string text = texts[i].value_or("");
        valid.push_back(texts[i].has_value());
        std::uint8_t view[16] = {};
        const auto size = static_cast<std::int32_t>(text.size());
        std::memcpy(view, &size, 4);
        if (text.size() <= 12) {
            std::memcpy(view + 4, text.data(), text.size());
        } else {
            const auto buffer = static_cast<std::int32_t>(i % 2);
            const auto offset = static_cast<std::int32_t>(data[buffer].size());
            data[buffer] += text;
            std::memcpy(view + 4, text.data(), 4);
            std::memcpy(view + 8, &buffer, 4);
            std::memcpy(view + 12, &offset, 4);
        }
        view_bytes.insert(view_bytes.end(), view, view + 16);
    }
    const std::vector<std::int64_t> sizes{static_cast<std::int64_t>(data[0].size()),
                                          static_cast<std::int64_t>(data[1].size())};
    return make_array(static_cast<std::int64_t>(texts.size()),
                      {bits_of(valid), view_bytes, Bytes(data[0].begin(), data[0].end()),
                       Bytes(data[1].begin(), data[1].end()), bytes_of(sizes)},
                      0, -1);
}

struct SchemaMemory {
    std::string format;
    std::unique_ptr<ArrowSchema> dictionary;
};

ArrowSchema make_schema(const std::string& format, const char* dictionary_format = nullptr) {
    auto* memory = new SchemaMemory{format, nullptr};
    if (dictionary_format) {
        memory->dictionary = std::make_unique<ArrowSchema>(make_schema(dictionary_format));
    }
    ArrowSchema schema{};
    schema.format = memory->format.c_str();
    schema.dictionary = memory->dictionary.get();
    schema.release = release_structure<SchemaMemory, ArrowSchema>;
    schema.private_data = memory;
    return schema;
}

ArrowChunks chunks_of(ArrowSchema schema, std::vector<ArrowArray> arrays) {
    ArrowChunks chunks;
    chunks.adopt_schema(schema);
    for (ArrowArray& array : arrays) chunks.adopt_array(array);
    return chunks;
}

ArrowColumn open_ok(const ArrowChunks& chunks) {
    auto opened = ArrowColumn::open(chunks);
    if (!opened) ADD_FAILURE() << opened.error().message;
    return std::move(opened).value();
}

// Every [begin, end) of the column, so reads that start and stop inside chunks are covered.
std::vector<std::optional<std::string>> texts_of(const ArrowColumn& column, std::size_t begin,
                                                 std::size_t end) {
    std::vector<std::string_view> views(end - begin);
    auto missing = std::make_unique<bool[]>(end - begin);
    column.read_texts(begin, end, views.data(), missing.get());
    std::vector<std::optional<std::string>> out;
    for (std::size_t i = 0; i < views.size(); ++i) {
        out.push_back(missing[i] ? std::nullopt : std::optional<std::string>(views[i]));
    }
    return out;
}

using Texts = std::vector<std::optional<std::string>>;
const std::string long_text = "a text longer than twelve bytes";
const std::string nul_text("a\0b", 3);

TEST(ArrowColumn, ReadsEveryTextLayoutAcrossChunksAndOffsets) {
    const Texts first{"x", std::nullopt, "", long_text};
    const Texts second{nul_text, "\xF0\x9F\x98\x80", std::nullopt};
    Texts all = first;
    all.insert(all.end(), second.begin(), second.end());
    const Texts sliced{"skipped", "also skipped"};
    Texts with_slice = sliced;
    with_slice.insert(with_slice.end(), second.begin(), second.end());

    std::vector<std::pair<const char*, ArrowChunks>> columns;
    columns.emplace_back("u", chunks_of(make_schema("u"), {strings<std::int32_t>(first),
                                                           strings<std::int32_t>(with_slice, 2)}));
    columns.emplace_back("U", chunks_of(make_schema("U"), {strings<std::int64_t>(first),
                                                           strings<std::int64_t>(with_slice, 2)}));
    columns.emplace_back("vu", chunks_of(make_schema("vu"), {views(first), views(second)}));
    // A dictionary whose values hold a null and an unused text, indices of two widths' worth.
    const Texts values{long_text, std::nullopt, "x", "unused", "", nul_text, "\xF0\x9F\x98\x80"};
    const std::vector<std::int16_t> indices{2, 0, 4, 0, 5, 6, 1};
    const std::vector<bool> valid{true, false, true, true, true, true, true};
    columns.emplace_back(
        "dictionary",
        chunks_of(make_schema("s", "u"), {make_array(7, {bits_of(valid), bytes_of(indices)}, 0, 1,
                                                     strings<std::int32_t>(values))}));
    for (const auto& [name, chunks] : columns) {
        SCOPED_TRACE(name);
        const ArrowColumn column = open_ok(chunks);
        ASSERT_EQ(column.rows(), all.size());
        EXPECT_EQ(column.cell_type(), CellType::Text);
        EXPECT_EQ(column.null_count(), 2u);
        for (std::size_t begin = 0; begin <= all.size(); ++begin) {
            for (std::size_t end = begin; end <= all.size(); ++end) {
                EXPECT_EQ(texts_of(column, begin, end),
                          Texts(all.begin() + static_cast<std::ptrdiff_t>(begin),
                                all.begin() + static_cast<std::ptrdiff_t>(end)));
            }
        }
    }
}

TEST(ArrowColumn, ReadsNumbersOfEveryTypeWithNullsAsNaN) {
    const std::vector<bool> valid{true, true, false, true};
    const auto check = [&](const char* format, Bytes values, std::vector<double> expected,
                           std::int64_t offset = 0) {
        SCOPED_TRACE(format);
        std::vector<bool> shifted(static_cast<std::size_t>(offset), true);
        shifted.insert(shifted.end(), valid.begin(), valid.end());
        const ArrowChunks chunks = chunks_of(
            make_schema(format), {make_array(4, {bits_of(shifted), std::move(values)}, offset, 1)});
        const ArrowColumn column = open_ok(chunks);
        EXPECT_EQ(column.cell_type(), CellType::Number);
        EXPECT_EQ(column.null_count(), 1u);
        std::vector<double> out(8, -1.0);
        column.read_numbers(0, 4, out.data(), 2);
        for (std::size_t i = 0; i < 4; ++i) {
            if (i == 2) {
                EXPECT_TRUE(std::isnan(out[2 * i]));
            } else {
                EXPECT_EQ(out[2 * i], expected[i]) << i;
            }
            EXPECT_EQ(out[2 * i + 1], -1.0);  // the stride is kept
        }
    };
    check("c", bytes_of<std::int8_t>({-128, 127, 0, -1}), {-128, 127, 0, -1});
    check("C", bytes_of<std::uint8_t>({255, 0, 0, 1}), {255, 0, 0, 1});
    check("s", bytes_of<std::int16_t>({-32768, 1, 0, 2}), {-32768, 1, 0, 2});
    check("S", bytes_of<std::uint16_t>({65535, 1, 0, 2}), {65535, 1, 0, 2});
    check("i", bytes_of<std::int32_t>({-7, 1, 0, 2147483647}), {-7, 1, 0, 2147483647});
    check("I", bytes_of<std::uint32_t>({4294967295u, 1, 0, 2}), {4294967295.0, 1, 0, 2});
    check("l", bytes_of<std::int64_t>({-9007199254740993, 1, 0, 2}),
          {-9007199254740992.0, 1, 0, 2});
    check("L", bytes_of<std::uint64_t>({18446744073709551615u, 9223372036854775809u, 0, 3}),
          {18446744073709551616.0, 9223372036854775808.0, 0, 3});
    check("f", bytes_of<float>({1.5f, -0.25f, 0, 3}), {1.5, -0.25, 0, 3});
    check("g", bytes_of<double>({0.1, -0.0, 0, 1e300}), {0.1, -0.0, 0, 1e300});
    check("g", bytes_of<double>({9, 0.1, -0.0, 0, 1e300}), {0.1, -0.0, 0, 1e300}, 1);
    check("b", bits_of({false, true, false, true, true, false}), {1, 0, 0, 1}, 1);
}

TEST(ArrowColumn, NullCountZeroMeansNoNullWhateverTheBitmap) {
    const ArrowChunks chunks =
        chunks_of(make_schema("i"),
                  {make_array(2, {bits_of({false, false}), bytes_of<std::int32_t>({4, 5})})});
    const ArrowColumn column = open_ok(chunks);
    EXPECT_EQ(column.null_count(), 0u);
    double out[2];
    column.read_numbers(0, 2, out, 1);
    EXPECT_EQ(out[0], 4.0);
    EXPECT_EQ(out[1], 5.0);
}

// A well-formed one-chunk column, then broken in one way.
struct Broken {
    const char* what;
    std::function<ArrowChunks()> make;
};

ArrowArray with(ArrowArray array, const std::function<void(ArrowArray&)>& change) {
    change(array);
    return array;
}

ArrowArray view_of(std::int32_t size, std::int32_t buffer, std::int32_t offset) {
    ArrowArray array = views({long_text});
    auto* memory = static_cast<ArrayMemory*>(array.private_data);
    Bytes& view = *memory->buffers[1];
    std::memcpy(view.data(), &size, 4);
    std::memcpy(view.data() + 8, &buffer, 4);
    std::memcpy(view.data() + 12, &offset, 4);
    return array;
}

class ArrowColumnRefuses : public ::testing::TestWithParam<Broken> {};

TEST_P(ArrowColumnRefuses, ABrokenArray) {
    const int before = released;
    {
        const ArrowChunks chunks = GetParam().make();
        const auto opened = ArrowColumn::open(chunks);
        ASSERT_FALSE(opened);
    }
    EXPECT_GE(released, before + 1);  // the owner still releases what it took
}

const Texts two{"a", "bc"};
INSTANTIATE_TEST_SUITE_P(
    Cases, ArrowColumnRefuses,
    ::testing::Values(
        Broken{"binary", [] { return chunks_of(make_schema("z"), {strings<std::int32_t>(two)}); }},
        Broken{"timestamp",
               [] { return chunks_of(make_schema("tsu:"), {strings<std::int32_t>(two)}); }},
        Broken{"no schema",
               [] {
                   ArrowChunks chunks;
                   ArrowArray array = strings<std::int32_t>(two);
                   chunks.adopt_array(array);
                   return chunks;
               }},
        Broken{"falling offsets",
               [] {
                   return chunks_of(make_schema("u"),
                                    {make_array(2, {std::nullopt, bytes_of<std::int32_t>({0, 5, 4}),
                                                    Bytes(8)})});
               }},
        Broken{"negative first offset",
               [] {
                   return chunks_of(
                       make_schema("U"),
                       {make_array(1, {std::nullopt, bytes_of<std::int64_t>({-1, 0}), Bytes(8)})});
               }},
        Broken{"missing string data",
               [] {
                   return chunks_of(make_schema("u"),
                                    {make_array(1, {std::nullopt, bytes_of<std::int32_t>({0, 3}),
                                                    std::nullopt})});
               }},
        Broken{"missing offsets",
               [] {
                   return chunks_of(make_schema("u"),
                                    {make_array(1, {std::nullopt, std::nullopt, Bytes(8)})});
               }},
        Broken{"negative length",
               [] {
                   return chunks_of(make_schema("u"), {with(strings<std::int32_t>(two),
                                                            [](ArrowArray& a) { a.length = -1; })});
               }},
        Broken{"huge offset",
               [] {
                   return chunks_of(make_schema("u"),
                                    {with(strings<std::int32_t>(two),
                                          [](ArrowArray& a) { a.offset = INT64_MAX - 1; })});
               }},
        Broken{"wrong buffer count",
               [] {
                   return chunks_of(
                       make_schema("u"),
                       {with(strings<std::int32_t>(two), [](ArrowArray& a) { a.n_buffers = 2; })});
               }},
        Broken{"children",
               [] {
                   return chunks_of(make_schema("i"),
                                    {with(make_array(1, {std::nullopt, Bytes(4)}),
                                          [](ArrowArray& a) { a.n_children = 1; })});
               }},
        Broken{"view past its buffer",
               [] { return chunks_of(make_schema("vu"), {view_of(40, 0, 0)}); }},
        Broken{"view offset negative",
               [] { return chunks_of(make_schema("vu"), {view_of(20, 0, -1)}); }},
        Broken{"view buffer index",
               [] { return chunks_of(make_schema("vu"), {view_of(20, 2, 0)}); }},
        Broken{"view negative size",
               [] { return chunks_of(make_schema("vu"), {view_of(-20, 0, 0)}); }},
        Broken{"dictionary index too large",
               [] {
                   return chunks_of(make_schema("c", "u"),
                                    {make_array(1, {std::nullopt, bytes_of<std::int8_t>({2})}, 0, 0,
                                                strings<std::int32_t>(two))});
               }},
        Broken{"dictionary index negative",
               [] {
                   return chunks_of(make_schema("l", "u"),
                                    {make_array(1, {std::nullopt, bytes_of<std::int64_t>({-1})}, 0,
                                                0, strings<std::int32_t>(two))});
               }},
        Broken{"dictionary missing",
               [] {
                   return chunks_of(make_schema("c", "u"),
                                    {make_array(1, {std::nullopt, bytes_of<std::int8_t>({0})})});
               }},
        Broken{"dictionary of numbers",
               [] {
                   return chunks_of(make_schema("c", "i"),
                                    {make_array(1, {std::nullopt, bytes_of<std::int8_t>({0})}, 0, 0,
                                                make_array(1, {std::nullopt, Bytes(4)}))});
               }}),
    [](const auto& test) {
        std::string name = test.param.what;
        for (char& c : name) {
            if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
        }
        return name;
    });

TEST(ArrowChunks, ReleasesEachStructureOnceThroughMoves) {
    const int before = released;
    {
        ArrowSchema schema = make_schema("u", nullptr);
        ArrowArray array = strings<std::int32_t>(two);
        ArrowChunks first;
        first.adopt_schema(schema);
        first.adopt_array(array);
        EXPECT_EQ(schema.release, nullptr);  // moved out: the source is marked released
        EXPECT_EQ(array.release, nullptr);
        ArrowChunks second(std::move(first));
        ArrowChunks third;
        third = std::move(second);
        EXPECT_EQ(released, before);
        EXPECT_EQ(third.arrays().size(), 1u);
    }
    EXPECT_EQ(released, before + 2);
}

// A stream over prepared arrays; a failure code at the given call.
struct StreamState {
    std::vector<ArrowArray> arrays;
    std::size_t next = 0;
    int fail_at = -1;
    bool endless = false;
};

ArrowArrayStream make_stream(StreamState& state) {
    ArrowArrayStream stream{};
    stream.private_data = &state;
    stream.get_schema = [](ArrowArrayStream*, ArrowSchema* out) {
        *out = make_schema("u");
        return 0;
    };
    stream.get_next = [](ArrowArrayStream* self, ArrowArray* out) {
        auto& s = *static_cast<StreamState*>(self->private_data);
        if (static_cast<int>(s.next) == s.fail_at) return 5;
        if (s.endless) {
            *out = strings<std::int32_t>({"x"});
        } else if (s.next < s.arrays.size()) {
            *out = s.arrays[s.next];
        } else {
            out->release = nullptr;
        }
        ++s.next;
        return 0;
    };
    stream.get_last_error = [](ArrowArrayStream*) -> const char* { return "broken pipe"; };
    stream.release = [](ArrowArrayStream* self) {
        auto& s = *static_cast<StreamState*>(self->private_data);
        for (std::size_t i = s.next; i < s.arrays.size(); ++i) s.arrays[i].release(&s.arrays[i]);
        self->release = nullptr;
    };
    return stream;
}

TEST(DrainStream, TakesTheSchemaAndEveryArray) {
    StreamState state;
    state.arrays = {strings<std::int32_t>({"a", "b"}), strings<std::int32_t>({"c"})};
    ArrowArrayStream stream = make_stream(state);
    auto drained = drain_stream(stream, 3);
    ASSERT_TRUE(drained);
    EXPECT_EQ(stream.release, nullptr);
    const ArrowColumn column = open_ok(drained.value());
    EXPECT_EQ(texts_of(column, 0, 3), (Texts{"a", "b", "c"}));
}

TEST(DrainStream, ReportsFailuresAndBoundsEndlessStreams) {
    const int before = released;
    {
        StreamState state;
        state.arrays = {strings<std::int32_t>({"a"}), strings<std::int32_t>({"b"})};
        state.fail_at = 1;
        ArrowArrayStream stream = make_stream(state);
        auto drained = drain_stream(stream, 10);
        ASSERT_FALSE(drained);
        EXPECT_EQ(drained.error().message, "get_next failed with code 5: broken pipe");
    }
    {
        StreamState state;
        state.endless = true;
        ArrowArrayStream stream = make_stream(state);
        auto drained = drain_stream(stream, 100);
        ASSERT_FALSE(drained);
        EXPECT_EQ(state.next, 101u);
    }
    // The failing stream: its schema, the array taken and the one never given out; the endless
    // one: its schema and the 101 arrays taken.
    EXPECT_EQ(released, before + 3 + 102);
}

}  // namespace
}  // namespace vexilo::arrow

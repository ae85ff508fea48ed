// Arrow tables: a table's stream drained and its struct chunks split into columns, and the lies of
// a producer about the struct arrays refused with the failing column named.
#include "engine/arrow_table.h"

#include <gtest/gtest.h>

#include <cerrno>
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

// A lookup that knows no zone: these tables have no zoned timestamps.
const ZoneLookup no_zones = [](std::string_view) -> Expected<const TimeZone*> {
    return make_error(ErrorKind::unsupported, "no zones");
};

using namespace testing;  // NOLINT: the arrays these tests build

ArrowArray ints(const std::vector<std::optional<std::int32_t>>& values, std::int64_t offset = 0) {
    std::vector<std::int32_t> stored;
    std::vector<bool> valid;
    for (const auto& value : values) {
        stored.push_back(value.value_or(0));
        valid.push_back(value.has_value());
    }
    return make_array(static_cast<std::int64_t>(values.size()) - offset,
                      {bits_of(valid), bytes_of(stored)}, offset, -1);
}

ArrowArray nulls(std::int64_t length) { return make_array(length, {}, 0, length); }

struct SchemaMemory {
    std::string format;
    std::string name;
    std::vector<std::unique_ptr<ArrowSchema>> owned;
    std::vector<ArrowSchema*> children;
};

void release_schema(ArrowSchema* schema) {
    auto* memory = static_cast<SchemaMemory*>(schema->private_data);
    for (auto& child : memory->owned) {
        if (child->release) child->release(child.get());
    }
    delete memory;
    schema->release = nullptr;
    ++released;
}

ArrowSchema make_schema(const std::string& format, const std::string& name = "",
                        std::vector<ArrowSchema> children = {}) {
    auto* memory = new SchemaMemory{format, name, {}, {}};
    for (ArrowSchema& child : children) {
        memory->owned.push_back(std::make_unique<ArrowSchema>(child));
        memory->children.push_back(memory->owned.back().get());
    }
    ArrowSchema schema{};
    schema.format = memory->format.c_str();
    schema.name = memory->name.c_str();
    schema.n_children = static_cast<std::int64_t>(memory->children.size());
    schema.children = memory->children.data();
    schema.release = release_schema;
    schema.private_data = memory;
    return schema;
}

// Columns texts ("u"), numbers ("i") and the null type in two chunks: rows 1 and 2 of the first
// chunk's children (the numbers' child with an offset of its own), then both rows of the second.
// Rows: ("p", 8, -), ("q", 9, -), ("r", 5, -), (-, -, -). Four structures a chunk, four the schema.
ArrowSchema table_schema() {
    return make_schema("+s", "", {make_schema("u", "t"), make_schema("i", "n"), make_schema("n")});
}

std::vector<ArrowArray> table_chunks() {
    std::vector<ArrowArray> chunks;
    chunks.push_back(
        make_array(2, {std::nullopt}, 1, 0, std::nullopt,
                   {strings({"skipped", "p", "q"}), ints({99, 7, 8, 9}, 1), nulls(3)}));
    chunks.push_back(make_array(2, {std::nullopt}, 0, 0, std::nullopt,
                                {strings({"r", std::nullopt}), ints({5, {}}), nulls(2)}));
    return chunks;
}

ArrowChunks table_of(ArrowSchema schema, std::vector<ArrowArray> chunks) {
    ArrowChunks table;
    table.adopt_schema(schema);
    for (ArrowArray& chunk : chunks) table.adopt_array(chunk);
    return table;
}

// A stream over a schema and chunks, failing with EIO at get_next call fail_at.
struct Producer {
    ArrowSchema schema{};
    std::vector<ArrowArray> chunks;
    std::size_t next = 0;
    std::size_t fail_at = SIZE_MAX;
};

ArrowArrayStream stream_of(Producer& producer) {
    ArrowArrayStream stream{};
    stream.get_schema = [](ArrowArrayStream* self, ArrowSchema* out) {
        auto& p = *static_cast<Producer*>(self->private_data);
        *out = p.schema;
        p.schema.release = nullptr;
        return 0;
    };
    stream.get_next = [](ArrowArrayStream* self, ArrowArray* out) {
        auto& p = *static_cast<Producer*>(self->private_data);
        if (p.next == p.fail_at) return EIO;
        *out = ArrowArray{};
        if (p.next < p.chunks.size()) {
            *out = p.chunks[p.next];
            p.chunks[p.next++].release = nullptr;
        }
        return 0;
    };
    stream.release = [](ArrowArrayStream* self) {
        auto& p = *static_cast<Producer*>(self->private_data);
        if (p.schema.release) p.schema.release(&p.schema);
        for (ArrowArray& chunk : p.chunks) {
            if (chunk.release) chunk.release(&chunk);
        }
        self->release = nullptr;
    };
    stream.private_data = &producer;
    return stream;
}

TEST(ArrowTable, SplitsChunksWithStructOffsetsIntoColumns) {
    Producer producer{table_schema(), table_chunks()};
    ArrowArrayStream stream = stream_of(producer);
    auto drained = drain_table_stream(stream, 4);
    ASSERT_TRUE(drained) << drained.error().message;
    EXPECT_EQ(stream.release, nullptr);
    const ArrowChunks& table = drained.value();
    EXPECT_EQ(column_names(table), (std::vector<std::string>{"t", "n", ""}));
    EXPECT_EQ(table_rows(table), 4u);
    auto opened = open_table_columns(table, PythonFlavour::pyarrow, no_zones);
    ASSERT_TRUE(opened) << opened.error().message;
    const std::vector<ArrowColumn>& columns = opened.value().columns;
    ASSERT_EQ(columns.size(), 3u);

    std::string_view views[4];
    bool missing[4];
    columns[0].read_texts(0, 4, views, missing);
    const Texts expected{"p", "q", "r", std::nullopt};
    for (std::size_t row = 0; row < 4; ++row) {
        EXPECT_EQ(missing[row], !expected[row].has_value()) << row;
        if (expected[row]) {
            EXPECT_EQ(views[row], *expected[row]) << row;
        }
    }
    double numbers[4];
    columns[1].read_numbers(0, 4, numbers, 1);
    EXPECT_EQ(numbers[0], 8.0);
    EXPECT_EQ(numbers[1], 9.0);
    EXPECT_EQ(numbers[2], 5.0);
    EXPECT_TRUE(std::isnan(numbers[3]));
    EXPECT_EQ(columns[2].cell_type(), CellType::Number);
    columns[2].read_numbers(0, 4, numbers, 1);
    for (const double number : numbers) EXPECT_TRUE(std::isnan(number));
}

// One lie told about the good table, and how it is refused.
struct Lie {
    const char* what;
    std::function<void(ArrowSchema&, std::vector<ArrowArray>&)> tell;
    ErrorKind kind;
    std::size_t column;
    const char* message;
};

const Bytes second_row_null = bits_of({true, false});

TEST(ArrowTable, RefusesEveryLieAboutItsStructArrays) {
    constexpr ErrorKind invalid = ErrorKind::invalid_memory;
    const std::vector<Lie> lies{
        {"a child shorter than its chunk",
         [](auto&, auto& chunks) { chunks[0].children[0]->length = 2; }, invalid, 0,
         "a column's array is shorter than its table"},
        {"a child count unlike the schema's", [](auto&, auto& chunks) { chunks[1].n_children = 2; },
         invalid, 0, "an array's columns do not match the schema"},
        {"a missing child", [](auto&, auto& chunks) { chunks[1].children[2] = nullptr; }, invalid,
         0, "a column's array is missing"},
        {"a negative chunk length", [](auto&, auto& chunks) { chunks[0].length = -1; }, invalid, 0,
         "an array has a negative length or offset"},
        {"a chunk past the address space, bitmap and all",
         [](auto&, auto& chunks) {
             chunks[0].length = INT64_MAX - 1;
             chunks[0].null_count = -1;
             chunks[0].buffers[0] = second_row_null.data();
             for (std::size_t c = 0; c < 3; ++c) chunks[0].children[c]->length = INT64_MAX;
         },
         invalid, 0, "an array is too long"},
        {"a negative child offset the chunk's would make up",
         [](auto&, auto& chunks) { chunks[0].children[1]->offset = -1; }, invalid, 0,
         "an array has a negative length or offset"},
        {"a child offset overflowing with the chunk's",
         [](auto&, auto& chunks) { chunks[0].children[1]->offset = INT64_MAX; }, invalid, 0,
         "an array is too long"},
        {"a row null as a whole",
         [](auto&, auto& chunks) {
             chunks[1].null_count = 1;
             chunks[1].buffers[0] = second_row_null.data();
         },
         invalid, 0, "row 1 of a chunk is null as a whole"},
        {"a missing column schema", [](auto& schema, auto&) { schema.children[2] = nullptr; },
         invalid, 0, "the schema is not one of a table"},
        {"an unsupported column type",
         [](auto& schema, auto&) { schema.children[1]->format = "z"; }, ErrorKind::unsupported, 1,
         "the Arrow format 'z'"},
        {"a column's missing values",
         [](auto&, auto& chunks) { chunks[1].children[1]->buffers[1] = nullptr; }, invalid, 1,
         "an array's values buffer is missing"},
        {"a column's falling offsets",
         [](auto&, auto& chunks) {
             const std::int32_t falling[] = {0, 1, 0};
             std::memcpy(const_cast<void*>(chunks[1].children[0]->buffers[1]), falling,
                         sizeof falling);
         },
         invalid, 0, "string offsets fall"},
    };
    for (const Lie& lie : lies) {
        SCOPED_TRACE(lie.what);
        ArrowSchema schema = table_schema();
        std::vector<ArrowArray> chunks = table_chunks();
        lie.tell(schema, chunks);
        const ArrowChunks table = table_of(schema, std::move(chunks));
        const auto opened = open_table_columns(table, PythonFlavour::pyarrow, no_zones);
        ASSERT_FALSE(opened);
        EXPECT_EQ(opened.error().kind, lie.kind);
        EXPECT_EQ(opened.error().column, lie.column);
        EXPECT_EQ(opened.error().message, lie.message);
    }
}

TEST(ArrowTable, DrainReleasesEverythingWhenItRefusesOrFails) {
    const int before = released;
    {
        // Not a table: the stream of a column, one array left in it.
        Producer producer{make_schema("u"), {strings({"a"})}};
        ArrowArrayStream stream = stream_of(producer);
        const auto drained = drain_table_stream(stream, 10);
        ASSERT_FALSE(drained);
        EXPECT_EQ(drained.error().kind, ErrorKind::unsupported);
        EXPECT_EQ(stream.release, nullptr);
    }
    EXPECT_EQ(released, before + 2);
    {
        Producer producer{table_schema(), table_chunks()};
        producer.fail_at = 1;
        ArrowArrayStream stream = stream_of(producer);
        const auto drained = drain_table_stream(stream, 10);
        ASSERT_FALSE(drained);
        EXPECT_EQ(drained.error().kind, ErrorKind::producer_failed);
        EXPECT_EQ(stream.release, nullptr);
    }
    // The schema, the chunk taken and the one never given out, four structures each.
    EXPECT_EQ(released, before + 2 + 12);
}

}  // namespace
}  // namespace vexilo::arrow

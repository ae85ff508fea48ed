// Fuzz target for the Arrow table reader: the input bytes describe a table handed over through the
// stream interface (its columns' types, chunks, struct offsets, cells and the lies a producer may
// tell), laid out in memory at exactly the sizes its claims imply. Taking it, checking it and
// reading every column must end in a value or a clean error, never in a read past that memory, and
// every structure must be released once.
#include <sanitizer/asan_interface.h>  // ASAN_POISON_MEMORY_REGION

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/arrow_abi.h"
#include "engine/arrow_column.h"
#include "engine/arrow_stream.h"
#include "engine/arrow_table.h"
#include "engine/column_plan.h"
#include "engine/table.h"
#include "pool/pool.h"

namespace {

using vexilo::arrow::ArrowChunks;

// The input read as a sequence of choices. A spent input reads as zeros, which choose the plain
// case everywhere, so a short input still describes a whole table.
class Input {
public:
    explicit Input(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

    unsigned byte() noexcept { return next_ < bytes_.size() ? bytes_[next_++] : 0u; }
    // A value in [0, n), n > 0.
    unsigned below(unsigned n) noexcept { return byte() % n; }
    // True about once in sixteen choices: where a producer lies.
    bool lie() noexcept { return byte() >= 0xF0; }
    void fill(std::uint8_t* out, std::size_t count) noexcept {
        for (std::size_t i = 0; i < count; ++i) out[i] = static_cast<std::uint8_t>(byte());
    }

private:
    std::span<const std::uint8_t> bytes_;
    std::size_t next_ = 0;
};

// A count or position no memory could back: negative, or past the address space.
std::int64_t impossible(Input& in) {
    const auto small = static_cast<std::int64_t>(in.below(4));
    return in.below(2) ? -1 - small : INT64_MAX - small;
}

// A claimed length or offset that memory can back; anything else the checks must refuse, and the
// memory laid out for it is only what the other, possible claims need.
bool possible(std::int64_t value) noexcept { return value >= 0 && value <= 64; }

std::size_t bitmap_bytes(std::size_t bits) noexcept { return (bits + 7) / 8; }

// The memory behind a structure and everything under it, freed at once by its release callback.
// Every blob is exactly as long as its claims imply, so a read past one is a sanitizer finding.
struct Arena {
    Arena() = default;
    Arena(const Arena&) = delete;
    Arena& operator=(const Arena&) = delete;
    ~Arena() {
        for (std::uint8_t* empty : empty_blobs) ASAN_UNPOISON_MEMORY_REGION(empty, 1);
    }

    std::vector<std::unique_ptr<std::uint8_t[]>> blobs;
    // The sanitizer lets a read of an empty allocation pass, so an empty blob is a poisoned byte.
    std::vector<std::uint8_t*> empty_blobs;
    std::deque<std::vector<const void*>> buffer_lists;
    std::deque<ArrowArray> arrays;
    std::deque<std::vector<ArrowArray*>> array_lists;
    std::deque<ArrowSchema> schemas;
    std::deque<std::vector<ArrowSchema*>> schema_lists;
    std::deque<std::string> texts;

    std::uint8_t* blob(std::size_t count) {
        blobs.emplace_back(new std::uint8_t[count == 0 ? 1 : count]);
        std::uint8_t* out = blobs.back().get();
        if (count == 0) {
            ASAN_POISON_MEMORY_REGION(out, 1);
            empty_blobs.push_back(out);
        }
        return out;
    }
    std::uint8_t* filled(Input& in, std::size_t count) {
        std::uint8_t* out = blob(count);
        in.fill(out, count);
        return out;
    }
};

void release_array(ArrowArray* array) {
    delete static_cast<Arena*>(array->private_data);
    array->release = nullptr;
}
// Children and dictionaries: their parent's arena holds their memory.
void release_inner_array(ArrowArray* array) { array->release = nullptr; }
void release_schema(ArrowSchema* schema) {
    delete static_cast<Arena*>(schema->private_data);
    schema->release = nullptr;
}
void release_inner_schema(ArrowSchema* schema) { schema->release = nullptr; }

// A column's type: the format of its cells (a dictionary's indices) and a dictionary's values.
struct ColumnType {
    const char* format = "u";
    const char* value_format = nullptr;
};

constexpr const char* plain_formats[] = {"u", "U", "vu", "c", "s", "i", "l", "C",
                                         "S", "I", "L",  "f", "g", "b", "n"};
constexpr const char* index_formats[] = {"c", "s", "i", "l", "C", "S", "I", "L"};
constexpr const char* text_formats[] = {"u", "U", "vu"};
// Dates, times, timestamps, durations and decimals, which are rendered into texts first.
constexpr const char* rendered_formats[] = {"tdD",   "tdm",       "tts",        "ttn",
                                            "tsu:",  "tsn:UTC",   "tss:+01:00", "tDu",
                                            "d:5,2", "d:9,-2,32", "d:18,3,64",  "d:40,5,256"};
constexpr const char* unsupported_formats[] = {"z", "+l", "w:4", "tsu:Mars/Base"};

template <std::size_t N>
const char* pick(Input& in, const char* const (&formats)[N]) {
    return formats[in.below(N)];
}

ColumnType column_type(Input& in) {
    const unsigned choice = in.below(22);
    if (choice < 15) return {plain_formats[choice], nullptr};
    if (choice >= 20) return {pick(in, rendered_formats), nullptr};
    if (choice < 18) {
        ColumnType type{pick(in, index_formats), pick(in, text_formats)};
        if (in.lie()) type.format = "f";        // indices that are not integers
        if (in.lie()) type.value_format = "g";  // values that are not texts
        return type;
    }
    return {pick(in, unsupported_formats), nullptr};
}

std::size_t element_size(std::string_view format) noexcept {
    if (format == "c" || format == "C") return 1;
    if (format == "s" || format == "S") return 2;
    if (format == "i" || format == "I" || format == "f" || format == "w:4") return 4;
    if (format == "l" || format == "L" || format == "g") return 8;
    if (format == "tdD" || format == "tts" || format.ends_with(",32")) return 4;
    if (format.starts_with("t") || format.ends_with(",64")) return 8;
    if (format.ends_with(",256")) return 32;
    if (format.starts_with("d:")) return 16;
    return 0;
}

// Offsets of a string array over extent positions, into data of a chosen size: mostly rising,
// sometimes falling or negative, every value within [-size, size] so that the last offset, where
// the offsets are otherwise sound, never passes the data.
template <class Offset>
void fill_offsets(Input& in, Arena& arena, std::size_t extent, std::vector<const void*>& buffers) {
    const auto size = static_cast<std::int64_t>(in.below(24));
    auto* offsets = arena.blob((extent + 1) * sizeof(Offset));
    std::int64_t value = in.below(static_cast<unsigned>(size) + 1);
    for (std::size_t p = 0; p <= extent; ++p) {
        if (in.lie()) {
            value = static_cast<std::int64_t>(in.below(2 * static_cast<unsigned>(size) + 1)) - size;
        } else if (p > 0) {
            value += in.below(static_cast<unsigned>(size - value) + 1);
        }
        value = std::clamp(value, -size, size);
        const auto stored = static_cast<Offset>(value);
        std::memcpy(offsets + p * sizeof(Offset), &stored, sizeof(Offset));
    }
    buffers.push_back(offsets);
    std::uint8_t* data = arena.filled(in, static_cast<std::size_t>(size));
    buffers.push_back(in.lie() ? nullptr : data);
}

void put_i32(std::uint8_t* at, std::int32_t value) noexcept { std::memcpy(at, &value, 4); }

// String views over extent positions and their data buffers, whose sizes the array states.
void fill_views(Input& in, Arena& arena, std::size_t extent, std::vector<const void*>& buffers) {
    const unsigned data_buffers = in.below(4);
    std::vector<std::int64_t> sizes(data_buffers);
    std::vector<std::uint8_t*> data(data_buffers);
    for (unsigned k = 0; k < data_buffers; ++k) {
        const bool stated_truly = !in.lie();
        sizes[k] = stated_truly ? in.below(48) : impossible(in);
        data[k] = arena.filled(in, stated_truly ? static_cast<std::size_t>(sizes[k]) : 0);
    }
    std::uint8_t* views = arena.blob(extent * 16);
    std::memset(views, 0, extent * 16);
    for (std::size_t p = 0; p < extent; ++p) {
        std::uint8_t* view = views + p * 16;
        const unsigned k = data_buffers > 0 ? in.below(data_buffers) : 0;
        const std::int64_t room =
            data_buffers > 0 && sizes[k] >= 13 && sizes[k] < 48 ? sizes[k] : 0;
        std::int32_t size = 0;
        std::int32_t offset = 0;
        if (room == 0 || in.below(3) == 0) {
            size = static_cast<std::int32_t>(in.below(13));
            in.fill(view + 4, static_cast<std::size_t>(size));
            put_i32(view, size);
            continue;
        }
        size = static_cast<std::int32_t>(13 + in.below(static_cast<unsigned>(room) - 12));
        offset = static_cast<std::int32_t>(in.below(static_cast<unsigned>(room - size) + 1));
        std::int32_t buffer = static_cast<std::int32_t>(k);
        std::memcpy(view + 4, data[k] + offset, 4);
        if (in.lie()) {
            switch (in.below(4)) {
                case 0:
                    size = -13 - static_cast<std::int32_t>(in.below(4));
                    break;
                case 1:
                    size = static_cast<std::int32_t>(room) + 1;
                    break;
                case 2:
                    buffer = in.below(2) ? -1 : static_cast<std::int32_t>(data_buffers);
                    break;
                default:
                    offset = in.below(2) ? -1 : static_cast<std::int32_t>(room - size + 1);
                    break;
            }
        }
        put_i32(view, size);
        put_i32(view + 8, buffer);
        put_i32(view + 12, offset);
    }
    buffers.push_back(views);
    for (unsigned k = 0; k < data_buffers; ++k) buffers.push_back(in.lie() ? nullptr : data[k]);
    auto* stated = arena.blob(data_buffers * 8);
    if (data_buffers > 0) std::memcpy(stated, sizes.data(), data_buffers * 8);
    buffers.push_back(in.lie() ? nullptr : stated);
}

// Indices over extent positions into a dictionary of values positions: mostly inside it.
void fill_indices(Input& in, Arena& arena, std::string_view format, std::size_t extent,
                  std::int64_t values, std::vector<const void*>& buffers) {
    const std::size_t width = element_size(format);
    std::uint8_t* indices = arena.blob(extent * width);
    const std::int64_t range = possible(values) ? values : 0;
    for (std::size_t p = 0; p < extent; ++p) {
        std::int64_t index = range > 0 ? in.below(static_cast<unsigned>(range)) : 0;
        if (in.lie()) {
            index = in.below(2) ? range + in.below(4) : -1 - static_cast<std::int64_t>(in.below(4));
        }
        switch (width) {
            case 1: {
                const auto v = static_cast<std::int8_t>(index);
                std::memcpy(indices + p, &v, 1);
                break;
            }
            case 2: {
                const auto v = static_cast<std::int16_t>(index);
                std::memcpy(indices + 2 * p, &v, 2);
                break;
            }
            case 4: {
                const auto v = static_cast<std::int32_t>(index);
                std::memcpy(indices + 4 * p, &v, 4);
                break;
            }
            default:
                std::memcpy(indices + 8 * p, &index, 8);
                break;
        }
    }
    buffers.push_back(indices);
}

// An array of type over positions [0, extent) of its buffers, claiming length and offset, in
// arena: every buffer its type needs, at the size the claims imply, or a lie the checks must catch.
ArrowArray& build_array(Input& in, Arena& arena, const ColumnType& type, std::int64_t length,
                        std::int64_t offset, std::size_t extent) {
    ArrowArray& array = arena.arrays.emplace_back();
    array.length = length;
    array.offset = offset;
    array.release = release_inner_array;
    const std::string_view format = type.format;
    std::vector<const void*>& buffers = arena.buffer_lists.emplace_back();
    if (format == "n") {
        array.null_count = length;
        array.buffers = nullptr;
        return array;
    }
    std::uint8_t* validity = arena.filled(in, bitmap_bytes(extent));
    std::size_t zeros = 0;
    for (std::size_t p = 0; p < extent; ++p) zeros += (validity[p / 8] >> (p % 8) & 1u) == 0;
    switch (in.below(4)) {
        case 0:
            array.null_count = 0;
            break;
        case 1:
            array.null_count = -1;
            break;
        case 2:
            array.null_count = static_cast<std::int64_t>(zeros);
            break;
        default:
            array.null_count = static_cast<std::int64_t>(in.byte()) - 8;
            break;
    }
    buffers.push_back(in.below(4) == 0 ? nullptr : validity);
    if (type.value_format != nullptr) {
        std::int64_t values_length = in.below(6);
        std::int64_t values_offset = in.below(3);
        if (in.lie()) values_length = impossible(in);
        if (in.lie()) values_offset = impossible(in);
        const std::size_t values_extent =
            possible(values_length) && possible(values_offset)
                ? static_cast<std::size_t>(values_length + values_offset)
                : 0;
        fill_indices(in, arena, format, extent, values_length, buffers);
        ArrowArray& values = build_array(in, arena, ColumnType{type.value_format, nullptr},
                                         values_length, values_offset, values_extent);
        array.dictionary = in.lie() ? nullptr : &values;
    } else if (format == "u") {
        fill_offsets<std::int32_t>(in, arena, extent, buffers);
    } else if (format == "U") {
        fill_offsets<std::int64_t>(in, arena, extent, buffers);
    } else if (format == "vu") {
        fill_views(in, arena, extent, buffers);
    } else {
        const std::size_t width = element_size(format);
        buffers.push_back(arena.filled(in, width == 0 ? bitmap_bytes(extent) : extent * width));
    }
    if (buffers.size() > 1 && in.lie()) buffers[1] = nullptr;
    if (in.lie()) {
        // A count the buffers do not match. String views take their data buffers' count from
        // it, and a claim that reaches past the stated sizes is not one a consumer can check, so
        // theirs only falls below the least.
        if (format == "vu") {
            buffers.resize(in.below(3));
        } else if (in.below(2)) {
            buffers.pop_back();
        } else {
            buffers.push_back(arena.blob(0));
        }
    }
    array.n_buffers = static_cast<std::int64_t>(buffers.size());
    array.buffers = in.lie() ? nullptr : buffers.data();
    if (in.lie()) {
        std::vector<ArrowArray*>& children = arena.array_lists.emplace_back();
        children.push_back(&build_array(in, arena, ColumnType{"n", nullptr}, 0, 0, 0));
        array.n_children = 1;
        array.children = children.data();
    }
    return array;
}

// One struct array of a table of types, owning its memory.
ArrowArray build_chunk(Input& in, const std::vector<ColumnType>& types) {
    auto arena = std::make_unique<Arena>();
    std::int64_t length = in.below(9);
    std::int64_t offset = in.below(4);
    if (in.lie()) length = impossible(in);
    if (in.lie()) offset = impossible(in);
    // The child positions the struct covers.
    const std::int64_t covered = possible(length) && possible(offset) ? offset + length : 0;
    auto children = static_cast<std::int64_t>(types.size());
    if (in.lie()) children += (in.below(2) != 0 || children == 0) ? 1 : -1;
    std::vector<ArrowArray*>& list = arena->array_lists.emplace_back();
    for (std::int64_t c = 0; c < children; ++c) {
        const ColumnType& type = types[std::min(static_cast<std::size_t>(c), types.size() - 1)];
        std::int64_t child_offset = in.below(3);
        std::int64_t child_length = covered + in.below(3);
        if (in.lie()) child_offset = impossible(in);
        if (in.lie()) child_length = in.below(2) ? covered - 1 - in.below(2) : impossible(in);
        const std::int64_t reach = std::max(possible(child_length) ? child_length : 0, covered);
        const std::size_t extent =
            static_cast<std::size_t>((possible(child_offset) ? child_offset : 0) + reach);
        ArrowArray& child = build_array(in, *arena, type, child_length, child_offset, extent);
        if (in.lie()) child.release = nullptr;
        list.push_back(in.lie() ? nullptr : &child);
    }
    std::vector<const void*>& buffers = arena->buffer_lists.emplace_back();
    std::uint8_t* validity = arena->blob(bitmap_bytes(static_cast<std::size_t>(covered)));
    for (std::size_t b = 0; b < bitmap_bytes(static_cast<std::size_t>(covered)); ++b) {
        validity[b] = in.lie() ? static_cast<std::uint8_t>(in.byte()) : 0xFF;
    }
    buffers.push_back(in.below(2) ? validity : nullptr);
    ArrowArray chunk{};
    chunk.length = length;
    chunk.offset = offset;
    chunk.null_count = in.below(3) == 0 ? 0 : -1;
    chunk.n_buffers = in.lie() ? 0 : 1;
    chunk.buffers = buffers.data();
    chunk.n_children = children;
    chunk.children = in.lie() ? nullptr : list.data();
    chunk.release = release_array;
    chunk.private_data = arena.release();
    return chunk;
}

ArrowSchema& build_schema(Arena& arena, const char* format) {
    ArrowSchema& schema = arena.schemas.emplace_back();
    schema.format = arena.texts.emplace_back(format).c_str();
    schema.release = release_inner_schema;
    return schema;
}

// The struct schema of a table of types, owning its memory.
ArrowSchema build_table_schema(Input& in, const std::vector<ColumnType>& types) {
    auto arena = std::make_unique<Arena>();
    std::vector<ArrowSchema*>& children = arena->schema_lists.emplace_back();
    for (std::size_t c = 0; c < types.size(); ++c) {
        ArrowSchema& column = build_schema(*arena, types[c].format);
        column.name = in.below(4) == 0
                          ? nullptr
                          : arena->texts.emplace_back(1, static_cast<char>('a' + c)).c_str();
        if (types[c].value_format) {
            column.dictionary = &build_schema(*arena, types[c].value_format);
        }
        if (in.lie()) {
            std::vector<ArrowSchema*>& grandchildren = arena->schema_lists.emplace_back();
            grandchildren.push_back(&build_schema(*arena, "i"));
            column.n_children = 1;
            column.children = grandchildren.data();
        }
        if (in.lie()) column.release = nullptr;
        children.push_back(in.lie() ? nullptr : &column);
    }
    ArrowSchema schema{};
    schema.format = arena->texts.emplace_back(in.lie() ? (in.below(2) ? "+l" : "u") : "+s").c_str();
    schema.n_children = static_cast<std::int64_t>(types.size());
    schema.children = in.lie() ? nullptr : children.data();
    schema.release = release_schema;
    schema.private_data = arena.release();
    return schema;
}

// A producer's stream over a schema and chunks; heap memory freed by its release, so a stream the
// reader never releases is a leak.
struct Producer {
    ArrowSchema schema{};
    std::vector<ArrowArray> chunks;
    std::size_t next = 0;
    bool fail_schema = false;
    std::size_t fail_at = SIZE_MAX;
};

ArrowArrayStream make_stream(std::unique_ptr<Producer> producer) {
    ArrowArrayStream stream{};
    stream.get_schema = [](ArrowArrayStream* self, ArrowSchema* out) {
        auto& p = *static_cast<Producer*>(self->private_data);
        if (p.fail_schema || p.schema.release == nullptr) return EIO;
        *out = p.schema;
        p.schema.release = nullptr;
        return 0;
    };
    stream.get_next = [](ArrowArrayStream* self, ArrowArray* out) {
        auto& p = *static_cast<Producer*>(self->private_data);
        if (p.next == p.fail_at) return EIO;
        if (p.next < p.chunks.size()) {
            *out = p.chunks[p.next];
            p.chunks[p.next++].release = nullptr;
        } else {
            *out = ArrowArray{};
        }
        return 0;
    };
    stream.get_last_error = [](ArrowArrayStream* self) -> const char* {
        return static_cast<Producer*>(self->private_data)->fail_schema ? nullptr : "broken";
    };
    stream.release = [](ArrowArrayStream* self) {
        auto* p = static_cast<Producer*>(self->private_data);
        if (p->schema.release) p->schema.release(&p->schema);
        for (ArrowArray& chunk : p->chunks) {
            if (chunk.release) chunk.release(&chunk);
        }
        delete p;
        self->release = nullptr;
    };
    stream.private_data = producer.release();
    return stream;
}

vexilo::pool::ThreadPool& fuzz_pool() {
    static vexilo::pool::ThreadPool pool(2);
    return pool;
}

// Opens and reads every column of table, as the Python layer does; errors are fine.
void read_table(const ArrowChunks& table) {
    const vexilo::arrow::ZoneLookup no_zones =
        [](std::string_view) -> vexilo::Expected<const vexilo::arrow::TimeZone*> {
        return vexilo::make_error(vexilo::ErrorKind::unsupported, "no zones");
    };
    auto opened = vexilo::arrow::open_table_columns(table, vexilo::arrow::PythonFlavour::pyarrow,
                                                    no_zones, fuzz_pool());
    if (!opened) return;
    (void)vexilo::arrow::column_names(table);
    const std::vector<vexilo::arrow::ArrowColumn>& columns = opened.value().columns;
    const std::size_t rows = vexilo::arrow::table_rows(table);
    vexilo::Table out =
        vexilo::uninitialised_table(rows, columns.size(), vexilo::Layout::ColumnMajor);
    if (rows == 0) return;
    std::vector<vexilo::PlannedColumn> planned(columns.size());
    for (std::size_t col = 0; col < columns.size(); ++col) {
        planned[col].col = col;
        planned[col].arrow = &columns[col];
        planned[col].missing = vexilo::MissingCell::NotANumber;
        planned[col].reader = columns[col].cell_type() == vexilo::arrow::CellType::Number
                                  ? vexilo::PlannedColumn::Reader::arrow_numbers
                                  : vexilo::PlannedColumn::Reader::arrow_texts;
    }
    (void)vexilo::read_planned_columns(planned, out, fuzz_pool());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Input in(std::span<const std::uint8_t>(data, size));
    const bool through_stream = in.below(4) != 0;
    std::vector<ColumnType> types(1 + in.below(4));
    for (ColumnType& type : types) type = column_type(in);
    const unsigned chunks = in.below(4);
    auto producer = std::make_unique<Producer>();
    producer->schema = build_table_schema(in, types);
    for (unsigned k = 0; k < chunks; ++k) producer->chunks.push_back(build_chunk(in, types));
    if (through_stream) {
        producer->fail_schema = in.lie();
        if (in.lie()) producer->fail_at = in.below(4);
        const std::size_t max_rows = in.lie() ? in.below(8) : 64;
        ArrowArrayStream stream = make_stream(std::move(producer));
        auto drained = vexilo::arrow::drain_table_stream(stream, max_rows);
        if (drained) read_table(drained.value());
    } else {
        // A caller that took the structures itself.
        ArrowChunks table;
        table.adopt_schema(producer->schema);
        for (ArrowArray& chunk : producer->chunks) table.adopt_array(chunk);
        read_table(table);
    }
    return 0;
}

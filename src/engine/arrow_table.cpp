// An Arrow table's stream drained and its struct arrays split into checked columns.
// Interpreter-free.
#include "engine/arrow_table.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>

namespace vexilo::arrow {
namespace {

Error invalid(std::string message) {
    return make_error(ErrorKind::invalid_memory, std::move(message));
}

bool bit(const void* bits, std::size_t index) noexcept {
    const unsigned byte = static_cast<const std::uint8_t*>(bits)[index >> 3];
    return ((byte >> (index & 7)) & 1u) != 0;
}

// Checks one struct array of a table with columns children.
std::optional<std::string> check_struct(const ArrowArray& array, std::int64_t columns) {
    if (array.release == nullptr) return "an array is released";
    if (array.length < 0 || array.offset < 0) return "an array has a negative length or offset";
    // Bounded as a column's positions are, before the row bitmap is read over them.
    constexpr std::int64_t limit = PTRDIFF_MAX / 16;
    if (array.length > limit || array.offset > limit - array.length) return "an array is too long";
    if (array.n_children != columns) return "an array's columns do not match the schema";
    if (columns > 0 && array.children == nullptr) return "an array has no columns";
    for (std::int64_t c = 0; c < columns; ++c) {
        const ArrowArray* child = array.children[c];
        if (child == nullptr || child->release == nullptr) return "a column's array is missing";
        if (child->length < 0 || child->length < array.offset + array.length) {
            return "a column's array is shorter than its table";
        }
        // The chunk's offset is added to the child's, which must not reach before the child's
        // memory once added, nor overflow.
        if (child->offset < 0) return "an array has a negative length or offset";
        if (child->offset > INT64_MAX - array.offset) return "an array is too long";
    }
    // A row null as a whole has no cells a table could hold.
    if (array.null_count != 0 && array.n_buffers >= 1 && array.buffers != nullptr &&
        array.buffers[0] != nullptr) {
        const auto first = static_cast<std::size_t>(array.offset);
        for (std::size_t row = 0; row < static_cast<std::size_t>(array.length); ++row) {
            if (!bit(array.buffers[0], first + row)) {
                return "row " + std::to_string(row) + " of a chunk is null as a whole";
            }
        }
    }
    return std::nullopt;
}

// Column c of every chunk: the child with its chunk's offset and length applied, as a view whose
// null count is known only where the chunk is the whole child.
std::vector<ArrowArray> column_arrays(const ArrowChunks& table, std::size_t c) {
    std::vector<ArrowArray> arrays;
    arrays.reserve(table.arrays().size());
    for (const ArrowArray& chunk : table.arrays()) {
        ArrowArray view = *chunk.children[c];
        const bool whole = chunk.offset == 0 && chunk.length == view.length;
        view.offset += chunk.offset;
        view.length = chunk.length;
        if (!whole) view.null_count = -1;
        arrays.push_back(view);
    }
    return arrays;
}

}  // namespace

bool is_table_schema(const ArrowSchema& schema) noexcept {
    if (schema.release == nullptr || schema.format == nullptr ||
        std::string_view(schema.format) != "+s" || schema.n_children < 0 ||
        (schema.n_children > 0 && schema.children == nullptr)) {
        return false;
    }
    for (std::int64_t c = 0; c < schema.n_children; ++c) {
        if (schema.children[c] == nullptr || schema.children[c]->release == nullptr) return false;
    }
    return true;
}

Expected<ArrowChunks> drain_table_stream(ArrowArrayStream& stream, std::size_t max_rows) {
    if (stream.release == nullptr) return invalid("the stream is released");
    if (stream.get_schema == nullptr || stream.get_next == nullptr) {
        stream.release(&stream);
        return invalid("the stream has no callbacks");
    }
    ArrowSchema schema{};
    if (const int code = stream.get_schema(&stream, &schema); code != 0) {
        const char* message = stream.get_last_error ? stream.get_last_error(&stream) : nullptr;
        Error error = make_error(ErrorKind::producer_failed,
                                 "get_schema failed with code " + std::to_string(code) +
                                     (message ? std::string(": ") + message : std::string()));
        stream.release(&stream);
        return error;
    }
    ArrowChunks schema_only;
    schema_only.adopt_schema(schema);
    if (!is_table_schema(schema_only.schema())) {
        stream.release(&stream);
        return make_error(ErrorKind::unsupported, "the stream is not one of a table");
    }
    return drain_arrays(stream, std::move(schema_only), max_rows);
}

std::vector<std::string> column_names(const ArrowChunks& table) {
    const ArrowSchema& schema = table.schema();
    std::vector<std::string> names;
    names.reserve(static_cast<std::size_t>(schema.n_children));
    for (std::int64_t c = 0; c < schema.n_children; ++c) {
        const char* name = schema.children[c]->name;
        names.emplace_back(name ? name : "");
    }
    return names;
}

std::size_t table_rows(const ArrowChunks& table) noexcept {
    std::size_t rows = 0;
    for (const ArrowArray& chunk : table.arrays()) rows += static_cast<std::size_t>(chunk.length);
    return rows;
}

std::vector<std::string> named_zones(const ArrowChunks& table) {
    const ArrowSchema& schema = table.schema();
    std::vector<std::string> names;
    if (!is_table_schema(schema)) return names;
    for (std::int64_t c = 0; c < schema.n_children; ++c) {
        const ArrowSchema* column = schema.children[c];
        if (column == nullptr || column->format == nullptr) continue;
        const std::optional<std::string_view> zone = zone_to_look_up(column->format);
        if (zone && std::find(names.begin(), names.end(), *zone) == names.end()) {
            names.emplace_back(*zone);
        }
    }
    return names;
}

Expected<TableColumns> open_table_columns(const ArrowChunks& table, PythonFlavour flavour,
                                          const ZoneLookup& zones, pool::ThreadPool& pool) {
    const ArrowSchema& schema = table.schema();
    if (!is_table_schema(schema)) return invalid("the schema is not one of a table");
    std::uint64_t rows = 0;
    for (const ArrowArray& chunk : table.arrays()) {
        if (auto problem = check_struct(chunk, schema.n_children)) return invalid(*problem);
        rows += static_cast<std::uint64_t>(chunk.length);
        if (rows > static_cast<std::uint64_t>(PTRDIFF_MAX) / 16) return invalid("too many rows");
    }
    const auto columns = static_cast<std::size_t>(schema.n_children);
    std::vector<std::optional<Expected<ArrowColumn>>> opened(columns);
    std::vector<std::optional<RenderedColumn>> rendered(columns);
    pool.parallel_for(columns, [&](std::size_t c) {
        const ArrowSchema& column = *schema.children[c];
        const std::vector<ArrowArray> arrays = column_arrays(table, c);
        if (column.format == nullptr || column.dictionary != nullptr ||
            !is_rendered_format(column.format)) {
            opened[c].emplace(ArrowColumn::open(column, arrays));
            return;
        }
        Expected<RenderedColumn> texts = render_column(column, arrays, flavour, zones);
        if (!texts) {
            opened[c].emplace(std::move(texts).error());
            return;
        }
        rendered[c].emplace(std::move(texts).value());
        const ArrowArray array = rendered[c]->array();
        opened[c].emplace(ArrowColumn::open(rendered[c]->schema(), std::span(&array, 1)));
    });
    TableColumns opened_columns;
    opened_columns.columns.reserve(columns);
    for (std::size_t c = 0; c < columns; ++c) {
        if (!*opened[c]) {
            Error error = std::move(*opened[c]).error();
            error.column = c;
            return error;
        }
        opened_columns.columns.push_back(std::move(*opened[c]).value());
        if (rendered[c]) opened_columns.rendered.push_back(std::move(*rendered[c]));
    }
    return opened_columns;
}

}  // namespace vexilo::arrow

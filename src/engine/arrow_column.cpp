// Arrow structures taken over and released, and the checks and loops that read their cells.
#include "engine/arrow_column.h"

#include <algorithm>
#include <limits>
#include <optional>
#include <string>
#include <utility>

#include "engine/unaligned_load.h"

namespace vexilo::arrow {
namespace {

using Cells = ArrowColumn::Cells;

// Every position and byte extent stays at most this, so that no (position + 1) times an element
// size (16 bytes at most: a string view) can overflow the address space.
constexpr std::uint64_t position_limit =
    static_cast<std::uint64_t>(std::numeric_limits<std::ptrdiff_t>::max()) / 16 - 1;
constexpr std::size_t view_size = 16;
constexpr std::int32_t inline_view_limit = 12;  // longer texts live in a data buffer

// Element index of a buffer of T; Arrow buffers handed over need not be aligned for T.
template <class T>
T load(const void* base, std::size_t index) noexcept {
    return load_unaligned<T>(static_cast<const char*>(base) + index * sizeof(T));
}

// The address of element index of a buffer of number kind K.
template <StorageKind K>
const char* element_address(const void* base, std::size_t index) noexcept {
    return static_cast<const char*>(base) + index * sizeof(element_of<K>);
}

bool bit(const void* bits, std::size_t index) noexcept {
    const unsigned byte = static_cast<const std::uint8_t*>(bits)[index >> 3];
    return ((byte >> (index & 7)) & 1u) != 0;
}

bool is_missing(const Cells& cells, std::size_t at) noexcept {
    return cells.validity != nullptr && !bit(cells.validity, at);
}

// The storage kind of an Arrow format this reader takes.
std::optional<StorageKind> storage_of(std::string_view format) noexcept {
    static constexpr std::pair<std::string_view, StorageKind> formats[] = {
        {"c", StorageKind::int8},
        {"s", StorageKind::int16},
        {"i", StorageKind::int32},
        {"l", StorageKind::int64},
        {"C", StorageKind::uint8},
        {"S", StorageKind::uint16},
        {"I", StorageKind::uint32},
        {"L", StorageKind::uint64},
        {"f", StorageKind::float32},
        {"g", StorageKind::float64},
        {"b", StorageKind::bool_bits},
        {"u", StorageKind::text_offsets},
        {"U", StorageKind::text_large_offsets},
        {"vu", StorageKind::text_views},
    };
    for (const auto& [name, storage] : formats) {
        if (name == format) return storage;
    }
    return std::nullopt;
}

// The index at position at of an integer array, widened; false for a negative one.
bool index_of(const Cells& cells, std::size_t at, std::uint64_t& index) noexcept {
    bool valid = false;
    visit_integer(cells.storage, [&]<StorageKind K>(Storage<K>) {
        valid = index_at<K>(element_address<K>(cells.values, at), index);
    });
    return valid;
}

template <StorageKind K>
std::string_view text_at(const Cells& cells, std::size_t at) noexcept {
    static_assert(is_text(K));
    if constexpr (K == StorageKind::text_offsets || K == StorageKind::text_large_offsets) {
        using Offset =
            std::conditional_t<K == StorageKind::text_offsets, std::int32_t, std::int64_t>;
        // open() let the data buffer be absent only where every text is empty; an offset into
        // nothing is no pointer.
        if (cells.data == nullptr) return {};
        const Offset first = load<Offset>(cells.values, at);
        const Offset last = load<Offset>(cells.values, at + 1);
        return {cells.data + static_cast<std::ptrdiff_t>(first),
                static_cast<std::size_t>(last - first)};
    } else {
        const char* view = static_cast<const char*>(cells.values) + at * view_size;
        const auto size = load_unaligned<std::int32_t>(view);
        if (size <= inline_view_limit) return {view + 4, static_cast<std::size_t>(size)};
        const auto buffer = static_cast<std::size_t>(load_unaligned<std::int32_t>(view + 8));
        const auto offset = static_cast<std::size_t>(load_unaligned<std::int32_t>(view + 12));
        return {cells.view_data[buffer] + offset, static_cast<std::size_t>(size)};
    }
}

// Calls read(Storage<K>{}) for the text kind of cells.
template <class Read>
void visit_text(const Cells& cells, Read&& read) {
    visit_storage(cells.storage, [&]<StorageKind K>(Storage<K> storage) {
        if constexpr (is_text(K)) read(storage);
    });
}

std::string_view any_text_at(const Cells& cells, std::size_t at) noexcept {
    std::string_view text;
    visit_text(cells, [&]<StorageKind K>(Storage<K>) { text = text_at<K>(cells, at); });
    return text;
}

// Offsets [offset, offset + length] must start at 0 or more, never fall and end inside the
// address space; the data buffer must be there when they span any byte.
template <class Offset>
std::optional<std::string> check_offsets(const ArrowArray& array, Cells& cells) {
    Offset previous = load<Offset>(cells.values, cells.offset);
    if (previous < 0) return "a string offset is negative";
    for (std::size_t i = 1; i <= cells.length; ++i) {
        const Offset next = load<Offset>(cells.values, cells.offset + i);
        if (next < previous) return "string offsets fall";
        previous = next;
    }
    if (static_cast<std::uint64_t>(previous) > position_limit) return "string data too large";
    cells.data = static_cast<const char*>(array.buffers[2]);
    if (cells.data == nullptr && previous != load<Offset>(cells.values, cells.offset)) {
        return "the string data buffer is missing";
    }
    return std::nullopt;
}

std::optional<std::string> check_views(const ArrowArray& array, Cells& cells) {
    const auto data_buffers = static_cast<std::size_t>(array.n_buffers - 3);
    const void* sizes_buffer = array.buffers[array.n_buffers - 1];
    if (data_buffers > 0 && sizes_buffer == nullptr) return "the data buffer sizes are missing";
    std::vector<std::uint64_t> sizes(data_buffers);
    cells.view_data.resize(data_buffers);
    for (std::size_t k = 0; k < data_buffers; ++k) {
        const auto size = load<std::int64_t>(sizes_buffer, k);
        if (size < 0 || static_cast<std::uint64_t>(size) > position_limit) {
            return "a data buffer size is out of range";
        }
        sizes[k] = static_cast<std::uint64_t>(size);
        cells.view_data[k] = static_cast<const char*>(array.buffers[2 + k]);
        if (size > 0 && cells.view_data[k] == nullptr) return "a data buffer is missing";
    }
    for (std::size_t i = 0; i < cells.length; ++i) {
        const std::size_t at = cells.offset + i;
        if (is_missing(cells, at)) continue;  // a null cell's view is never read
        const char* view = static_cast<const char*>(cells.values) + at * view_size;
        const auto size = load_unaligned<std::int32_t>(view);
        if (size < 0) return "a string view has a negative size";
        if (size <= inline_view_limit) continue;
        const auto buffer = load_unaligned<std::int32_t>(view + 8);
        const auto offset = load_unaligned<std::int32_t>(view + 12);
        if (buffer < 0 || static_cast<std::size_t>(buffer) >= data_buffers || offset < 0 ||
            static_cast<std::uint64_t>(offset) + static_cast<std::uint64_t>(size) >
                sizes[static_cast<std::size_t>(buffer)]) {
            return "a string view lies outside its data buffers";
        }
    }
    return std::nullopt;
}

// Checks one array of the given storage and describes its cells in cells.
std::optional<std::string> check_array(const ArrowArray& array, StorageKind storage, Cells& cells) {
    if (auto problem = check_extent(array)) return problem;
    const auto length = static_cast<std::uint64_t>(array.length);
    const auto offset = static_cast<std::uint64_t>(array.offset);
    const bool views = storage == StorageKind::text_views;
    const std::int64_t buffers = is_text(storage) ? 3 : 2;
    if (views ? array.n_buffers < 3 || static_cast<std::uint64_t>(array.n_buffers) > position_limit
              : array.n_buffers != buffers) {
        return "an array has the wrong number of buffers";
    }
    if (array.buffers == nullptr) return "an array has no buffers";
    cells.storage = storage;
    cells.length = static_cast<std::size_t>(length);
    cells.offset = static_cast<std::size_t>(offset);
    // A null count of 0 says no cell is missing, whatever the bitmap; an absent bitmap likewise.
    cells.validity =
        array.null_count != 0 ? static_cast<const std::uint8_t*>(array.buffers[0]) : nullptr;
    cells.values = array.buffers[1];
    if (cells.length == 0) return std::nullopt;  // nothing will be read
    if (cells.values == nullptr) return "an array's values buffer is missing";
    switch (storage) {
        case StorageKind::text_offsets:
            return check_offsets<std::int32_t>(array, cells);
        case StorageKind::text_large_offsets:
            return check_offsets<std::int64_t>(array, cells);
        case StorageKind::text_views:
            return check_views(array, cells);
        default:
            return std::nullopt;
    }
}

std::size_t count_missing(const Cells& cells) noexcept {
    if (cells.validity == nullptr) return 0;
    std::size_t missing = 0;
    for (std::size_t i = 0; i < cells.length; ++i) {
        if (is_missing(cells, cells.offset + i)) ++missing;
    }
    return missing;
}

// Checks every present index against the dictionary and counts the missing cells: a null index,
// or an index of a null value. first_row: the chunk's first row in the column, for the error.
Expected<std::size_t> check_indices(const Cells& indices, const Cells& values,
                                    std::size_t first_row) {
    std::size_t missing = 0;
    for (std::size_t i = 0; i < indices.length; ++i) {
        const std::size_t at = indices.offset + i;
        if (is_missing(indices, at)) {
            ++missing;
            continue;
        }
        std::uint64_t index = 0;
        if (!index_of(indices, at, index) || index >= values.length) {
            Error error =
                make_error(ErrorKind::invalid_memory, "a dictionary index is out of range at row " +
                                                          std::to_string(first_row + i));
            error.row = first_row + i;
            return error;
        }
        if (is_missing(values, values.offset + static_cast<std::size_t>(index))) ++missing;
    }
    return missing;
}

std::optional<StorageKind> schema_storage(const ArrowSchema& schema) {
    if (schema.format == nullptr || schema.n_children != 0) return std::nullopt;
    return storage_of(schema.format);
}

Error invalid(std::string message) {
    return make_error(ErrorKind::invalid_memory, std::move(message));
}

// A format as messages show it: quoted, with bytes outside printable ASCII escaped and a long
// one cut, since a producer may put anything there.
std::string quoted_format(const char* format) {
    if (format == nullptr) return "(none)";
    std::string shown = "'";
    std::size_t length = 0;
    for (const char* next = format; *next != '\0'; ++next, ++length) {
        if (length == 64) {
            shown += "...";
            break;
        }
        const auto byte = static_cast<unsigned char>(*next);
        if (byte >= 0x20 && byte < 0x7f && byte != '\\' && byte != '\'') {
            shown += static_cast<char>(byte);
        } else {
            static constexpr char digits[] = "0123456789abcdef";
            shown += "\\x";
            shown += digits[byte >> 4];
            shown += digits[byte & 15];
        }
    }
    return shown + "'";
}

Error unsupported(std::string message) {
    return make_error(ErrorKind::unsupported, std::move(message));
}

// The storage of a column's cells and, for a dictionary column, of its values (else nothing).
Expected<std::pair<StorageKind, std::optional<StorageKind>>> column_storage(
    const ArrowSchema& schema) {
    const std::optional<StorageKind> storage = schema_storage(schema);
    if (!storage) {
        return unsupported(schema.format == nullptr
                               ? std::string("a type without a format")
                               : "the Arrow format " + quoted_format(schema.format));
    }
    if (schema.dictionary == nullptr) return std::pair{*storage, std::optional<StorageKind>()};
    const std::optional<StorageKind> values = schema_storage(*schema.dictionary);
    if (!is_integer(*storage) || !values || !is_text(*values) ||
        schema.dictionary->dictionary != nullptr) {
        return unsupported("a dictionary of the Arrow format " +
                           quoted_format(schema.dictionary->format));
    }
    return std::pair{*storage, values};
}

template <StorageKind K>
void read_plain_texts(const Cells& cells, std::size_t begin, std::size_t end,
                      std::string_view* views, bool* missing) noexcept {
    for (std::size_t i = begin; i < end; ++i, ++views, ++missing) {
        const std::size_t at = cells.offset + i;
        *missing = is_missing(cells, at);
        *views = *missing ? std::string_view() : text_at<K>(cells, at);
    }
}

// Rows [first, last) of one array of numbers, to out[(row - first) * stride].
template <StorageKind K>
void copy_numbers(const Cells& cells, std::size_t first, std::size_t last, double* out,
                  std::size_t stride) noexcept {
    for (std::size_t i = first; i < last; ++i, out += stride) {
        const std::size_t at = cells.offset + i;
        if (is_missing(cells, at)) {
            *out = std::numeric_limits<double>::quiet_NaN();
        } else if constexpr (K == StorageKind::bool_bits) {
            *out = bit(cells.values, at) ? 1.0 : 0.0;
        } else {
            *out = number_at<K>(element_address<K>(cells.values, at));
        }
    }
}

// The chunk holding row, of chunks in row order with first rows ascending.
template <class Chunks>
auto chunk_of(const Chunks& chunks, std::size_t row) {
    auto chunk = std::upper_bound(
        chunks.begin(), chunks.end(), row,
        [](std::size_t r, const ArrowColumn::Chunk& c) { return r < c.first_row; });
    return --chunk;
}

}  // namespace

std::optional<std::string> check_extent(const ArrowArray& array) {
    if (array.release == nullptr) return "an array is released";
    if (array.length < 0 || array.offset < 0) return "an array has a negative length or offset";
    const auto length = static_cast<std::uint64_t>(array.length);
    const auto offset = static_cast<std::uint64_t>(array.offset);
    if (length > position_limit || offset > position_limit - length) {
        return "an array is too long";
    }
    if (array.n_children != 0) return "an array of this type has children";
    return std::nullopt;
}

// A column of the null type: arrays without buffers whose cells are all missing.
Expected<ArrowColumn> ArrowColumn::open_all_missing(std::span<const ArrowArray> arrays) {
    ArrowColumn column;
    column.all_missing_ = true;
    for (const ArrowArray& array : arrays) {
        if (array.release == nullptr) return invalid("an array is released");
        if (array.length < 0 || array.offset < 0) {
            return invalid("an array has a negative length or offset");
        }
        const auto length = static_cast<std::uint64_t>(array.length);
        if (length > position_limit - column.rows_) return invalid("the column is too long");
        column.rows_ += static_cast<std::size_t>(length);
    }
    column.null_count_ = column.rows_;
    return column;
}

Expected<ArrowColumn> ArrowColumn::open(const ArrowChunks& chunks) {
    if (chunks.schema().release == nullptr) return invalid("no schema");
    return open(chunks.schema(), chunks.arrays());
}

Expected<ArrowColumn> ArrowColumn::open(const ArrowSchema& schema,
                                        std::span<const ArrowArray> arrays) {
    if (schema.format != nullptr && std::string_view(schema.format) == "n" &&
        schema.n_children == 0 && schema.dictionary == nullptr) {
        return open_all_missing(arrays);
    }
    const auto [storage, value_storage] = VX_EXPECT(column_storage(schema));
    ArrowColumn column;
    column.cell_type_ = value_storage || is_text(storage) ? CellType::Text : CellType::Number;
    for (const ArrowArray& array : arrays) {
        Chunk chunk;
        chunk.first_row = column.rows_;
        if (auto problem = check_array(array, storage, chunk.cells)) return invalid(*problem);
        if (value_storage) {
            if (array.dictionary == nullptr) return invalid("a dictionary is missing");
            if (auto problem = check_array(*array.dictionary, *value_storage, chunk.values)) {
                return invalid(*problem);
            }
            column.null_count_ += VX_EXPECT(check_indices(chunk.cells, chunk.values, column.rows_));
            chunk.dictionary = true;
        } else {
            column.null_count_ += count_missing(chunk.cells);
        }
        if (chunk.cells.length == 0) continue;
        if (chunk.cells.length > position_limit - column.rows_) {
            return invalid("the column is too long");
        }
        column.rows_ += chunk.cells.length;
        column.chunks_.push_back(std::move(chunk));
    }
    return column;
}

void ArrowColumn::read_texts(std::size_t begin, std::size_t end, std::string_view* views,
                             bool* missing) const noexcept {
    if (begin >= end) return;
    for (auto chunk = chunk_of(chunks_, begin); begin < end; ++chunk) {
        const Cells& cells = chunk->cells;
        const std::size_t first = begin - chunk->first_row;
        const std::size_t last = std::min(cells.length, end - chunk->first_row);
        if (chunk->dictionary) {
            for (std::size_t i = first; i < last; ++i, ++views, ++missing) {
                const std::size_t at = cells.offset + i;
                std::uint64_t index = 0;  // checked by open(): inside the dictionary
                const bool present = !is_missing(cells, at) && index_of(cells, at, index);
                const std::size_t value = chunk->values.offset + static_cast<std::size_t>(index);
                *missing = !present || is_missing(chunk->values, value);
                *views = *missing ? std::string_view() : any_text_at(chunk->values, value);
            }
        } else {
            visit_text(cells, [&]<StorageKind K>(Storage<K>) {
                read_plain_texts<K>(cells, first, last, views, missing);
            });
            views += last - first;
            missing += last - first;
        }
        begin += last - first;
    }
}

void ArrowColumn::read_dictionary_positions(const Chunk& chunk, std::size_t begin, std::size_t end,
                                            std::int64_t* positions) noexcept {
    const Cells& cells = chunk.cells;
    for (std::size_t i = begin; i < end; ++i, ++positions) {
        const std::size_t at = cells.offset + i;
        std::uint64_t index = 0;  // checked by open(): inside the dictionary
        const bool present = !is_missing(cells, at) && index_of(cells, at, index);
        const bool missing =
            !present ||
            is_missing(chunk.values, chunk.values.offset + static_cast<std::size_t>(index));
        *positions = missing ? -1 : static_cast<std::int64_t>(index);
    }
}

std::string_view ArrowColumn::dictionary_text(const Chunk& chunk, std::size_t position) noexcept {
    return any_text_at(chunk.values, chunk.values.offset + position);
}

void ArrowColumn::read_numbers(std::size_t begin, std::size_t end, double* out,
                               std::size_t stride) const noexcept {
    if (begin >= end) return;
    if (all_missing_) {
        for (std::size_t row = begin; row < end; ++row, out += stride) {
            *out = std::numeric_limits<double>::quiet_NaN();
        }
        return;
    }
    for (auto chunk = chunk_of(chunks_, begin); begin < end; ++chunk) {
        const Cells& cells = chunk->cells;
        const std::size_t first = begin - chunk->first_row;
        const std::size_t last = std::min(cells.length, end - chunk->first_row);
        // A text storage never reaches here: open() typed the column.
        visit_storage(cells.storage, [&]<StorageKind K>(Storage<K>) {
            if constexpr (is_number_element(K) || K == StorageKind::bool_bits) {
                copy_numbers<K>(cells, first, last, out, stride);
            }
        });
        out += (last - first) * stride;
        begin += last - first;
    }
}

}  // namespace vexilo::arrow

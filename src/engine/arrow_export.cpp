// Arrow memory built from a table: each column's labels copied once, cells decoded on the pool in
// blocks of rows, and structures whose release callbacks share one counted owner.
// Interpreter-free.
#include "engine/arrow_export.h"

#include <algorithm>
#include <atomic>
#include <cerrno>  // ENOMEM
#include <cstdint>
#include <cstdlib>
#include <cstring>  // std::memcpy
#include <limits>
#include <memory>
#include <new>
#include <stdexcept>  // std::length_error
#include <string_view>
#include <utility>
#include <vector>

#include "engine/category_positions.h"
#include "engine/code_key.h"
#include "engine/internal_failure.h"

namespace vexilo::arrow {
namespace {

// The rows one decoding task takes: a multiple of 8, so that each task writes whole bytes of the
// validity bitmap, and enough that a task costs far more than handing it to a thread.
constexpr std::size_t block_rows = std::size_t{1} << 15;
// A string view's data buffers are addressed by 32-bit offsets, and its lengths are 32-bit.
constexpr std::size_t longest_view_buffer = 0x7fffffff;
constexpr std::size_t inline_view_bytes = 12;

// A pointer for buffers of no elements, which consumers may still want to be non-null and
// aligned.
alignas(64) constexpr std::int64_t no_elements[1] = {0};

// A buffer of uninitialised bytes, aligned for any element type (malloc's alignment), freed by
// CellBufferDeleter. Unlike a table's cells these buffers are not advised to use huge pages:
// timed on decoded columns, the kernel's compaction to find huge pages cost more than the page
// faults it saved, and the consumer, not this module, decides how long the buffers live.
CellBuffer allocate_bytes(std::size_t bytes) {
    void* memory = std::malloc(bytes ? bytes : 1);
    if (!memory) throw std::bad_alloc();
    return CellBuffer(static_cast<double*>(memory));
}

// count elements of size bytes each, or std::bad_alloc when that many cannot be addressed.
std::size_t checked_bytes(std::size_t count, std::size_t size) {
    if (count > std::numeric_limits<std::size_t>::max() / size) throw std::bad_alloc();
    return count * size;
}

template <class T>
T* elements(const CellBuffer& buffer) noexcept {
    return reinterpret_cast<T*>(buffer.get());
}

// One 16-byte string view: the length, then either the text (12 bytes at most, zero-padded) or
// its first 4 bytes, the data buffer's index and the offset in it. All zero for a null cell.
struct View {
    unsigned char bytes[16];
};

// The labels of one decoded column, copied out of its inverse map, and the lookup from a cell's
// code to its label. Position count() is the null label: the empty text, for the cells of a
// missing code or of a code without a label, so that decoding a cell never branches on it.
struct ColumnLabels {
    std::string text;                                         // every label, end to end
    std::vector<std::size_t> starts{0};                       // label i: [starts[i], starts[i + 1])
    std::vector<std::size_t> dense;                           // label of code k < dense.size()
    std::vector<std::pair<std::uint64_t, std::size_t>> rest;  // other codes, ascending
    double dense_limit = 0;                                   // dense.size()

    std::size_t count() const noexcept { return starts.size() - 2; }
    std::string_view label(std::size_t i) const noexcept {
        return std::string_view(text).substr(starts[i], starts[i + 1] - starts[i]);
    }

    // The label of a cell's code; count() for a missing code or one without a label.
    std::size_t find(double code) const noexcept {
        // Every code of a state that encoding made passes here: one range check, one load.
        if (code >= 0.0 && code < dense_limit) return dense[static_cast<std::size_t>(code)];
        if (is_missing_code(code)) return count();
        const std::uint64_t key = code_key(code);
        if (key < dense.size()) return dense[static_cast<std::size_t>(key)];
        const auto at = std::lower_bound(rest.begin(), rest.end(), key,
                                         [](const std::pair<std::uint64_t, std::size_t>& entry,
                                            std::uint64_t wanted) { return entry.first < wanted; });
        return at != rest.end() && at->first == key ? at->second : count();
    }
};

ColumnLabels copy_labels(const InverseMap& inverse) {
    ColumnLabels labels;
    std::size_t bytes = 0;
    std::uint64_t largest = 0;
    for (const auto& entry : inverse) {
        bytes += entry.second.size();
        largest = std::max(largest, entry.first);
    }
    labels.text.reserve(bytes);
    labels.starts.reserve(inverse.size() + 2);
    // Encoding numbers the labels 0 .. k-1, all of which the array covers; the few codes of a
    // restored state beyond it are searched.
    if (!inverse.empty()) {
        const std::uint64_t dense_size =
            std::min<std::uint64_t>(largest, 2 * std::uint64_t{inverse.size()} + 1023) + 1;
        labels.dense.assign(static_cast<std::size_t>(dense_size), inverse.size());
        labels.dense_limit = static_cast<double>(dense_size);
    }
    for (const auto& entry : inverse) {
        const std::size_t index = labels.starts.size() - 1;
        labels.text.append(entry.second);
        labels.starts.push_back(labels.text.size());
        if (entry.first < labels.dense.size()) {
            labels.dense[static_cast<std::size_t>(entry.first)] = index;
        } else {
            labels.rest.emplace_back(entry.first, index);
        }
    }
    labels.starts.push_back(labels.text.size());  // the null label
    std::sort(labels.rest.begin(), labels.rest.end());
    return labels;
}

// The memory of one exported column and the buffer pointers its array hands out.
struct ColumnMemory {
    const char* format = "g";
    CellBuffer validity;                 // null: no cell is null
    CellBuffer values;                   // large strings: the offsets; string views: the views
    CellBuffer text;                     // large strings: the cells' texts
    std::vector<std::string> view_data;  // string views: the long labels, each once
    std::vector<std::int64_t> view_data_sizes;
    std::vector<const void*> buffers;
    std::int64_t null_count = 0;
    // Dictionary columns: the metadata of the field, and the categories with the buffers of the
    // dictionary array that hands them out (its views' long labels in view_data).
    bool dictionary = false;
    const char* dictionary_format = nullptr;
    std::string metadata;
    ColumnLabels dictionary_labels;
    std::vector<View> dictionary_views;
    std::vector<std::int64_t> dictionary_offsets;
    std::vector<const void*> dictionary_buffers;
};

// Everything the exported structures point to, freed when the last of the stream and the arrays
// it gave out is released.
struct ExportedTable {
    std::atomic<std::size_t> references{1};
    std::int64_t rows = 0;
    CellBuffer numbers;  // the table's own buffer, or the number columns copied
    std::vector<std::string> names;
    std::vector<ColumnMemory> columns;
    std::vector<ArrowArray> children;  // the struct array's children, while it holds them
    std::vector<ArrowArray*> child_pointers;
    std::vector<ArrowArray> dictionaries;  // by column; the dictionary columns' own, owned by them
    const void* struct_buffers[1] = {nullptr};
};

void drop_reference(ExportedTable* table) noexcept {
    // acq_rel: the last release must see every other holder's last use of the memory.
    if (table->references.fetch_sub(1, std::memory_order_acq_rel) == 1) delete table;
}

// Releases a child array, or a dictionary array (which has no dictionary of its own). A child
// owns its dictionary, wherever the child was moved.
void release_child_array(ArrowArray* array) {
    auto* table = static_cast<ExportedTable*>(array->private_data);
    if (array->dictionary && array->dictionary->release)
        array->dictionary->release(array->dictionary);
    array->release = nullptr;
    drop_reference(table);
}

void release_struct_array(ArrowArray* array) {
    auto* table = static_cast<ExportedTable*>(array->private_data);
    // Children moved out were marked released by whoever moved them.
    for (ArrowArray& child : table->children) {
        if (child.release) child.release(&child);
    }
    array->release = nullptr;
    drop_reference(table);
}

// The schemas: each field owns a copy of its name; the struct schema owns its children's
// structures, from which a consumer may move them out.
struct StructSchema {
    std::vector<ArrowSchema> children;
    std::vector<ArrowSchema*> pointers;
};

// What a field's schema owns: its name, its metadata, and a dictionary column's value schema.
struct FieldSchema {
    std::string name;
    std::string metadata;
    ArrowSchema dictionary{};
};

void release_dictionary_schema(ArrowSchema* schema) { schema->release = nullptr; }

void release_field_schema(ArrowSchema* schema) {
    if (schema->dictionary && schema->dictionary->release) {
        schema->dictionary->release(schema->dictionary);
    }
    delete static_cast<FieldSchema*>(schema->private_data);
    schema->release = nullptr;
}

void release_struct_schema(ArrowSchema* schema) {
    auto* owned = static_cast<StructSchema*>(schema->private_data);
    for (ArrowSchema& child : owned->children) {
        if (child.release) child.release(&child);
    }
    delete owned;
    schema->release = nullptr;
}

void describe_table(const ExportedTable& table, ArrowSchema* out) {
    auto owned = std::make_unique<StructSchema>();
    const std::size_t count = table.names.size();
    owned->children.resize(count);
    owned->pointers.resize(count);
    try {
        for (std::size_t i = 0; i < count; ++i) {
            const ColumnMemory& column = table.columns[i];
            auto owned_field = std::make_unique<FieldSchema>();
            owned_field->name = table.names[i];
            owned_field->metadata = column.metadata;
            ArrowSchema& field = owned->children[i];
            field = ArrowSchema{};
            field.format = column.format;
            field.name = owned_field->name.c_str();
            if (!owned_field->metadata.empty()) field.metadata = owned_field->metadata.data();
            field.flags = ARROW_FLAG_NULLABLE;
            if (column.dictionary) {
                ArrowSchema& values = owned_field->dictionary;
                values.format = column.dictionary_format;
                values.name = "";
                values.release = release_dictionary_schema;
                field.dictionary = &values;
            }
            field.release = release_field_schema;
            field.private_data = owned_field.release();
            owned->pointers[i] = &field;
        }
    } catch (...) {
        for (ArrowSchema& child : owned->children) {
            if (child.release) child.release(&child);
        }
        throw;
    }
    *out = ArrowSchema{};
    out->format = "+s";
    out->name = "";
    out->n_children = static_cast<std::int64_t>(count);
    out->children = owned->pointers.data();
    out->release = release_struct_schema;
    out->private_data = owned.release();
}

struct StreamState {
    ExportedTable* table;  // one reference
    bool handed_out = false;
    const char* last_error = nullptr;
};

int stream_get_schema(ArrowArrayStream* stream, ArrowSchema* out) {
    auto* state = static_cast<StreamState*>(stream->private_data);
    state->last_error = nullptr;
    try {
        describe_table(*state->table, out);
        return 0;
    } catch (...) {
        // Only an allocation can fail here.
        state->last_error = "out of memory while describing the exported table";
        return ENOMEM;
    }
}

int stream_get_next(ArrowArrayStream* stream, ArrowArray* out) {
    auto* state = static_cast<StreamState*>(stream->private_data);
    state->last_error = nullptr;
    *out = ArrowArray{};
    if (state->handed_out) return 0;  // the end: a released array
    state->handed_out = true;
    ExportedTable* table = state->table;
    const std::size_t count = table->columns.size();
    std::size_t dictionaries = 0;
    for (const ColumnMemory& column : table->columns) dictionaries += column.dictionary;
    // relaxed: new references taken from one this thread holds, as a shared_ptr copy does.
    table->references.fetch_add(1 + count + dictionaries, std::memory_order_relaxed);
    for (std::size_t i = 0; i < count; ++i) {
        ColumnMemory& column = table->columns[i];
        ArrowArray& child = table->children[i];
        child = ArrowArray{};
        if (column.dictionary) {
            ArrowArray& values = table->dictionaries[i];
            values = ArrowArray{};
            values.length = static_cast<std::int64_t>(column.dictionary_labels.count());
            values.n_buffers = static_cast<std::int64_t>(column.dictionary_buffers.size());
            values.buffers = column.dictionary_buffers.data();
            values.release = release_child_array;
            values.private_data = table;
            child.dictionary = &values;
        }
        child.length = table->rows;
        child.null_count = column.null_count;
        child.n_buffers = static_cast<std::int64_t>(column.buffers.size());
        child.buffers = column.buffers.data();
        child.release = release_child_array;
        child.private_data = table;
        table->child_pointers[i] = &child;
    }
    out->length = table->rows;
    out->n_buffers = 1;
    out->buffers = table->struct_buffers;
    out->n_children = static_cast<std::int64_t>(count);
    out->children = table->child_pointers.data();
    out->release = release_struct_array;
    out->private_data = table;
    return 0;
}

const char* stream_get_last_error(ArrowArrayStream* stream) {
    return static_cast<StreamState*>(stream->private_data)->last_error;
}

void release_stream(ArrowArrayStream* stream) {
    auto* state = static_cast<StreamState*>(stream->private_data);
    drop_reference(state->table);
    delete state;
    stream->release = nullptr;
}

// The precomputed view of each label of a column, its long labels stored once in data buffers of
// column. Fails for a label longer than a view's length can say.
Expected<std::vector<View>> label_views(const ColumnLabels& labels, std::size_t col,
                                        ColumnMemory& column) {
    std::vector<View> views(labels.count() + 1);  // the null label's view stays all zero
    for (std::size_t i = 0; i < labels.count(); ++i) {
        const std::string_view label = labels.label(i);
        if (label.size() > longest_view_buffer) {
            Error error = make_error(ErrorKind::unsupported,
                                     "column " + std::to_string(col) + " has a label of " +
                                         std::to_string(label.size()) +
                                         " bytes, more than a string view can hold");
            error.column = col;
            return error;
        }
        View& view = views[i];
        std::memset(view.bytes, 0, sizeof view.bytes);
        const auto size = static_cast<std::int32_t>(label.size());
        std::memcpy(view.bytes, &size, 4);
        if (label.size() <= inline_view_bytes) {
            if (!label.empty()) std::memcpy(view.bytes + 4, label.data(), label.size());
            continue;
        }
        if (column.view_data.empty() ||
            column.view_data.back().size() > longest_view_buffer - label.size()) {
            column.view_data.emplace_back();
        }
        std::string& data = column.view_data.back();
        const auto buffer = static_cast<std::int32_t>(column.view_data.size() - 1);
        const auto offset = static_cast<std::int32_t>(data.size());
        data.append(label);
        std::memcpy(view.bytes + 4, label.data(), 4);
        std::memcpy(view.bytes + 8, &buffer, 4);
        std::memcpy(view.bytes + 12, &offset, 4);
    }
    for (const std::string& data : column.view_data) {
        column.view_data_sizes.push_back(static_cast<std::int64_t>(data.size()));
    }
    return views;
}

// The cells [first, last) of one decoded column, first a multiple of 8, whose codes are
// codes[r * stride]. Calls cell(r, label) for every row (the null label for a null cell) and
// writes the rows' validity bits. Returns the count of null cells. The common lookup is kept in
// locals: stores through cell could otherwise alias the labels and force a reload per cell.
template <class Cell>
std::size_t decode_rows(const double* codes, std::size_t stride, const ColumnLabels& labels,
                        std::size_t first, std::size_t last, std::uint8_t* validity, Cell cell) {
    const std::size_t null_label = labels.count();
    const std::size_t* const dense = labels.dense.data();
    const double dense_limit = labels.dense_limit;
    std::size_t valid = 0;
    for (std::size_t r = first; r < last; r += 8) {
        const std::size_t end = std::min(last, r + 8);
        unsigned bits = 0;
        for (std::size_t k = r; k < end; ++k) {
            const double code = codes[k * stride];
            const std::size_t label = code >= 0.0 && code < dense_limit
                                          ? dense[static_cast<std::size_t>(code)]
                                          : labels.find(code);
            const bool present = label != null_label;
            bits |= static_cast<unsigned>(present) << (k - r);
            valid += present;
            cell(k, label);
        }
        validity[r / 8] = static_cast<std::uint8_t>(bits);
    }
    return last - first - valid;
}

// One block of rows of one decoded column.
struct Task {
    std::size_t column;  // position among the decoded columns
    std::size_t first;
    std::size_t last;
    std::size_t nulls = 0;
    std::size_t text_start = 0;  // large strings: where the block's texts begin
    std::size_t text_bytes = 0;
};

std::vector<Task> decoding_tasks(std::size_t decoded_count, std::size_t rows) {
    std::vector<Task> tasks;
    for (std::size_t i = 0; i < decoded_count; ++i) {
        for (std::size_t first = 0; first < rows; first += block_rows) {
            tasks.push_back(Task{i, first, std::min(rows, first + block_rows)});
        }
    }
    return tasks;
}

// Copies the number columns of a table whose columns are not contiguous, in blocks of rows, so
// that a row-major table is read from cache rather than once per column.
void copy_numbers(const Table& table, const std::vector<std::size_t>& number_columns, double* out,
                  pool::ThreadPool& pool) {
    const std::size_t blocks = (table.rows + 255) / 256;
    pool.parallel_for(blocks, [&](std::size_t block) {
        const std::size_t first = block * 256;
        const std::size_t last = std::min(table.rows, first + 256);
        for (std::size_t k = 0; k < number_columns.size(); ++k) {
            double* column = out + k * table.rows;
            for (std::size_t r = first; r < last; ++r) column[r] = table.at(r, number_columns[k]);
        }
    });
}

// The categories of a dictionary column as the labels of a ColumnLabels (with its null label last,
// as label_views expects), and the dictionary array's buffers over them in layout's type.
Outcome fill_dictionary(const CategoryLabels& categories, std::size_t col, bool views,
                        ColumnMemory& column) {
    ColumnLabels& values = column.dictionary_labels;
    std::size_t bytes = 0;
    for (const std::string_view label : categories.labels) bytes += label.size();
    values.text.reserve(bytes);
    values.starts.reserve(categories.labels.size() + 2);
    for (const std::string_view label : categories.labels) {
        values.text.append(label);
        values.starts.push_back(values.text.size());
    }
    values.starts.push_back(values.text.size());  // the null label
    if (views) {
        Expected<std::vector<View>> made = label_views(values, col, column);
        if (!made) return std::move(made).error();
        column.dictionary_views = std::move(made).value();
        column.dictionary_buffers = {nullptr, column.dictionary_views.data()};
        for (const std::string& data : column.view_data) {
            column.dictionary_buffers.push_back(data.data());
        }
        column.dictionary_buffers.push_back(column.view_data_sizes.empty()
                                                ? static_cast<const void*>(no_elements)
                                                : column.view_data_sizes.data());
        return Unit{};
    }
    column.dictionary_offsets.reserve(values.count() + 1);
    for (std::size_t i = 0; i <= values.count(); ++i) {
        column.dictionary_offsets.push_back(static_cast<std::int64_t>(values.starts[i]));
    }
    column.dictionary_buffers = {nullptr, column.dictionary_offsets.data(), values.text.data()};
    return Unit{};
}

// The validity bitmap of the positions of a dictionary column: a bit per row, set where the
// position is not -1. On pool, in blocks of whole bitmap bytes.
void position_validity(const std::int32_t* positions, std::size_t rows, std::uint8_t* validity,
                       pool::ThreadPool& pool) {
    const std::size_t blocks = (rows + block_rows - 1) / block_rows;
    pool.parallel_for(blocks, [&](std::size_t block) {
        const std::size_t first = block * block_rows;
        const std::size_t last = std::min(rows, first + block_rows);
        for (std::size_t r = first; r < last; r += 8) {
            const std::size_t end = std::min(last, r + 8);
            unsigned bits = 0;
            for (std::size_t k = r; k < end; ++k) {
                bits |= static_cast<unsigned>(positions[k] >= 0) << (k - r);
            }
            validity[r / 8] = static_cast<std::uint8_t>(bits);
        }
    });
}

void append_length(std::string& out, std::size_t length) {
    if (length > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
        throw std::length_error("an Arrow metadata text is longer than a 32-bit length");
    }
    const auto value = static_cast<std::int32_t>(length);
    char bytes[sizeof value];
    std::memcpy(bytes, &value, sizeof value);
    out.append(bytes, sizeof bytes);
}

}  // namespace

std::string field_metadata(std::span<const std::pair<std::string_view, std::string_view>> entries) {
    std::string out;
    append_length(out, entries.size());
    for (const auto& [key, value] : entries) {
        append_length(out, key.size());
        out.append(key);
        append_length(out, value.size());
        out.append(value);
    }
    return out;
}

OwnedStream& OwnedStream::operator=(OwnedStream&& other) noexcept {
    if (this != &other) {
        reset();
        stream_ = other.take();
    }
    return *this;
}

ArrowArrayStream OwnedStream::take() noexcept { return std::exchange(stream_, ArrowArrayStream{}); }

void OwnedStream::reset() noexcept {
    if (stream_.release) stream_.release(&stream_);
    stream_ = ArrowArrayStream{};
}

Expected<OwnedStream> export_table(Table table, std::span<const ExportColumn> columns,
                                   TextLayout layout, pool::ThreadPool& pool) {
    VX_ASSERT(columns.size() == table.cols, "an exported table names each of its columns");
    VX_ASSERT(table.rows <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()),
              "an exported table's length fits an Arrow length");
    VX_ASSERT(table.data || table.rows == 0, "an exported table with rows has cells");
    auto exported = std::make_unique<ExportedTable>();
    ExportedTable& out = *exported;
    const std::size_t rows = table.rows;
    out.rows = static_cast<std::int64_t>(rows);
    out.columns.resize(columns.size());
    out.children.resize(columns.size());
    out.child_pointers.resize(columns.size());
    out.dictionaries.resize(columns.size());
    std::vector<std::size_t> number_columns;
    std::vector<std::size_t> decoded_columns;
    std::vector<std::size_t> dictionary_columns;
    for (std::size_t c = 0; c < columns.size(); ++c) {
        out.names.push_back(columns[c].name);
        out.columns[c].metadata = columns[c].metadata;
        if (!columns[c].inverse) {
            number_columns.push_back(c);
        } else {
            (columns[c].dictionary ? dictionary_columns : decoded_columns).push_back(c);
        }
    }
    const bool views = layout == TextLayout::string_views;

    // Dictionary columns: the categories once each, then every cell's position on the pool.
    std::vector<CategoryLabels> categories(dictionary_columns.size());
    pool.parallel_for(dictionary_columns.size(), [&](std::size_t i) {
        categories[i] = category_labels(*columns[dictionary_columns[i]].inverse);
    });
    std::vector<PositionColumn> positions;
    for (std::size_t i = 0; i < dictionary_columns.size(); ++i) {
        const std::size_t c = dictionary_columns[i];
        ColumnMemory& column = out.columns[c];
        const std::size_t count = categories[i].labels.size();
        if (count > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
            Error error =
                make_error(ErrorKind::unsupported,
                           "column " + std::to_string(c) + " has " + std::to_string(count) +
                               " labels, more than an int32 dictionary index can number");
            error.column = c;
            return error;
        }
        column.format = "i";
        column.dictionary = true;
        column.dictionary_format = views ? "vu" : "U";
        Outcome filled = fill_dictionary(categories[i], c, views, column);
        if (!filled) return std::move(filled).error();
        column.validity = allocate_bytes((rows + 7) / 8);
        column.values = allocate_bytes(checked_bytes(rows, sizeof(std::int32_t)));
        positions.push_back(
            PositionColumn{c, &categories[i], sizeof(std::int32_t), column.values.get()});
    }
    const std::vector<std::size_t> missing = category_positions(table, positions, pool);
    for (std::size_t i = 0; i < dictionary_columns.size(); ++i) {
        ColumnMemory& column = out.columns[dictionary_columns[i]];
        column.null_count = static_cast<std::int64_t>(missing[i]);
        if (missing[i] == 0) {
            column.validity.reset();
        } else {
            position_validity(elements<std::int32_t>(column.values), rows,
                              elements<std::uint8_t>(column.validity), pool);
        }
        column.buffers = {column.validity.get(), column.values.get()};
    }

    std::vector<ColumnLabels> labels(decoded_columns.size());
    pool.parallel_for(decoded_columns.size(), [&](std::size_t i) {
        labels[i] = copy_labels(*columns[decoded_columns[i]].inverse);
    });
    std::vector<std::vector<View>> views_by_label(views ? decoded_columns.size() : 0);
    for (std::size_t i = 0; i < views_by_label.size(); ++i) {
        const std::size_t c = decoded_columns[i];
        Expected<std::vector<View>> made = label_views(labels[i], c, out.columns[c]);
        if (!made) return std::move(made).error();
        views_by_label[i] = std::move(made).value();
    }

    // Decoded cells: the validity bitmap and the views or the texts' lengths, block by block.
    std::vector<Task> tasks = decoding_tasks(decoded_columns.size(), rows);
    for (const std::size_t c : decoded_columns) {
        ColumnMemory& column = out.columns[c];
        column.format = views ? "vu" : "U";
        column.validity = allocate_bytes((rows + 7) / 8);
        if (views) {
            column.values = allocate_bytes(checked_bytes(rows, sizeof(View)));
        } else {
            if (rows == std::numeric_limits<std::size_t>::max()) throw std::bad_alloc();
            column.values = allocate_bytes(checked_bytes(rows + 1, sizeof(std::int64_t)));
            elements<std::int64_t>(column.values)[0] = 0;
        }
    }
    pool.parallel_for(tasks.size(), [&](std::size_t t) {
        Task& task = tasks[t];
        const std::size_t c = decoded_columns[task.column];
        ColumnMemory& column = out.columns[c];
        const ColumnLabels& column_labels = labels[task.column];
        std::uint8_t* validity = elements<std::uint8_t>(column.validity);
        const double* codes = table.data.get() + c * table.col_stride;
        if (views) {
            View* cells = elements<View>(column.values);
            const View* by_label = views_by_label[task.column].data();
            task.nulls = decode_rows(codes, table.row_stride, column_labels, task.first, task.last,
                                     validity, [cells, by_label](std::size_t r, std::size_t label) {
                                         cells[r] = by_label[label];
                                     });
        } else {
            std::size_t bytes = 0;
            const std::size_t* starts = column_labels.starts.data();
            task.nulls = decode_rows(codes, table.row_stride, column_labels, task.first, task.last,
                                     validity, [&bytes, starts](std::size_t, std::size_t label) {
                                         bytes += starts[label + 1] - starts[label];
                                     });
            task.text_bytes = bytes;
        }
    });
    if (!views) {
        // Where each block's texts begin, then the texts and the offsets.
        std::vector<std::size_t> totals(decoded_columns.size(), 0);
        for (Task& task : tasks) {
            std::size_t& total = totals[task.column];
            task.text_start = total;
            if (task.text_bytes > std::numeric_limits<std::size_t>::max() - total) {
                throw std::bad_alloc();
            }
            total += task.text_bytes;
        }
        for (std::size_t i = 0; i < decoded_columns.size(); ++i) {
            out.columns[decoded_columns[i]].text = allocate_bytes(totals[i]);
        }
        pool.parallel_for(tasks.size(), [&](std::size_t t) {
            const Task& task = tasks[t];
            const std::size_t c = decoded_columns[task.column];
            ColumnMemory& column = out.columns[c];
            const ColumnLabels& column_labels = labels[task.column];
            char* text = elements<char>(column.text);
            std::int64_t* offsets = elements<std::int64_t>(column.values);
            const double* codes = table.data.get() + c * table.col_stride;
            std::size_t at = task.text_start;
            for (std::size_t r = task.first; r < task.last; ++r) {
                const std::string_view piece =
                    column_labels.label(column_labels.find(codes[r * table.row_stride]));
                std::memcpy(text + at, piece.data(), piece.size());
                at += piece.size();
                offsets[r + 1] = static_cast<std::int64_t>(at);
            }
        });
    }
    for (const Task& task : tasks) {
        out.columns[decoded_columns[task.column]].null_count +=
            static_cast<std::int64_t>(task.nulls);
    }

    // Number columns: the table's own columns where each is contiguous, else one copy.
    const bool contiguous = table.data && (table.row_stride == 1 || rows <= 1);
    if (!number_columns.empty() && rows > 0 && !contiguous) {
        out.numbers = allocate_cells(rows * number_columns.size());
        copy_numbers(table, number_columns, out.numbers.get(), pool);
    }
    for (std::size_t k = 0; k < number_columns.size(); ++k) {
        const std::size_t c = number_columns[k];
        const void* values = no_elements;
        if (rows > 0) {
            values =
                contiguous ? table.data.get() + c * table.col_stride : out.numbers.get() + k * rows;
        }
        out.columns[c].buffers = {nullptr, values};
    }
    if (contiguous && rows > 0 && !number_columns.empty()) out.numbers = std::move(table.data);

    for (const std::size_t c : decoded_columns) {
        ColumnMemory& column = out.columns[c];
        if (column.null_count == 0) column.validity.reset();
        column.buffers = {column.validity.get(), column.values.get()};
        if (views) {
            for (const std::string& data : column.view_data) column.buffers.push_back(data.data());
            column.buffers.push_back(column.view_data_sizes.empty()
                                         ? static_cast<const void*>(no_elements)
                                         : column.view_data_sizes.data());
        } else {
            column.buffers.push_back(column.text.get());
        }
    }

    auto state = std::make_unique<StreamState>(StreamState{exported.get()});
    ArrowArrayStream stream{};
    stream.get_schema = stream_get_schema;
    stream.get_next = stream_get_next;
    stream.get_last_error = stream_get_last_error;
    stream.release = release_stream;
    stream.private_data = state.release();
    static_cast<void>(exported.release());  // the stream's reference
    return OwnedStream(stream);
}

}  // namespace vexilo::arrow

// A frame's columns planned from pandas' arrays: which memory each column's cells lie in, the
// Arrow structures taken over, and the readers picked once the Arrow columns are opened.
#include "python/frame_plan.h"

#include <memory>
#include <string_view>
#include <utility>

#include "engine/unaligned_load.h"
#include "engine/utf8.h"
#include "python/arrow_capsule.h"
#include "python/engine_error.h"
#include "python/error_policy.h"
#include "python/numpy_storage.h"
#include "python/signal_check.h"  // calling_thread_cells

namespace vexilo::py {
namespace {

using Reader = PlannedColumn::Reader;

// Reads an attribute holding a NumPy array of rows elements of a kind a reader reads; keeps the
// array in plan, and in held when given.
Maybe<ColumnMemory> array_attribute(FramePlan& plan, PyObject* object, const char* name,
                                    std::size_t rows, PyRef* held = nullptr) {
    std::optional<PyRef> array = VX_TRY(attribute(object, name));
    if (!array) return std::optional<ColumnMemory>();
    std::optional<ColumnMemory> memory = column_memory(array->get(), rows);
    if (memory) {
        if (held) *held = PyRef::borrow(array->get());
        plan.arrays.push_back(std::move(*array));
    }
    return memory;
}

// Takes the Arrow chunks behind array, to be opened later; false when it offers none.
Result<bool> take_arrow(FramePlan& plan, FrameColumn& column, PyObject* array, std::size_t rows,
                        const Pandas& pandas) {
    std::optional<arrow::ArrowChunks> chunks = VX_TRY(arrow_chunks(array, rows));
    if (!chunks) return false;
    column.missing = VX_TRY(pandas.missing_cell(array));
    column.objects = false;
    column.arrow = plan.arrow.size();
    plan.arrow.push_back(std::move(*chunks));
    return true;
}

// The text of every element of an object array of exact str, viewed in place and pinned.
Result<bool> str_texts(FramePlan& plan, PyObject* array, std::vector<std::string_view>& texts) {
    if (!PyArray_CheckExact(array)) return false;
    auto* const numpy = reinterpret_cast<PyArrayObject*>(array);
    if (PyArray_NDIM(numpy) != 1 || storage_of(PyArray_DESCR(numpy)) != StorageKind::objects) {
        return false;
    }
    const ColumnMemory memory{PyArray_BYTES(numpy), PyArray_STRIDE(numpy, 0), StorageKind::objects};
    const auto count = static_cast<std::size_t>(PyArray_DIM(numpy, 0));
    for (std::size_t i = 0; i < count; ++i) {
        PyObject* const item = load_unaligned<PyObject*>(memory.cell(i));
        if (!item || !PyUnicode_CheckExact(item)) return false;
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(item, &size);
        if (!utf8) {
            // A text with lone surrogates: the cell-by-cell reading makes it leniently.
            if (auto interrupt = discard_pending_error()) return std::move(*interrupt);
            return false;
        }
        texts.emplace_back(utf8, static_cast<std::size_t>(size));
        plan.pins.push_back(PyRef::borrow(item));
    }
    return true;
}

// The texts of an Arrow array of count strings without missing values, viewed in its memory,
// which plan keeps. False for any other array; a ValueError for memory that breaks its format or
// texts that are not UTF-8.
Result<bool> arrow_texts(FramePlan& plan, PyObject* array, std::size_t count,
                         std::vector<std::string_view>& texts, std::size_t col,
                         const OutputKind& out) {
    std::optional<arrow::ArrowChunks> chunks = VX_TRY(arrow_chunks(array, count));
    if (!chunks) return false;
    Expected<arrow::ArrowColumn> opened = arrow::ArrowColumn::open(*chunks);
    if (!opened) {
        if (opened.error().kind == ErrorKind::unsupported) return false;
        Error error = std::move(opened).error();
        error.column = col;
        return to_python_error(error, out);
    }
    const arrow::ArrowColumn& column = opened.value();
    if (column.rows() != count || column.cell_type() != arrow::CellType::Text ||
        column.null_count() != 0) {
        return false;
    }
    texts.resize(count);
    auto absent = std::make_unique<bool[]>(count);
    column.read_texts(0, count, texts.data(), absent.get());
    for (std::size_t i = 0; i < count; ++i) {
        if (is_valid_utf8(texts[i])) continue;
        Error error = make_error(ErrorKind::invalid_text, "a category is not valid UTF-8");
        error.column = col;
        error.row = i;
        return to_python_error(error, out);
    }
    plan.arrow.push_back(std::move(*chunks));
    return true;
}

// The texts of a category's categories: str objects, or texts in Arrow or Python storage.
Result<bool> category_texts(FramePlan& plan, FrameColumn& column, PyObject* categories,
                            const Pandas& pandas, const OutputKind& out) {
    std::optional<PyRef> values = VX_TRY(attribute(categories, index_values_attribute));
    if (!values) return false;
    PyObject* const array = values->get();
    switch (pandas.kind_of(array)) {
        case PandasArray::python_strings: {
            std::optional<PyRef> objects = VX_TRY(attribute(array, object_cells_attribute));
            return objects && VX_TRY(str_texts(plan, objects->get(), column.categories));
        }
        case PandasArray::arrow: {
            const Py_ssize_t length = PyObject_Length(array);
            if (length < 0) {
                VX_TRY(nothing_unless_interrupt<bool>());
                return false;
            }
            return arrow_texts(plan, array, static_cast<std::size_t>(length), column.categories,
                               column.planned.col, out);
        }
        default:
            return str_texts(plan, array, column.categories);
    }
}

Result<bool> plan_category(FramePlan& plan, FrameColumn& column, PyObject* array, std::size_t rows,
                           const Pandas& pandas, const OutputKind& out) {
    const std::optional<ColumnMemory> codes =
        VX_TRY(array_attribute(plan, array, codes_attribute, rows));
    // pandas' codes are signed integers.
    if (!codes || !is_integer(codes->kind) || codes->kind >= StorageKind::uint8) return false;
    std::optional<PyRef> categories = VX_TRY(attribute(array, categories_attribute));
    if (!categories || !VX_TRY(category_texts(plan, column, categories->get(), pandas, out))) {
        return false;
    }
    column.objects = false;
    column.planned.reader = Reader::category;
    column.planned.memory = *codes;
    // The values take a missing category as a float NaN, whatever the categories.
    column.planned.missing = MissingCell::NotANumber;
    return true;
}

// A nullable number array reads as its data, a missing cell (set in its mask) as NaN: a column of
// numbers with missing numbers, whatever the other columns of the frame.
Result<bool> plan_masked(FramePlan& plan, FrameColumn& column, PyObject* array, std::size_t rows) {
    const std::optional<ColumnMemory> mask =
        VX_TRY(array_attribute(plan, array, mask_attribute, rows));
    if (!mask || mask->kind != StorageKind::bool_bytes) return false;
    const std::optional<ColumnMemory> data =
        VX_TRY(array_attribute(plan, array, masked_data_attribute, rows));
    if (!data || !is_number_element(data->kind)) return false;
    column.objects = false;
    column.planned.reader = Reader::numbers;
    column.planned.memory = *data;
    column.planned.mask = *mask;
    return true;
}

Result<bool> plan_column(FramePlan& plan, FrameColumn& column, PyObject* array, std::size_t rows,
                         const Pandas& pandas, const OutputKind& out) {
    switch (pandas.kind_of(array)) {
        case PandasArray::numpy: {
            const std::optional<ColumnMemory> memory = column_memory(array, rows);
            if (!memory) return false;
            column.objects = memory->kind == StorageKind::objects;
            column.memory = column.planned.memory = *memory;
            column.memory_array = PyRef::borrow(array);
            return true;
        }
        case PandasArray::python_strings: {
            // The values hold the very objects of its backing array, missing cells included.
            const std::optional<ColumnMemory> objects = VX_TRY(
                array_attribute(plan, array, object_cells_attribute, rows, &column.memory_array));
            if (!objects || objects->kind != StorageKind::objects) return false;
            column.memory = *objects;
            return true;
        }
        case PandasArray::arrow:
            return take_arrow(plan, column, array, rows, pandas);
        case PandasArray::categorical:
            return plan_category(plan, column, array, rows, pandas, out);
        case PandasArray::masked_numbers:
            return plan_masked(plan, column, array, rows);
        case PandasArray::other:
            break;
    }
    return false;
}

bool stores_views(const arrow::ArrowChunks& chunks) {
    const ArrowSchema& schema = chunks.schema();
    const ArrowSchema& values = schema.dictionary ? *schema.dictionary : schema;
    return values.format && std::string_view(values.format) == "vu";
}

// Opens the Arrow columns and picks each one's reader: false when a column is not one that reads
// as the frame's values do; a ValueError for memory that breaks its format.
Result<bool> open_arrow(FramePlan& plan, std::size_t rows, const OutputKind& out) {
    std::vector<const arrow::ArrowChunks*> chunks;
    for (const FrameColumn& column : plan.columns) {
        if (column.arrow) chunks.push_back(&plan.arrow[*column.arrow]);
    }
    std::vector<Expected<arrow::ArrowColumn>> opened;
    // A small frame's columns are opened here: the pool's hand-off would cost more.
    if (table_cells(rows, chunks.size()) < calling_thread_cells) {
        run_job_here([&] { opened = open_arrow_columns(chunks); });
    } else {
        opened = open_arrow_columns(chunks);
    }
    std::size_t next = 0;
    for (FrameColumn& column : plan.columns) {
        if (!column.arrow) continue;
        Expected<arrow::ArrowColumn>& arrow = opened[next++];
        if (!arrow) {
            if (arrow.error().kind == ErrorKind::unsupported) return false;
            Error error = std::move(arrow).error();
            error.column = column.planned.col;
            return to_python_error(error, out);
        }
        if (arrow.value().rows() != rows) return false;
        const bool numbers = arrow.value().cell_type() == arrow::CellType::Number;
        // A missing number reads as NaN; pandas makes no values of a string view column with
        // missing cells.
        if (arrow.value().null_count() != 0 && !numbers &&
            stores_views(plan.arrow[*column.arrow])) {
            return false;
        }
        if (!numbers && !column.missing) return false;
        column.planned.reader = numbers ? Reader::arrow_numbers : Reader::arrow_texts;
        if (column.missing) column.planned.missing = *column.missing;
        column.arrow = plan.opened.size();
        plan.opened.push_back(std::move(arrow).value());
    }
    return true;
}

}  // namespace

Maybe<FramePlan> plan_frame(PyObject* frame, std::size_t rows, std::size_t cols,
                            const Pandas& pandas, const OutputKind& out) {
    std::optional<StoredColumns> stored = VX_TRY(StoredColumns::of_frame(frame));
    if (!stored) return std::optional<FramePlan>();
    FramePlan plan;
    plan.columns.resize(cols);
    for (std::size_t col = 0; col < cols; ++col) {
        std::optional<PyRef> array = VX_TRY(stored->array(col));
        if (!array) return std::optional<FramePlan>();
        FrameColumn& column = plan.columns[col];
        column.planned.col = col;
        if (!VX_TRY(plan_column(plan, column, array->get(), rows, pandas, out))) {
            return std::optional<FramePlan>();
        }
        plan.arrays.push_back(std::move(*array));
    }
    if (!VX_TRY(open_arrow(plan, rows, out))) return std::optional<FramePlan>();
    // The readers point into the plan's own storage only now that it no longer grows.
    for (FrameColumn& column : plan.columns) {
        if (column.arrow) column.planned.arrow = &plan.opened[*column.arrow];
        column.planned.categories = column.categories;
    }
    return std::optional<FramePlan>(std::move(plan));
}

}  // namespace vexilo::py

// Object-array encoding: classification of every cell on the calling thread, then the parallel
// writing and label encoding of the columns on the worker pool.
#include "python/encode_object_array.h"

#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "internal_failure.h"
#include "label_encode.h"
#include "pool/pool.h"
#include "python/cell_reader.h"
#include "python/conversion_support.h"

namespace vexilo::py {
namespace {

// Room made for a column's cells at once; a longer column grows as it is read, so a false shape
// cannot cause a large allocation before the cells are there.
constexpr std::size_t column_reserve_limit = std::size_t{1} << 20;

struct Shape {
    std::size_t rows = 0;
    std::size_t cols = 0;
};

// The output buffer's address, shared by every column task. Each task writes only the cells of
// its own column, so the tasks need no lock; the holder's count is the only shared update.
struct SendPtr {
    double* cells;
};

struct CategoricalColumn {
    ColumnIndex col;
    ForwardMap forward;
    InverseMap inverse;
};

Result<std::size_t> extent(PyObject* item) {
    PyRef index = PyRef::steal(PyNumber_Index(item));
    if (!index) return stop(PyErr::fetch(), unhandled_error);
    const std::size_t value = PyLong_AsSize_t(index.get());
    if (value == static_cast<std::size_t>(-1) && PyErr_Occurred()) {
        return stop(PyErr::fetch(), unhandled_error);
    }
    return value;
}

Result<Shape> read_shape(PyObject* table) {
    PyRef shape = PyRef::steal(PyObject_GetAttrString(table, "shape"));
    if (!shape) return stop(PyErr::fetch(), unhandled_error);
    if (!PyTuple_Check(shape.get())) {
        return stop(PyErr::make(PyExc_TypeError,
                                "shape must be a tuple, not " + type_qualname(shape.get())),
                    unhandled_error);
    }
    if (PyTuple_GET_SIZE(shape.get()) != 2) {
        return stop(
            PyErr::make(PyExc_ValueError, "expected a shape of 2 dimensions, got " +
                                              std::to_string(PyTuple_GET_SIZE(shape.get()))),
            unhandled_error);
    }
    // The tuple keeps its items alive while __index__ code runs.
    const std::size_t rows = VX_TRY(extent(PyTuple_GET_ITEM(shape.get(), 0)));
    const std::size_t cols = VX_TRY(extent(PyTuple_GET_ITEM(shape.get(), 1)));
    return Shape{rows, cols};
}

Result<PyRef> cell_table(PyObject* obj, bool is_dataframe) {
    if (!is_dataframe) return PyRef::borrow(obj);
    PyRef values = PyRef::steal(PyObject_GetAttrString(obj, "values"));
    if (!values) return stop(PyErr::fetch(), unhandled_error);
    return values;
}

// Phase 1: every cell, column by column and row by row, on the calling thread.
Result<std::vector<ColumnCells>> read_columns(PyRef cells, Shape shape, Pins& pins) {
    std::vector<ColumnCells> columns;
    if (shape.rows == 0) return columns;
    CellSource source = VX_TRY(CellSource::open(std::move(cells)));
    const std::size_t reserve = std::min(shape.rows, column_reserve_limit);
    for (std::size_t col = 0; col < shape.cols; ++col) {
        ColumnCells column(reserve);
        for (std::size_t row = 0; row < shape.rows; ++row) {
            VX_TRY(source.read(row, col, column, pins));
        }
        column.finish();
        columns.push_back(std::move(column));
    }
    return columns;
}

// Phase 2: each column written straight into the row-major output, the categorical ones through
// label_encode. The calling thread waits, holding the interpreter; no task touches it.
std::vector<CategoricalColumn> encode_columns(std::vector<ColumnCells>& columns, Table& table) {
    if (columns.empty()) return {};
    pool::ThreadPool& pool = pool::global_pool();
    const std::size_t stride = table.cols;
    const auto target = std::make_shared<const SendPtr>(SendPtr{table.data.get()});
    return pool.parallel_filter_map<CategoricalColumn>(
        columns.size(), [&, target](std::size_t col) -> std::optional<CategoricalColumn> {
            ColumnCells& column = columns[col];
            double* const out = target->cells + col;
            // The output is not zeroed: every row of every column must be written.
            VX_ASSERT((column.categorical() ? column.texts().size() : column.numbers().size()) ==
                          table.rows,
                      "a column of the table lost cells");
            if (!column.categorical()) {
                const std::span<const double> numbers = column.numbers();
                pool.parallel_for(numbers.size(),
                                  [&](std::size_t row) { out[row * stride] = numbers[row]; });
                column.release();
                return std::nullopt;
            }
            ForwardMap forward = label_encode_into(column.texts(), out, stride, pool);
            column.release();
            InverseMap inverse = build_inverse_map(forward, pool);
            return CategoricalColumn{col, std::move(forward), std::move(inverse)};
        });
}

}  // namespace

Result<ObjectArrayEncoding> encode_object_array(PyObject* obj, bool is_dataframe) {
    const Shape shape = VX_TRY(read_shape(obj));
    PyRef cells = VX_TRY(cell_table(obj, is_dataframe));
    // Views into pinned str objects outlive the columns' encoding, so the pins go last.
    Pins pins;
    std::vector<ColumnCells> columns = VX_TRY(read_columns(std::move(cells), shape, pins));

    // Allocated only now that every cell has been read: a shape that claims more than the table
    // holds fails at its first missing cell, not here.
    ObjectArrayEncoding result{VX_TRY(uninitialised_table(shape.rows, shape.cols, false)), {}};
    std::vector<CategoricalColumn> categorical = encode_columns(columns, result.table);

    EncodingInfo& info = result.encoding_info;
    info.categorical_columns.reserve(categorical.size());
    info.forward_maps.reserve(categorical.size());
    info.inverse_maps.reserve(categorical.size());
    for (CategoricalColumn& column : categorical) {  // ascending: the filter-map keeps index order
        info.categorical_columns.push_back(column.col);
        info.forward_maps.emplace(column.col, std::move(column.forward));
        info.inverse_maps.emplace(column.col, std::move(column.inverse));
    }
    return result;
}

}  // namespace vexilo::py

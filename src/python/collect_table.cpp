// A caller's table read into collected columns on the calling thread: a frame from its columns'
// memory, a table in memory by one scan, anything else cell by cell.
#include "python/collect_table.h"

#include <algorithm>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "engine/column_turn.h"
#include "engine/encode_table.h"
#include "python/cell_source.h"
#include "python/error_policy.h"
#include "python/frame_columns.h"
#include "python/numpy_storage.h"
#include "python/object_scan.h"
#include "python/pandas_arrays.h"
#include "python/signal_check.h"
#include "python/table_allocation.h"

namespace vexilo::py {
namespace {

// Room made for a column's cells at once; a longer column grows as it is read, so a false shape
// cannot cause a large allocation before the cells are there.
constexpr std::size_t column_reserve_limit = std::size_t{1} << 20;

struct Shape {
    std::size_t rows = 0;
    std::size_t cols = 0;
};

Result<std::size_t> extent(PyObject* item) {
    PyRef index = PyRef::steal(PyNumber_Index(item));
    if (!index) return interrupt_or_throw(PyErr::fetch(), unhandled_error);
    const std::size_t value = PyLong_AsSize_t(index.get());
    if (value == static_cast<std::size_t>(-1) && PyErr_Occurred()) {
        return interrupt_or_throw(PyErr::fetch(), unhandled_error);
    }
    return value;
}

Result<Shape> read_shape(PyObject* table) {
    if (PyArray_CheckExact(table)) {
        // An exact ndarray's shape attribute is its dimensions: read them without the tuple.
        auto* const array = reinterpret_cast<PyArrayObject*>(table);
        if (PyArray_NDIM(array) == 2) {
            return Shape{static_cast<std::size_t>(PyArray_DIM(array, 0)),
                         static_cast<std::size_t>(PyArray_DIM(array, 1))};
        }
    }
    PyRef shape = PyRef::steal(PyObject_GetAttrString(table, "shape"));
    if (!shape) return interrupt_or_throw(PyErr::fetch(), unhandled_error);
    if (!PyTuple_Check(shape.get())) {
        return interrupt_or_throw(PyErr::make(PyExc_TypeError, "shape must be a tuple, not " +
                                                                   type_qualname(shape.get())),
                                  unhandled_error);
    }
    if (PyTuple_GET_SIZE(shape.get()) != 2) {
        return interrupt_or_throw(
            PyErr::make(PyExc_ValueError, "expected a shape of 2 dimensions, got " +
                                              std::to_string(PyTuple_GET_SIZE(shape.get()))),
            unhandled_error);
    }
    // The tuple keeps its items alive while __index__ code runs.
    const std::size_t rows = VX_TRY(extent(PyTuple_GET_ITEM(shape.get(), 0)));
    const std::size_t cols = VX_TRY(extent(PyTuple_GET_ITEM(shape.get(), 1)));
    return Shape{rows, cols};
}

std::string shape_text(std::size_t rows, std::size_t cols) {
    return "(" + std::to_string(rows) + ", " + std::to_string(cols) + ")";
}

// The table whose cells are read: obj itself, or a frame's values. A pandas frame's values
// always have its shape: other values mean that Python code run since the shape was read (pandas'
// own, or another thread's) changed the frame.
Result<PyRef> cell_table(PyObject* obj, bool is_frame, Shape shape) {
    if (!is_frame) return PyRef::borrow(obj);
    PyRef values = PyRef::steal(PyObject_GetAttrString(obj, "values"));
    if (!values) return interrupt_or_throw(PyErr::fetch(), unhandled_error);
    if (!PyArray_Check(values.get())) return values;
    auto* const array = reinterpret_cast<PyArrayObject*>(values.get());
    if (PyArray_NDIM(array) != 2) return values;
    const auto rows = static_cast<std::size_t>(PyArray_DIM(array, 0));
    const auto cols = static_cast<std::size_t>(PyArray_DIM(array, 1));
    if ((rows == shape.rows && cols == shape.cols) || !VX_TRY(is_pandas_frame(obj))) return values;
    return PyErr::make(PyExc_ValueError, "the frame changed while it was read: its shape was " +
                                             shape_text(shape.rows, shape.cols) +
                                             ", its values have the shape " +
                                             shape_text(rows, cols));
}

// The cells of a table read one by one: its categorical columns, and the numbers of every other
// column, column after column, for the table that is made once every cell was read.
struct CellByCell {
    CollectedTable columns;
    std::vector<double> numbers;
};

// Every cell, column by column and row by row, on the calling thread, which runs pending signal
// handlers every few thousand cells. A numeric column's numbers join those of the others.
Result<CellByCell> read_columns(PyRef cells, Shape shape, Pins& pins,
                                std::span<const ColumnTurn> turns, MissingNumbers missing_numbers) {
    CellByCell read;
    if (shape.rows == 0) return read;
    CellSource source = VX_TRY(CellSource::open(std::move(cells), std::move(missing_numbers)));
    SignalCountdown signals;
    const std::size_t reserve = std::min(shape.rows, column_reserve_limit);
    for (std::size_t col = 0; col < shape.cols; ++col) {
        ColumnCells column(reserve);
        if (!turns.empty() && turns[col] == ColumnTurn::Before) column.make_categorical();
        for (std::size_t row = 0; row < shape.rows; ++row) {
            VX_TRY(source.read(row, col, column, pins));
            VX_TRY(signals.count());
        }
        column.finish();
        if (column.categorical()) {
            read.columns.categorical.push_back(CollectedColumn{col, std::move(column)});
        } else {
            const std::span<const double> numbers = column.numbers();
            read.numbers.insert(read.numbers.end(), numbers.begin(), numbers.end());
        }
    }
    return read;
}

// Writes numbers (column after column, those not in categorical) into their columns of table.
void place_numbers(std::span<const double> numbers, const std::vector<CollectedColumn>& categorical,
                   Table& table) {
    auto next = categorical.begin();
    const double* number = numbers.data();
    for (std::size_t col = 0; col < table.cols; ++col) {
        if (next != categorical.end() && next->col == col) {
            ++next;
            continue;
        }
        double* const out = table.data.get() + col * table.col_stride;
        for (std::size_t row = 0; row < table.rows; ++row) out[row * table.row_stride] = *number++;
    }
}

Result<std::optional<ScanSource>> array_source(PyObject* table, Shape shape) {
    if (!VX_TRY(is_exact_array(table))) return std::optional<ScanSource>();
    PyArrayObject* const array = reinterpret_cast<PyArrayObject*>(table);
    if (PyArray_NDIM(array) != 2 || static_cast<std::size_t>(PyArray_DIM(array, 0)) != shape.rows ||
        static_cast<std::size_t>(PyArray_DIM(array, 1)) != shape.cols) {
        return std::optional<ScanSource>();
    }
    const std::optional<StorageKind> kind = storage_of(PyArray_DESCR(array));
    if (!kind || *kind == StorageKind::code_points) return std::optional<ScanSource>();
    return std::optional<ScanSource>(ScanSource::of_table(PyRef::borrow(table), *kind));
}

// The whole table in one scan of source; nothing when a cell needs Python code, with nothing
// kept.
Result<std::optional<Collection>> collect_by_scan(const ScanSource& source, Shape shape,
                                                  Layout layout, std::span<const ColumnTurn> turns,
                                                  const MissingNumbers& missing_numbers) {
    // The shape is that of arrays in memory, so the output may be made before the cells are read.
    Collection collected{{}, {}, {}, VX_TRY(new_table(shape.rows, shape.cols, layout)), {}};
    std::optional<std::vector<CollectedColumn>> columns =
        VX_TRY(scan_columns(source, shape.rows, collected.table, MissingScalar{}, collected.pins,
                            turns, missing_numbers));
    if (!columns) return std::optional<Collection>();
    collected.columns = CollectedTable{std::move(*columns)};
    return std::optional<Collection>(std::move(collected));
}

}  // namespace

Result<Collection> collect_table(PyObject* obj, const OutputKind& out,
                                 std::span<const ColumnTurn> turns) {
    const bool is_frame = out.kind == OutputKind::Kind::DataFrame;
    const Shape shape = VX_TRY(read_shape(obj));
    if (!turns.empty() && turns.size() != shape.cols) {
        return PyErr::make(PyExc_ValueError, "expected a turn for each of the table's " +
                                                 std::to_string(shape.cols) + " columns, got " +
                                                 std::to_string(turns.size()));
    }
    const auto turned = [&](Collection collected) {
        turn_after_last_row(collected.columns, collected.table, turns);
        return collected;
    };
    const bool scannable = shape.rows > 0 && shape.cols > 0;
    if (scannable && is_frame) {
        auto read = VX_TRY(collect_frame_columns(obj, shape.rows, shape.cols, out, turns));
        if (read) return turned(std::move(*read));
    }
    // A pandas frame's values hold NA for a missing number of a typed number column.
    MissingNumbers missing_numbers =
        is_frame ? VX_TRY(Pandas::missing_numbers_of(obj, shape.cols)) : MissingNumbers{};
    PyRef cells = VX_TRY(cell_table(obj, is_frame, shape));
    if (scannable) {
        if (std::optional<ScanSource> source = VX_TRY(array_source(cells.get(), shape))) {
            auto scanned =
                VX_TRY(collect_by_scan(*source, shape, Layout::RowMajor, turns, missing_numbers));
            if (scanned) return turned(std::move(*scanned));
        }
    }

    Collection collected;
    CellByCell read = VX_TRY(
        read_columns(std::move(cells), shape, collected.pins, turns, std::move(missing_numbers)));
    // Allocated only now that every cell has been read: a shape that claims more than the table
    // holds fails at its first missing cell, not here.
    collected.table = VX_TRY(new_table(shape.rows, shape.cols, Layout::RowMajor));
    if (shape.rows > 0) place_numbers(read.numbers, read.columns.categorical, collected.table);
    read.numbers = std::vector<double>();
    collected.columns = std::move(read.columns);
    return turned(std::move(collected));
}

}  // namespace vexilo::py

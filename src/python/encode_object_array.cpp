// Object-array encoding: classification of every cell on the calling thread, then the parallel
// writing and label encoding of the columns on the worker pool.
#include "python/encode_object_array.h"

#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "engine/internal_failure.h"
#include "engine/label_encode.h"
#include "pool/pool.h"
#include "python/cell_reader.h"
#include "python/conversion_support.h"
#include "python/object_scan.h"

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

// The columns of a table that the scan may read, with the arrays that hold them.
struct ScanSource {
    std::vector<PyRef> arrays;
    std::vector<ColumnMemory> columns;
};

// Nothing, for a failed probe of a table that may still be read cell by cell; an interrupt is
// returned.
Result<std::optional<ScanSource>> no_scan() {
    if (auto interrupt = discard_pending_error()) return std::move(*interrupt);
    return std::optional<ScanSource>();
}

Result<std::optional<ScanSource>> array_source(PyObject* table, Shape shape) {
    if (!VX_TRY(is_exact_array(table))) return std::optional<ScanSource>();
    PyArrayObject* const array = reinterpret_cast<PyArrayObject*>(table);
    if (PyArray_NDIM(array) != 2 || static_cast<std::size_t>(PyArray_DIM(array, 0)) != shape.rows ||
        static_cast<std::size_t>(PyArray_DIM(array, 1)) != shape.cols) {
        return std::optional<ScanSource>();
    }
    const std::optional<ElementKind> kind = element_kind(PyArray_DESCR(array));
    if (!kind || !scannable(*kind)) return std::optional<ScanSource>();
    ScanSource source;
    source.arrays.push_back(PyRef::borrow(table));
    const char* const base = PyArray_BYTES(array);
    for (std::size_t col = 0; col < shape.cols; ++col) {
        source.columns.push_back({base + static_cast<npy_intp>(col) * PyArray_STRIDE(array, 1),
                                  PyArray_STRIDE(array, 0), *kind});
    }
    return std::optional<ScanSource>(std::move(source));
}

// The columns of a pandas DataFrame (exactly that type) each held by a one-dimensional NumPy array
// of a scannable element type. Their cells are what the frame's values would give: the same
// objects for object columns, and numbers whose conversion to a double is the same as that of
// the values' boxed or converted numbers. Any other frame gets nothing and is read through values.
// A column's array comes from the frame's own accessor of its stored column, by position: public
// ways to a column make a Series, and pandas keeps a record of every such view of its blocks.
Result<std::optional<ScanSource>> frame_source(PyObject* frame, Shape shape) {
    PyRef name = PyRef::steal(PyUnicode_FromString("pandas"));
    if (!name) return no_scan();
    // A frame of pandas' own type exists only once pandas has been imported; nothing is imported
    // here.
    PyRef pandas = PyRef::steal(PyImport_GetModule(name.get()));
    if (!pandas) return PyErr_Occurred() ? no_scan() : std::optional<ScanSource>();
    PyRef frame_type = PyRef::steal(PyObject_GetAttrString(pandas.get(), "DataFrame"));
    if (!frame_type) return no_scan();
    if (reinterpret_cast<PyObject*>(Py_TYPE(frame)) != frame_type.get()) {
        return std::optional<ScanSource>();
    }
    PyRef column_array = PyRef::steal(PyObject_GetAttrString(frame, "_get_column_array"));
    if (!column_array) return no_scan();
    ScanSource source;
    for (std::size_t col = 0; col < shape.cols; ++col) {
        PyRef index = PyRef::steal(PyLong_FromSize_t(col));
        PyRef values =
            index ? PyRef::steal(PyObject_CallOneArg(column_array.get(), index.get())) : PyRef();
        if (!values) return no_scan();
        if (!PyArray_CheckExact(values.get())) return std::optional<ScanSource>();
        PyArrayObject* const array = reinterpret_cast<PyArrayObject*>(values.get());
        if (PyArray_NDIM(array) != 1 ||
            static_cast<std::size_t>(PyArray_DIM(array, 0)) != shape.rows) {
            return std::optional<ScanSource>();
        }
        const std::optional<ElementKind> kind = element_kind(PyArray_DESCR(array));
        if (!kind || !scannable(*kind)) return std::optional<ScanSource>();
        source.columns.push_back({PyArray_BYTES(array), PyArray_STRIDE(array, 0), *kind});
        source.arrays.push_back(std::move(values));
    }
    return std::optional<ScanSource>(std::move(source));
}

// Phase 2 after a scan: numeric columns are already in place; each categorical column's cells hold
// their entry indices. The columns' entries are numbered in parallel, then the indices are
// replaced by codes in one pass over blocks of rows, since column by column every pass over a
// row-major table would read all of it.
std::vector<CategoricalColumn> encode_scanned(std::vector<ScannedColumn>& columns, Table& table) {
    pool::ThreadPool& pool = pool::global_pool();
    struct Numbered {
        ColumnIndex col;
        LabelEncoding encoding;  // codes per entry; none when the codes went straight to the table
    };
    const std::size_t stride = table.row_stride;
    const auto target = std::make_shared<const SendPtr>(SendPtr{table.data.get()});
    const auto column_start = [&, target](ColumnIndex col) {
        return target->cells + col * table.col_stride;
    };
    std::vector<Numbered> numbered = pool.parallel_filter_map<Numbered>(
        columns.size(), [&, target](std::size_t col) -> std::optional<Numbered> {
            ColumnCells& cells = columns[col].cells;
            if (!cells.categorical()) return std::nullopt;
            LabelEncoding encoding;
            if (cells.texts().size() == table.rows) {
                // An entry per row, in row order: the codes of the entries are those of the rows.
                encoding.forward_map =
                    label_encode_into(cells.texts(), column_start(col), stride, pool);
            } else {
                encoding = label_encode(cells.texts(), pool);
            }
            cells.release();
            return Numbered{col, std::move(encoding)};
        });
    if (numbered.empty()) return {};

    pool.parallel_for_ranges(table.rows, [&, target](std::size_t begin, std::size_t end) {
        constexpr std::size_t block = 512;
        for (std::size_t first = begin; first < end; first += block) {
            const std::size_t last = std::min(end, first + block);
            for (const Numbered& column : numbered) {
                const std::span<const double> codes = column.encoding.codes;
                if (codes.empty()) continue;
                double* const out = column_start(column.col);
                for (std::size_t row = first; row < last; ++row) {
                    double& cell = out[row * stride];
                    const auto entry = static_cast<std::size_t>(cell);
                    VX_ASSERT(entry < codes.size(), "a cell of the table names no entry");
                    cell = codes[entry];
                }
            }
        }
    });

    return pool.parallel_filter_map<CategoricalColumn>(
        numbered.size(), [&](std::size_t i) -> std::optional<CategoricalColumn> {
            Numbered& column = numbered[i];
            column.encoding.codes = std::vector<double>();
            InverseMap inverse = build_inverse_map(column.encoding.forward_map, pool);
            return CategoricalColumn{column.col, std::move(column.encoding.forward_map),
                                     std::move(inverse)};
        });
}

EncodingInfo assemble(std::vector<CategoricalColumn> categorical) {
    EncodingInfo info;
    info.categorical_columns.reserve(categorical.size());
    info.forward_maps.reserve(categorical.size());
    info.inverse_maps.reserve(categorical.size());
    for (CategoricalColumn& column : categorical) {  // ascending: the filter-map keeps index order
        info.categorical_columns.push_back(column.col);
        info.forward_maps.emplace(column.col, std::move(column.forward));
        info.inverse_maps.emplace(column.col, std::move(column.inverse));
    }
    return info;
}

// The whole table in one scan of source; nothing when a cell needs Python code, with nothing run
// or kept.
// A frame's table is column-major: its columns come one by one, and pandas keeps them that way.
Result<std::optional<ObjectArrayEncoding>> encode_by_scan(const ScanSource& source, Shape shape,
                                                          bool column_major) {
    // The shape is that of arrays in memory, so the output may be made before the cells are read.
    Table table = VX_TRY(uninitialised_table(shape.rows, shape.cols, column_major));
    Pins pins;  // outlives the columns, whose texts it keeps valid
    std::optional<std::vector<ScannedColumn>> columns =
        scan_columns(source.columns, shape.rows, table, pins);
    if (!columns) return std::optional<ObjectArrayEncoding>();
    EncodingInfo info = assemble(encode_scanned(*columns, table));
    return std::optional<ObjectArrayEncoding>(
        ObjectArrayEncoding{std::move(table), std::move(info)});
}

}  // namespace

Result<ObjectArrayEncoding> encode_object_array(PyObject* obj, bool is_dataframe) {
    const Shape shape = VX_TRY(read_shape(obj));
    const bool scannable = shape.rows > 0 && shape.cols > 0;
    if (scannable && is_dataframe) {
        if (std::optional<ScanSource> source = VX_TRY(frame_source(obj, shape))) {
            auto scanned = VX_TRY(encode_by_scan(*source, shape, true));
            if (scanned) return std::move(*scanned);
        }
    }
    PyRef cells = VX_TRY(cell_table(obj, is_dataframe));
    if (scannable) {
        if (std::optional<ScanSource> source = VX_TRY(array_source(cells.get(), shape))) {
            auto scanned = VX_TRY(encode_by_scan(*source, shape, false));
            if (scanned) return std::move(*scanned);
        }
    }

    // Views into pinned str objects outlive the columns' encoding, so the pins go last.
    Pins pins;
    std::vector<ColumnCells> columns = VX_TRY(read_columns(std::move(cells), shape, pins));

    // Allocated only now that every cell has been read: a shape that claims more than the table
    // holds fails at its first missing cell, not here.
    ObjectArrayEncoding result{VX_TRY(uninitialised_table(shape.rows, shape.cols, false)), {}};
    result.encoding_info = assemble(encode_columns(columns, result.table));
    return result;
}

}  // namespace vexilo::py

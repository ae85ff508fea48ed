// Cell reading for the object-array encoding: the float conversion and text rules of a cell, and
// the NumPy memory layouts of object and unicode arrays, which are read without item access.
#include "python/cell_source.h"

#include <cstdint>
#include <optional>
#include <string_view>

#include "engine/internal_failure.h"
#include "engine/unaligned_load.h"
#include "python/error_policy.h"

namespace vexilo::py {
namespace {

// How many rows ahead the objects of an object column are prefetched.
constexpr std::size_t prefetch_distance = 8;

// The float conversion of a cell by the rules of PyFloat_AsDouble: a number, nothing when the cell
// does not convert (its exception discarded), or an interrupt raised by the cell's own code.
Result<std::optional<double>> as_number(PyObject* cell) {
    if (PyFloat_CheckExact(cell)) return std::optional<double>(PyFloat_AS_DOUBLE(cell));
    // Neither converts; trying would only build an exception to throw away.
    if (PyUnicode_CheckExact(cell) || cell == Py_None) return std::optional<double>();
    const double value = PyLong_CheckExact(cell) ? PyLong_AsDouble(cell) : PyFloat_AsDouble(cell);
    if (value == -1.0 && PyErr_Occurred()) {
        if (auto interrupt = discard_pending_error()) return std::move(*interrupt);
        return std::optional<double>();
    }
    return std::optional<double>(value);
}

// A text with lone surrogates has no UTF-8 form: pass them through, then decode the bytes
// leniently, each invalid sequence becoming U+FFFD.
Status append_lenient_text(ColumnCells& column, PyObject* text) {
    PyRef bytes = PyRef::steal(PyUnicode_AsEncodedString(text, "utf-8", "surrogatepass"));
    if (!bytes) return interrupt_or_throw(PyErr::fetch(), unhandled_error);
    PyRef clean = PyRef::steal(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(bytes.get()),
                                                    PyBytes_GET_SIZE(bytes.get()), "replace"));
    Py_ssize_t size = 0;
    const char* utf8 = clean ? PyUnicode_AsUTF8AndSize(clean.get(), &size) : nullptr;
    if (!utf8) return interrupt_or_throw(PyErr::fetch(), unhandled_error);
    column.add_text(std::string_view(utf8, static_cast<std::size_t>(size)));
    return Unit{};
}

// Appends the text of a cell that is not a number: a str's own text (viewed and pinned with
// pins), "None" for None, else str() of the cell.
Status append_text(ColumnCells& column, PyRef cell, Pins* pins) {
    PyObject* const object = cell.get();
    if (PyUnicode_CheckExact(object)) {
        // str() of an exact str is the object itself: take its text without a call.
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(object, &size);
        if (!utf8) {
            if (auto interrupt = discard_pending_error()) return std::move(*interrupt);
            return append_lenient_text(column, object);
        }
        const std::string_view text(utf8, static_cast<std::size_t>(size));
        if (pins) {
            column.add_view(text);
            pins->push_back(std::move(cell));
        } else {
            column.add_text(text);
        }
        return Unit{};
    }
    if (object == Py_None) {
        column.add_text("None");
        return Unit{};
    }
    PyRef text = PyRef::steal(PyObject_Str(object));
    if (!text) return interrupt_or_throw(PyErr::fetch(), str_failure);
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size);
    if (!utf8) {
        if (auto interrupt = discard_pending_error()) return std::move(*interrupt);
        return append_lenient_text(column, text.get());
    }
    column.add_text(std::string_view(utf8, static_cast<std::size_t>(size)));
    return Unit{};
}

}  // namespace

Status append_cell(ColumnCells& column, PyRef cell, Pins* pins) {
    if (!column.categorical()) {
        const std::optional<double> number = VX_TRY(as_number(cell.get()));
        if (number) {
            column.add_number(*number);
            return Unit{};
        }
    }
    return append_text(column, std::move(cell), pins);
}

CellSource::CellSource(PyRef table, std::optional<ElementKind> kind) noexcept
    : table_(std::move(table)), kind_(kind) {
    if (!kind_) return;
    PyArray_Descr* descr = PyArray_DESCR(reinterpret_cast<PyArrayObject*>(table_.get()));
    descr_ = PyRef::borrow(reinterpret_cast<PyObject*>(descr));
    item_size_ = static_cast<std::size_t>(PyDataType_ELSIZE(descr));
}

Result<CellSource> CellSource::open(PyRef table) {
    const std::optional<ElementKind> kind = VX_TRY(kind_of(table.get()));
    return CellSource(std::move(table), kind);
}

Result<std::optional<ElementKind>> CellSource::kind_of(PyObject* table) {
    // Subclasses may change item access, so only the two NumPy types themselves are read from
    // memory. Arrays of numbers are read by the scan, never cell by cell from memory.
    if (!VX_TRY(is_exact_array(table))) return std::optional<ElementKind>();
    const std::optional<ElementKind> kind =
        element_kind(PyArray_DESCR(reinterpret_cast<PyArrayObject*>(table)));
    if (kind != ElementKind::Objects && kind != ElementKind::Unicode) {
        return std::optional<ElementKind>();
    }
    return kind;
}

const char* CellSource::address(std::size_t row, std::size_t col) const noexcept {
    // Read the geometry afresh for every cell: Python code run by an earlier cell may have
    // reshaped, retyped or reallocated the array. Whatever no longer matches goes to item access,
    // which then answers as NumPy would.
    PyArrayObject* const array = reinterpret_cast<PyArrayObject*>(table_.get());
    if (reinterpret_cast<PyObject*>(PyArray_DESCR(array)) != descr_.get() ||
        PyArray_NDIM(array) != 2) {
        return nullptr;
    }
    const npy_intp* dims = PyArray_DIMS(array);
    if (row >= static_cast<std::size_t>(dims[0]) || col >= static_cast<std::size_t>(dims[1])) {
        return nullptr;
    }
    return PyArray_BYTES(array) + static_cast<npy_intp>(row) * PyArray_STRIDE(array, 0) +
           static_cast<npy_intp>(col) * PyArray_STRIDE(array, 1);
}

Status CellSource::read(std::size_t row, std::size_t col, ColumnCells& column, Pins& pins) {
    const char* at = kind_ ? address(row, col) : nullptr;
    if (!at) return read_item(row, col, column);
    switch (*kind_) {
        case ElementKind::Objects: {
            // The objects of a column lie scattered in memory: ask for one a few rows ahead now, so
            // that its header is cached when its turn comes. A prefetch never faults, even if the
            // object is gone by then.
            if (const char* ahead = address(row + prefetch_distance, col)) {
                __builtin_prefetch(load_unaligned<PyObject*>(ahead));
            }
            PyObject* cell = load_unaligned<PyObject*>(at);
            // The common numeric cell runs no code, so it needs no reference of its own.
            if (cell && PyFloat_CheckExact(cell) && !column.categorical()) {
                column.add_number(PyFloat_AS_DOUBLE(cell));
                return Unit{};
            }
            // NumPy reads an unset slot of an object array as None.
            return append_cell(column, PyRef::borrow(cell ? cell : Py_None), &pins);
        }
        case ElementKind::Unicode: {
            // NumPy drops trailing NULs and refuses code points beyond U+10FFFF; item access
            // reports those as NumPy words it.
            std::size_t count = item_size_ / 4;
            while (count > 0 && load_unaligned<std::uint32_t>(at + 4 * (count - 1)) == 0) --count;
            for (std::size_t i = 0; i < count; ++i) {
                if (load_unaligned<std::uint32_t>(at + 4 * i) > 0x10FFFF)
                    return read_item(row, col, column);
            }
            column.add_code_points(at, count);
            return Unit{};
        }
        default:
            break;
    }
    // The source keeps a kind only for object and unicode elements.
    throw InternalFailure("the cell source was given an array of numbers");
}

Status CellSource::read_item(std::size_t row, std::size_t col, ColumnCells& column) {
    PyRef row_index = VX_TRY(checked(PyLong_FromSize_t(row)));
    PyRef col_index = VX_TRY(checked(PyLong_FromSize_t(col)));
    PyRef key = VX_TRY(checked(PyTuple_Pack(2, row_index.get(), col_index.get())));
    PyRef item = PyRef::steal(PyObject_GetItem(table_.get(), key.get()));
    if (!item) return interrupt_or_throw(PyErr::fetch(), unhandled_error);
    return append_cell(column, std::move(item), nullptr);
}

}  // namespace vexilo::py

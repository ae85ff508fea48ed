// Cells read one at a time: the memory layouts of NumPy object and unicode arrays, read without
// item access where the array still has the layout it was opened with.
#include "python/cell_source.h"

#include <cstdint>

#include "engine/internal_failure.h"
#include "engine/unaligned_load.h"
#include "python/error_policy.h"
#include "python/numpy_storage.h"

namespace vexilo::py {

CellSource::CellSource(PyRef table, std::optional<StorageKind> kind,
                       MissingNumbers missing_numbers) noexcept
    : table_(std::move(table)), kind_(kind), missing_numbers_(std::move(missing_numbers)) {
    if (!kind_) return;
    PyArray_Descr* descr = PyArray_DESCR(reinterpret_cast<PyArrayObject*>(table_.get()));
    descr_ = PyRef::borrow(reinterpret_cast<PyObject*>(descr));
    item_size_ = static_cast<std::size_t>(PyDataType_ELSIZE(descr));
}

Result<CellSource> CellSource::open(PyRef table, MissingNumbers missing_numbers) {
    const std::optional<StorageKind> kind = VX_TRY(kind_of(table.get()));
    return CellSource(std::move(table), kind, std::move(missing_numbers));
}

Result<std::optional<StorageKind>> CellSource::kind_of(PyObject* table) {
    // Subclasses may change item access, so only the two NumPy types themselves are read from
    // memory. Arrays of numbers are read by the scan, never cell by cell from memory.
    if (!VX_TRY(is_exact_array(table))) return std::optional<StorageKind>();
    const std::optional<StorageKind> kind =
        storage_of(PyArray_DESCR(reinterpret_cast<PyArrayObject*>(table)));
    if (kind != StorageKind::objects && kind != StorageKind::code_points) {
        return std::optional<StorageKind>();
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
    if (*kind_ == StorageKind::objects) return read_object(at, row, col, column, pins);
    if (*kind_ != StorageKind::code_points) {
        // The source keeps a kind only for object and unicode elements.
        throw InternalFailure("the cell source was given an array of numbers");
    }
    // NumPy drops trailing NULs and refuses code points beyond U+10FFFF; item access reports
    // those as NumPy words it.
    std::size_t count = item_size_ / 4;
    while (count > 0 && load_unaligned<std::uint32_t>(at + 4 * (count - 1)) == 0) --count;
    for (std::size_t i = 0; i < count; ++i) {
        if (load_unaligned<std::uint32_t>(at + 4 * i) > 0x10FFFF)
            return read_item(row, col, column);
    }
    column.add_code_points(at, count);
    return Unit{};
}

Status CellSource::read_object(const char* slot, std::size_t row, std::size_t col,
                               ColumnCells& column, Pins& pins) {
    if (const char* ahead = address(row + object_prefetch_rows, col)) {
        __builtin_prefetch(load_unaligned<PyObject*>(ahead));
    }
    PyObject* const cell = object_in_slot(slot);
    if (cell == missing_numbers_.in(col)) return append_missing_number(column);
    if (!column.categorical()) {
        // A plain number runs no code, so it needs no reference of its own.
        const PlainCell plain = classify_cell(cell, nullptr);
        if (plain.kind == CellClass::number) {
            column.add_number(plain.number);
            return Unit{};
        }
    }
    return append_cell(column, PyRef::borrow(cell), &pins);
}

Status CellSource::read_item(std::size_t row, std::size_t col, ColumnCells& column) {
    PyRef row_index = VX_TRY(checked(PyLong_FromSize_t(row)));
    PyRef col_index = VX_TRY(checked(PyLong_FromSize_t(col)));
    PyRef key = VX_TRY(checked(PyTuple_Pack(2, row_index.get(), col_index.get())));
    PyRef item = PyRef::steal(PyObject_GetItem(table_.get(), key.get()));
    if (!item) return interrupt_or_throw(PyErr::fetch(), unhandled_error);
    if (item.get() == missing_numbers_.in(col)) return append_missing_number(column);
    return append_cell(column, std::move(item), nullptr);
}

}  // namespace vexilo::py

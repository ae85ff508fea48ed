// The arrays of a scan held with their geometry, so that a change made while the scan runs shows.
#include "python/scan_source.h"

namespace vexilo::py {

ScanSource::Held ScanSource::hold(PyRef array) {
    PyArrayObject* const view = reinterpret_cast<PyArrayObject*>(array.get());
    Held held{std::move(array), PyArray_BYTES(view), PyArray_NDIM(view), {0, 0},
              {0, 0},           PyArray_DESCR(view)};
    for (int axis = 0; axis < held.dims && axis < 2; ++axis) {
        held.shape[axis] = PyArray_DIM(view, axis);
        held.strides[axis] = PyArray_STRIDE(view, axis);
    }
    return held;
}

ScanSource ScanSource::of_table(PyRef array, StorageKind kind) {
    ScanSource source;
    source.arrays_.push_back(hold(std::move(array)));
    const Held& held = source.arrays_.back();
    source.table_ = true;
    source.table_cols_ = static_cast<std::size_t>(held.shape[1]);
    source.first_column_ = ColumnMemory{held.data, held.strides[0], kind};
    source.col_step_ = held.strides[1];
    return source;
}

void ScanSource::add_column(PyRef array, ColumnMemory memory, std::size_t table_col) {
    arrays_.push_back(hold(std::move(array)));
    columns_.push_back(Placed{memory, table_col});
}

std::size_t ScanSource::column_count() const noexcept {
    return table_ ? table_cols_ : columns_.size();
}

ColumnMemory ScanSource::column(std::size_t i) const noexcept {
    if (!table_) return columns_[i].memory;
    ColumnMemory memory = first_column_;
    memory.first += static_cast<std::ptrdiff_t>(i) * col_step_;
    return memory;
}

std::size_t ScanSource::table_column(std::size_t i) const noexcept {
    return table_ ? i : columns_[i].table_col;
}

bool ScanSource::unchanged() const noexcept {
    for (const Held& held : arrays_) {
        PyArrayObject* const view = reinterpret_cast<PyArrayObject*>(held.array.get());
        if (PyArray_BYTES(view) != held.data || PyArray_NDIM(view) != held.dims ||
            PyArray_DESCR(view) != held.descr) {
            return false;
        }
        for (int axis = 0; axis < held.dims && axis < 2; ++axis) {
            if (PyArray_DIM(view, axis) != held.shape[axis] ||
                PyArray_STRIDE(view, axis) != held.strides[axis]) {
                return false;
            }
        }
    }
    return true;
}

}  // namespace vexilo::py

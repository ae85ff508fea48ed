// The float64 array result, adopting the table's buffer where it is contiguous.
#include "python/float_array.h"

#include <utility>

#include "python/numpy_array.h"

namespace vexilo::py {
namespace {

constexpr const char* buffer_capsule_name = "vexilo.table_buffer";

void free_table_buffer(PyObject* capsule) {
    CellBufferDeleter()(static_cast<double*>(PyCapsule_GetPointer(capsule, buffer_capsule_name)));
}

}  // namespace

Result<PyRef> float_array(Table table) {
    npy_intp dims[2] = {static_cast<npy_intp>(table.rows), static_cast<npy_intp>(table.cols)};
    const bool row_major = table.is_row_major();
    if (table.data && (row_major || table.is_col_major())) {
        // Contiguous: the new array adopts the buffer; a capsule owns it and frees it with the
        // array.
        PyRef owner = VX_TRY(
            checked(PyCapsule_New(table.data.get(), buffer_capsule_name, free_table_buffer)));
        double* data = table.data.release();
        return adopt_buffer(std::move(owner), data, table.rows, table.cols, NPY_DOUBLE, !row_major);
    }
    PyRef array = VX_TRY(checked(PyArray_SimpleNew(2, dims, NPY_DOUBLE)));
    double* out = array_data<double>(array);
    for (std::size_t r = 0; r < table.rows; ++r) {
        for (std::size_t c = 0; c < table.cols; ++c) *out++ = table.at(r, c);
    }
    return array;
}

}  // namespace vexilo::py

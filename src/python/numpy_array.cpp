// Arrays over memory owned by another object.
#include "python/numpy_array.h"

namespace vexilo::py {

Result<PyRef> adopt_buffer(PyRef owner, void* cells, std::size_t rows, std::size_t cols,
                           int type_num, bool column_major) {
    npy_intp dims[2] = {static_cast<npy_intp>(rows), static_cast<npy_intp>(cols)};
    PyRef array =
        VX_TRY(checked(PyArray_New(&PyArray_Type, 2, dims, type_num, nullptr, cells, 0,
                                   column_major ? NPY_ARRAY_FARRAY : NPY_ARRAY_CARRAY, nullptr)));
    // Steals the owner's reference even when it fails.
    if (PyArray_SetBaseObject(as_array(array), owner.release()) < 0) return PyErr::fetch();
    return array;
}

}  // namespace vexilo::py

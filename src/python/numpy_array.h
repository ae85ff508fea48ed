// Small helpers over NumPy arrays for output construction: typed access to a new array's data,
// and a 2-D array over memory that another object owns.
#pragma once

#include "python/py_err.h"

namespace vexilo::py {

inline PyArrayObject* as_array(const PyRef& array) {
    return reinterpret_cast<PyArrayObject*>(array.get());
}

// The data of array (a NumPy array) as T*.
template <class T>
T* array_data(const PyRef& array) {
    return static_cast<T*>(PyArray_DATA(as_array(array)));
}

// A new rows x cols array of type_num over cells, C- or (column_major) Fortran-ordered, whose base
// is owner (stolen: on every outcome it is released with the array or at once), the object that
// frees cells when the array is gone. Returns a new reference or the Python error. Calling thread,
// interpreter held.
Result<PyRef> adopt_buffer(PyRef owner, void* cells, std::size_t rows, std::size_t cols,
                           int type_num, bool column_major);

}  // namespace vexilo::py

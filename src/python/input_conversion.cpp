// Input conversion.
// PLACEHOLDER: the dispatch, column names and float fast path replace this.
#include "python/input_conversion.h"

namespace vexilo::py {

Result<Conversion> pyany_to_vec(PyObject*, StringEncoding) {
    return PyErr::make(PyExc_NotImplementedError, "encoding is not implemented yet");
}

}  // namespace vexilo::py

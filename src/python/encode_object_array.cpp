// Object-array encoding.
// PLACEHOLDER: the classification and parallel phases replace this.
#include "python/encode_object_array.h"

namespace vexilo::py {

Result<ObjectArrayEncoding> encode_object_array(PyObject*, bool) {
    return PyErr::make(PyExc_NotImplementedError, "encoding is not implemented yet");
}

}  // namespace vexilo::py

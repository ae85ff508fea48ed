// Output construction.
// PLACEHOLDER: the float copy and the decoding of both kinds replace this.
#include "python/output.h"

namespace vexilo::py {

Result<PyRef> arr_to_out(const Table&, OUT, const EncodingInfo*) {
    return PyErr::make(PyExc_NotImplementedError, "output construction is not implemented yet");
}

}  // namespace vexilo::py

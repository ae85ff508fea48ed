// The choice of result: float array, decoded object array, frame, or Arrow table.
#include "python/build_result.h"

#include <utility>

#include "python/arrow_result.h"
#include "python/decoded_array.h"
#include "python/float_array.h"
#include "python/result_frame.h"

namespace vexilo::py {

PyErr as_category_needs_a_table() {
    return PyErr::make(PyExc_TypeError,
                       "as_category=True needs a table result: a NumPy array has no categorical "
                       "kind (pass the codes as a pandas or polars DataFrame or an Arrow table, or "
                       "decode without as_category)");
}

Result<PyRef> build_result(Table table, OutputKind out, const EncodingInfo* encoding_info,
                           bool as_category) {
    if (out.is_arrow()) return arrow_result(std::move(table), out, encoding_info, as_category);
    if (out.kind == OutputKind::Kind::DataFrame) {
        return result_frame(std::move(table), out.column_names, encoding_info, as_category);
    }
    if (as_category) return as_category_needs_a_table();
    if (!encoding_info) return float_array(std::move(table));
    return decoded_array(std::move(table), *encoding_info);
}

}  // namespace vexilo::py

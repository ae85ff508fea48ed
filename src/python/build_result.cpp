// The choice of result: float array, decoded object array, frame, or Arrow table.
#include "python/build_result.h"

#include <utility>

#include "python/arrow_result.h"
#include "python/decoded_array.h"
#include "python/float_array.h"
#include "python/result_frame.h"

namespace vexilo::py {

Result<PyRef> build_result(Table table, OutputKind out, const EncodingInfo* encoding_info) {
    if (out.is_arrow()) return arrow_result(std::move(table), out, encoding_info);
    if (out.kind == OutputKind::Kind::DataFrame) {
        return result_frame(std::move(table), out.column_names, encoding_info);
    }
    if (!encoding_info) return float_array(std::move(table));
    return decoded_array(std::move(table), *encoding_info);
}

}  // namespace vexilo::py

// Column label encoding. Interpreter-free.
// PLACEHOLDER: straightforward sort-based version; replaced by the measured implementation.
#include "label_encode.h"

#include <algorithm>

#include "internal_failure.h"

namespace vexilo {

ForwardMap label_encode_into(std::span<const std::string_view> cells, double* out,
                             std::size_t stride, pool::ThreadPool& pool) {
    std::vector<std::string_view> sorted(cells.begin(), cells.end());
    pool.parallel_sort(std::span<std::string_view>(sorted), std::less<>{});
    sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());
    ForwardMap forward;
    forward.reserve(sorted.size());
    std::uint64_t next = 0;
    for (std::string_view text : sorted) {
        if (is_missing_marker(text)) {
            forward.emplace(std::string(text), std::nullopt);
        } else {
            forward.emplace(std::string(text), next++);
        }
    }
    pool.parallel_for(cells.size(), [&](std::size_t row) {
        auto found = forward.find(cells[row]);
        VX_ASSERT(found != forward.end(), "label_encode: text missing from its forward map");
        out[row * stride] = found->second ? static_cast<double>(*found->second) : missing_code;
    });
    return forward;
}

LabelEncoding label_encode(std::span<const std::string_view> cells, pool::ThreadPool& pool) {
    LabelEncoding result;
    result.codes.resize(cells.size());
    result.forward_map = label_encode_into(cells, result.codes.data(), 1, pool);
    return result;
}

}  // namespace vexilo

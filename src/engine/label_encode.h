// The numbering rule for one categorical column: distinct texts in byte-wise order receive the
// codes 0, 1, 2, ...; missing-value markers receive none. Interpreter-free.
#pragma once

#include <bit>  // std::bit_cast
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string_view>
#include <vector>

#include "engine/encoding_info.h"
#include "pool/pool.h"

namespace vexilo {

// The code written for a missing value: the quiet NaN 0x7FF8000000000000.
inline const double missing_code = std::bit_cast<double>(std::uint64_t{0x7FF8000000000000});

// True for exactly "nan", "NaN" and "<NA>".
constexpr bool is_missing_marker(std::string_view text) noexcept {
    return text == "nan" || text == "NaN" || text == "<NA>";
}

// What a caller knows of the repeats among the texts it numbers.
enum class Repeats {
    // Texts may repeat: the rows are deduplicated before sorting while that pays.
    Possible,
    // Only missing-value markers may repeat (each other text comes once, as the distinct texts a
    // column collected): the texts go to the sort as they are. Equal texts still get one code.
    OnlyMarkers,
};

struct LabelEncoding {
    std::vector<double> codes;  // one per input cell, in row order
    ForwardMap forward_map;     // one entry per distinct text
};

// Numbers one column: returns the code of every cell in row order (codes 0 .. k-1 in byte-wise
// order of the k distinct non-marker texts, the quiet NaN missing_code for markers) and a new
// forward map with one entry per distinct text, markers mapped to no code. cells are borrowed for
// the call only; the map owns one copy of each distinct text, and builds its index at its first
// lookup (it is mostly kept and iterated, not looked into). The work runs on pool, from any
// thread, including a task of that pool; the calling thread blocks until it is done. Pure and
// re-entrant: several calls may run at once. Fails only by std::bad_alloc, or by the
// InternalFailure of a pool whose threads cannot start.
// repeats only says how to get there fastest: the result is the same either way.
LabelEncoding label_encode(std::span<const std::string_view> cells,
                           pool::ThreadPool& pool = pool::global_pool(),
                           Repeats repeats = Repeats::Possible);

// As label_encode, but writes the code of row i to out[i * stride] instead of returning a vector.
// Every out[i * stride] for i < cells.size() is written exactly once. cells_read, if any, is called
// (on any thread) once the span itself is read no more, so that the caller may free it early; the
// texts it views must stay until the call returns.
ForwardMap label_encode_into(std::span<const std::string_view> cells, double* out,
                             std::size_t stride, pool::ThreadPool& pool = pool::global_pool(),
                             const std::function<void()>& cells_read = {},
                             Repeats repeats = Repeats::Possible);

// The inverse of a forward map built by label_encode: one (code, text) entry per text that has a
// code, stored by code without an index when the codes are 0 .. k-1 (any forward map is accepted).
// The text copies are made in parallel on pool; same contract as label_encode otherwise.
InverseMap build_inverse_map(const ForwardMap& forward,
                             pool::ThreadPool& pool = pool::global_pool());

}  // namespace vexilo

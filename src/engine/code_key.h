// How a float code of a table cell names a label: the missing codes, and the lookup key of the
// others. Shared by every decoding route. Interpreter-free.
#pragma once

#include <cstdint>
#include <limits>

namespace vexilo {

// True for a code that no label can have: NaN, and a negative code that truncation toward zero
// keeps negative (-1 and below; -0.5 truncates to code 0). Such a cell decodes as missing. One
// comparison covers both, since every comparison with NaN is false.
inline bool is_missing_code(double code) noexcept { return !(code > -1.0); }

// The lookup key of a code that is not a missing code: a fraction above -1 and below 0 gives 0,
// values at or above 2^64 the largest key, everything else is truncated toward zero.
inline std::uint64_t code_key(double code) noexcept {
    constexpr double key_limit = 18446744073709551616.0;  // 2^64
    if (code < 0.0) return 0;
    if (code >= key_limit) return std::numeric_limits<std::uint64_t>::max();
    return static_cast<std::uint64_t>(code);
}

}  // namespace vexilo

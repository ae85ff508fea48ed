// The key that makes sorting texts in byte order mostly integer comparisons. Interpreter-free.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace vexilo {

// The first eight bytes of text big-endian, zero-padded: comparing two prefixes as integers agrees
// with the byte order of their texts, except that equal prefixes leave the order to the whole
// texts (the padding cannot tell "ab" from "ab\0").
inline std::uint64_t sort_prefix(std::string_view text) noexcept {
    unsigned char bytes[8] = {};
    // An empty view may carry a null pointer, which memcpy must not see even for zero bytes.
    if (!text.empty()) std::memcpy(bytes, text.data(), std::min<std::size_t>(text.size(), 8));
    std::uint64_t prefix = 0;
    for (unsigned char byte : bytes) prefix = (prefix << 8) | byte;
    return prefix;
}

}  // namespace vexilo

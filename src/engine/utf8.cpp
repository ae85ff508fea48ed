// The UTF-8 validator. Interpreter-free.
#include "engine/utf8.h"

#include <cstdint>

#include "engine/unaligned_load.h"

namespace vexilo {

std::optional<Utf8Flaw> first_utf8_flaw(std::string_view text) noexcept {
    constexpr std::uint64_t high_bits = 0x8080808080808080ULL;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
    const std::size_t size = text.size();
    std::size_t i = 0;
    while (i < size) {
        if (bytes[i] < 0x80) {
            // Eight ASCII bytes at a time, then byte by byte up to the next non-ASCII byte.
            while (size - i >= sizeof(std::uint64_t) &&
                   (load_unaligned<std::uint64_t>(text.data() + i) & high_bits) == 0) {
                i += sizeof(std::uint64_t);
            }
            while (i < size && bytes[i] < 0x80) ++i;
            continue;
        }
        const std::size_t start = i;
        const std::uint8_t first = bytes[start];
        std::size_t width = 0;
        // Bounds of the second byte; they exclude overlong forms, surrogates and values past
        // U+10FFFF. Later bytes are plain continuation bytes.
        std::uint8_t low = 0x80, high = 0xBF;
        if (first >= 0xC2 && first <= 0xDF) {
            width = 2;
        } else if (first >= 0xE0 && first <= 0xEF) {
            width = 3;
            if (first == 0xE0) low = 0xA0;
            if (first == 0xED) high = 0x9F;
        } else if (first >= 0xF0 && first <= 0xF4) {
            width = 4;
            if (first == 0xF0) low = 0x90;
            if (first == 0xF4) high = 0x8F;
        } else {
            return Utf8Flaw{start, 1, false};
        }
        for (std::size_t k = 1; k < width; ++k) {
            if (start + k >= size) return Utf8Flaw{start, k, true};
            const std::uint8_t byte = bytes[start + k];
            if (k == 1 ? (byte < low || byte > high) : (byte < 0x80 || byte > 0xBF)) {
                return Utf8Flaw{start, k, false};
            }
        }
        i = start + width;
    }
    return std::nullopt;
}

}  // namespace vexilo

// Shortest round-trip positional rendering of doubles. Interpreter-free.
#include "engine/format_double.h"

#include <charconv>  // std::to_chars
#include <cmath>
#include <cstring>

namespace vexilo {
namespace {

// From here on every double is an integer, and the fixed format of to_chars writes its exact
// expansion (the same number of characters as any other integer text of its length, and the
// closest one). The shortest round-trip digits are taken from the scientific format instead.
constexpr double exact_integers_end = 9007199254740992.0;  // 2^53

// Writes the integral value (at least 2^53 in magnitude) as its shortest round-trip digits
// followed by as many zeros as its magnitude needs.
std::size_t format_large_integer(double value, char* out) noexcept {
    char scientific[32];  // "-d.dddddddddddddddde+308" at most
    const std::to_chars_result written = std::to_chars(scientific, scientific + sizeof scientific,
                                                       value, std::chars_format::scientific);
    if (written.ec != std::errc{}) return 0;
    const char* read = scientific;
    char* write = out;
    if (*read == '-') *write++ = *read++;
    const char* const exponent_mark = static_cast<const char*>(
        std::memchr(read, 'e', static_cast<std::size_t>(written.ptr - read)));
    if (exponent_mark == nullptr) return 0;
    std::size_t digits = 0;
    for (const char* c = read; c < exponent_mark; ++c) {
        if (*c != '.') {
            *write++ = *c;
            ++digits;
        }
    }
    int exponent = 0;
    std::from_chars(exponent_mark + (exponent_mark[1] == '+' ? 2 : 1), written.ptr, exponent);
    // The integer has exponent + 1 digits, and never fewer than its shortest digits: its exact
    // text reads back too.
    const auto zeros = static_cast<std::size_t>(exponent + 1) - digits;
    std::memset(write, '0', zeros);
    return static_cast<std::size_t>(write - out) + zeros;
}

}  // namespace

std::size_t format_double(double value, char* out) noexcept {
    if (std::isnan(value)) {
        std::memcpy(out, "NaN", 3);  // every NaN, whatever its sign bit or payload
        return 3;
    }
    if (std::isfinite(value) && std::fabs(value) >= exact_integers_end) {
        return format_large_integer(value, out);
    }
    // With a format but no precision, to_chars picks the fewest digits that round-trip; the fixed
    // format keeps them positional ("inf" and "-inf" come out as they are).
    const std::to_chars_result written =
        std::to_chars(out, out + format_double_capacity, value, std::chars_format::fixed);
    // The capacity covers the longest fixed text of any double, so this cannot fail.
    return written.ec == std::errc{} ? static_cast<std::size_t>(written.ptr - out) : 0;
}

void append_double(std::string& text, double value) {
    char buffer[format_double_capacity];
    text.append(buffer, format_double(value, buffer));
}

}  // namespace vexilo

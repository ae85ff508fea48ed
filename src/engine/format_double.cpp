// Shortest round-trip positional rendering of doubles. Interpreter-free.
#include "engine/format_double.h"

#include <charconv>  // std::to_chars
#include <cmath>
#include <cstring>

namespace vexilo {

std::size_t format_double(double value, char* out) noexcept {
    if (std::isnan(value)) {
        std::memcpy(out, "NaN", 3);  // every NaN, whatever its sign bit or payload
        return 3;
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

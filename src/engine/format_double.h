// Rendering of doubles as the shortest decimal text that reads back as the same value, written in
// plain positional notation. Interpreter-free.
#pragma once

#include <cstddef>
#include <string>

namespace vexilo {

// Room enough for every text format_double writes: a sign, then at most 309 integral digits
// (1.8e308) or "0." followed by 324 fractional digits (4.9e-324).
inline constexpr std::size_t format_double_capacity = 336;

// Writes the text of value into out[0, format_double_capacity) and returns its length: the
// shortest digits that read back as value, never an exponent, no fraction for integral values, a
// "-" for every negative value including -0; "NaN" for every NaN, "inf" and "-inf". Any thread;
// never fails.
std::size_t format_double(double value, char* out) noexcept;

// Appends the text of format_double to text. Any thread; fails only by std::bad_alloc.
void append_double(std::string& text, double value);

}  // namespace vexilo

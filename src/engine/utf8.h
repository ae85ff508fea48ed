// Checking that bytes are well-formed UTF-8 (no overlong forms, surrogates or code points above
// U+10FFFF), as Python's str, the state format and Arrow's strings all require: one validator for
// texts that come from outside. Interpreter-free.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

namespace vexilo {

// Where a text first breaks UTF-8's rules: the sequence starting at index, of which the first
// valid_prefix bytes could still begin a valid sequence (1 for a byte that cannot start one);
// incomplete when the text ends inside that sequence.
struct Utf8Flaw {
    std::size_t index = 0;
    std::size_t valid_prefix = 0;
    bool incomplete = false;
};

// The first flaw of text, or nothing when it is valid UTF-8. ASCII runs are checked eight bytes at
// a time. Any thread.
std::optional<Utf8Flaw> first_utf8_flaw(std::string_view text) noexcept;

inline bool is_valid_utf8(std::string_view text) noexcept { return !first_utf8_flaw(text); }

}  // namespace vexilo

// The state byte format: an Encoder value written to and read from a compact byte string.
// Interpreter-free.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "python/encoding_info.h"

namespace vexilo {

// A reading error; message is the text that reaches the caller inside a ValueError.
struct StateError {
    std::string message;
};

// Writes value in the state byte format with one exact-size allocation. Never fails except by
// std::bad_alloc. Safe on any thread.
std::vector<std::uint8_t> write_state(const Encoder& value);

// Reads a state from the front of bytes; trailing bytes are ignored. Returns the decoded value or
// the first reading error. Safe on any thread.
std::variant<Encoder, StateError> read_state(std::span<const std::uint8_t> bytes);

}  // namespace vexilo

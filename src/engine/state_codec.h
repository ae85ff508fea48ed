// The state byte format: an EncoderState written to and read from a compact byte string of
// little-endian fixed-width fields in declaration order. Interpreter-free.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <vector>

#include "engine/encoding_info.h"
#include "engine/expected.h"

namespace vexilo {

// Returns the exact number of bytes write_state produces for value. Never fails; a size that
// does not fit in std::size_t throws std::bad_alloc (no such state fits in memory). Safe on any
// thread.
std::size_t state_size(const EncoderState& value);

// Writes value in the state byte format with one exact-size allocation and no reallocation.
// Map entries come in each map's iteration order. Fails only by std::bad_alloc (or by
// std::logic_error should the size and write passes ever disagree, a broken invariant).
// Safe on any thread; value is only read.
std::vector<std::uint8_t> write_state(const EncoderState& value);

// Writes value into out, whose size must be exactly state_size(value), so a caller can write
// straight into a buffer it allocated once (a bytes object). Any other size is a broken
// invariant: std::logic_error, and nothing is written past the end of out. Safe on any thread;
// value is only read.
void write_state_to(const EncoderState& value, std::span<std::uint8_t> out);

// Reads a state from the front of bytes; trailing bytes are ignored. Returns the decoded value
// (newly owned) or the first reading error (ErrorKind::invalid_state, whose message is the text
// that reaches the caller inside a ValueError), having released everything read so far. Never
// reads past the end of bytes, and reserves at most 1 MiB per container ahead of the data that
// fills it. Throws only std::bad_alloc. Safe on any thread.
Expected<EncoderState> read_state(std::span<const std::uint8_t> bytes);

// As read_state, but as if the platform's size type held at most size_max (clamped to
// std::size_t's range): counts, lengths and column indices above it are reading errors whose
// texts name size_max. Lets 64-bit hosts check the behaviour of 32-bit targets.
Expected<EncoderState> read_state(std::span<const std::uint8_t> bytes, std::uint64_t size_max);

}  // namespace vexilo

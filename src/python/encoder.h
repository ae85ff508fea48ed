// The Python type vexilo.Encoder: its instance layout, slots and method frames.
#pragma once

#include <cstddef>
#include <optional>
#include <span>

#include "engine/column_turn.h"
#include "engine/encoding_info.h"
#include "python/py.h"
#include "python/py_err.h"

namespace vexilo::py {

// The Encoder type object, created on the first call and reused for the life of the process.
// Returns a borrowed reference, or nullptr with an exception set. Needs the interpreter.
PyObject* encoder_type() noexcept;

// A new Encoder (a new reference) whose learned state is info, with the "label" string encoding,
// learned from a table of learned_columns columns where that is known (transform then tells a
// text in a column beyond them for what it is). Fails only as object creation does. Needs the
// interpreter.
Result<PyRef> new_encoder_with(EncodingInfo info, std::optional<std::size_t> learned_columns);

// What encoder.transform(obj, unknown=unknown) returns (unknown borrowed, nullptr for the
// default), obj being read as a piece of a larger table whose columns turn as turns says
// (apply_encoding). encoder (borrowed) must be an Encoder: a TypeError otherwise. Takes the
// encoder's shared borrow; fails as transform does. Needs the interpreter.
Result<PyRef> transform_piece(PyObject* encoder, PyObject* obj, std::span<const ColumnTurn> turns,
                              PyObject* unknown);

// encoder.transform(obj, unknown=unknown) as a float64 array whatever obj's kind: what a caller
// that wants an array takes without a frame being built first. As transform_piece otherwise.
Result<PyRef> transform_codes(PyObject* encoder, PyObject* obj, PyObject* unknown);

}  // namespace vexilo::py

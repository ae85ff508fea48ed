// The Python type vexilo.Encoder: its instance layout, slots and method frames.
#pragma once

#include "python/py.h"

namespace vexilo::py {

// The Encoder type object, created on the first call and reused for the life of the process.
// Returns a borrowed reference, or nullptr with an exception set. Needs the interpreter.
PyObject* encoder_type() noexcept;

}  // namespace vexilo::py

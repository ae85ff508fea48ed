// Binding of call arguments to a function's parameters, with the interpreter's own messages: one
// binder for the Encoder's methods, its constructor and the module's functions.
#pragma once

#include <cstddef>
#include <span>

#include "python/py_err.h"

namespace vexilo::py {

struct Parameter {
    const char* name;  // "obj"
    bool required;
    bool keyword_only = false;  // taken by name only (after a * in the signature)
};

// A function's parameters and the name it goes by in messages ("Encoder.encode").
struct Signature {
    const char* function;
    std::span<const Parameter> parameters;
};

// Binds vector-call arguments to the parameters of signature: bound[i] becomes the argument of
// parameter i, borrowed (the caller's arguments keep it alive), or nullptr for an optional
// parameter that was not given. bound has one element per parameter. TypeError with the
// interpreter's wording on a binding error. Needs the interpreter.
Status bind_vectorcall(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames, std::span<PyObject*> bound);

// As bind_vectorcall, for a tuple of positional arguments and an optional keyword dict (a type's
// new slot).
Status bind_tuple(const Signature& signature, PyObject* args, PyObject* kwargs,
                  std::span<PyObject*> bound);

}  // namespace vexilo::py

// Binding of call arguments to a method's single parameter, with the interpreter's own messages.
#pragma once

#include "python/py_err.h"

namespace vexilo::py {

struct Parameter {
    const char* function;  // "Encoder.encode", for messages
    const char* name;      // "obj"
    bool required;
};

// Binds vector-call arguments. Returns the bound object as a borrowed reference (the caller's
// arguments keep it alive), or nullptr for an optional parameter that was not given; TypeError
// with the interpreter's wording on a binding error. Needs the interpreter.
Result<PyObject*> bind_vectorcall(const Parameter& parameter, PyObject* const* args,
                                  Py_ssize_t nargs, PyObject* kwnames);

struct BoundWithKeyword {
    PyObject* bound;    // borrowed, as bind_vectorcall returns it
    PyObject* keyword;  // borrowed; nullptr when the keyword-only parameter was not given
};

// As bind_vectorcall, for a method that also takes the optional keyword-only parameter named
// keyword_only (obj, *, keyword_only=...). Same errors; the keyword-only parameter is never
// taken by position.
Result<BoundWithKeyword> bind_vectorcall_with_keyword(const Parameter& parameter,
                                                      const char* keyword_only,
                                                      PyObject* const* args, Py_ssize_t nargs,
                                                      PyObject* kwnames);

// Binds a tuple of positional arguments and an optional keyword dict (a type's new slot).
Result<PyObject*> bind_tuple(const Parameter& parameter, PyObject* args, PyObject* kwargs);

}  // namespace vexilo::py

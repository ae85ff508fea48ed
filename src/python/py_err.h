// Result-or-error values that carry a Python exception, and the helpers that create them.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "engine/expected.h"
#include "python/py_ref.h"

namespace vexilo::py {

// An owned exception object, never alive at the same time as a set error indicator.
class PyErr {
public:
    // Takes the pending exception out of the interpreter. With none pending (a caller broke the
    // protocol) it makes a SystemError instead. Needs the interpreter.
    static PyErr fetch();
    // A new exception of type with the UTF-8 message text. Needs the interpreter.
    static PyErr make(PyObject* type, std::string_view message);

    // Adds a note through the exception's add_note; a failure of the note is dropped.
    PyErr with_note(const char* note) &&;
    // Sets this exception as the pending one; the caller then returns its error value.
    void restore() &&;

    PyObject* value() const noexcept { return exception_.get(); }
    // True when the exception is an instance of type.
    bool matches(PyObject* type) const noexcept;

private:
    explicit PyErr(PyRef exception) noexcept : exception_(std::move(exception)) {}
    PyRef exception_;
};

// Either a T or the Python exception that kept it from being made.
template <class T>
using Result = Expected<T, PyErr>;

using Status = Result<Unit>;

// The qualified name of an object's type, for messages ("int", "Foo.Bar"). Needs the interpreter.
std::string type_qualname(PyObject* object);

// Wraps a new reference from a C-API call: the reference, or the pending exception when null.
inline Result<PyRef> checked(PyObject* new_reference) {
    if (!new_reference) return PyErr::fetch();
    return PyRef::steal(new_reference);
}

}  // namespace vexilo::py

// Unwraps a Result inside a routine that itself returns a Result: yields the value, or returns
// the error from the enclosing routine.
#define VX_TRY(expr) VX_EXPECT(expr)

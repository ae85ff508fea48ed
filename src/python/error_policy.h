// How a failed Python operation while reading the caller's table ends the call: interrupts pass
// unchanged, anything else becomes an internal failure with a description of the exception.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "engine/frozen_texts.h"
#include "engine/internal_failure.h"
#include "python/py_err.h"

namespace vexilo::py {

// The start of the message of an internal failure caused by a failed read of the caller's table.
inline constexpr std::string_view unhandled_error = frozen_text::unhandled_error;
// The start of the message of an internal failure caused by a failing str() of a cell.
inline constexpr std::string_view str_failure = frozen_text::str_failure;

// True for a BaseException that is not an Exception (KeyboardInterrupt, SystemExit, ...): such an
// exception is never swallowed or wrapped, it ends the call unchanged.
bool is_interrupt(const PyErr& error) noexcept;

// "<type qualname>: <str(exception)>", or the type alone when the message is empty or cannot be
// produced. May run the exception's __str__. Calling thread, interpreter held.
std::string describe(const PyErr& error);

// Ends the call for a failed operation: an interrupt is returned unchanged for the caller to
// propagate; anything else is thrown as InternalFailure("<what>: <describe(error)>"), reported at
// where, the caller's place.
PyErr interrupt_or_throw(PyErr error, std::string_view what,
                         SourceLocation where = SourceLocation::current());

// Takes the pending exception (there must be one) and discards it, unless it is an interrupt,
// which is returned. Calling thread, interpreter held.
std::optional<PyErr> discard_pending_error();

// The answer "not this way" of a reader that found out by a failed step: the pending exception,
// if any, is discarded and nothing is returned, unless it is an interrupt, which is returned.
// Calling thread, interpreter held.
template <class T>
Result<std::optional<T>> nothing_unless_interrupt() {
    if (PyErr_Occurred()) {
        if (auto interrupt = discard_pending_error()) return std::move(*interrupt);
    }
    return std::optional<T>();
}

// True when obj's type comes from package or one of its modules (its __module__ is package or
// starts with package and a dot), which is never imported for the question. Only an interrupt is
// returned; a type without a readable __module__ is from no package. Calling thread, interpreter
// held.
Result<bool> type_in_package(PyObject* obj, std::string_view package);

}  // namespace vexilo::py

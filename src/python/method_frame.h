// The method frame: the one place where a Result becomes a raised exception and where C++
// exceptions are stopped before they can cross into the interpreter.
#pragma once

#include <exception>
#include <new>

#include "engine/internal_failure.h"
#include "python/py_err.h"

namespace vexilo::py {

// Creates PanicException once per process. Returns false with an exception set on failure.
bool create_panic_exception_type() noexcept;

// Writes the report of an internal failure to standard error, then raises PanicException with
// message. Any pending exception is discarded first. Needs the interpreter.
void raise_internal_failure(const std::string& message, const std::string& report) noexcept;

// Runs body, which returns Result<PyRef>, and turns every outcome into the C-API convention: a
// new reference, or nullptr with an exception set. C++ exceptions never escape.
template <class Body>
PyObject* run_frame(Body&& body) noexcept {
    try {
        Result<PyRef> result = body();
        if (!result) {
            std::move(result).error().restore();
            return nullptr;
        }
        return std::move(result).value().release();
    } catch (const LocatedFailure& failure) {  // internal failures and the pool's own
        raise_internal_failure(failure.what(), failure.report());
    } catch (const std::bad_alloc&) {
        PyErr_Clear();
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        InternalFailure failure(error.what());
        raise_internal_failure(failure.what(), failure.report());
    } catch (...) {
        InternalFailure failure("internal failure without a message");
        raise_internal_failure(failure.what(), failure.report());
    }
    return nullptr;
}

// A slot or module function of any calling convention as the method tables store it: behind
// PyCFunction, its METH_* flags saying which convention it is.
template <class F>
PyCFunction as_cfunction(F* function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

}  // namespace vexilo::py

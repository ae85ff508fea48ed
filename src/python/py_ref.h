// PyRef: owns exactly one strong reference to a Python object.
#pragma once

#include <cassert>
#include <utility>

#include "python/py.h"

namespace vexilo::py {

// Move-only owner of one strong reference (or of nothing). Needs the interpreter whenever it
// changes a count, so it lives on the calling thread only and never crosses into pool tasks.
class PyRef {
public:
    PyRef() noexcept = default;

    // Adopts a new reference (may be null after a failed call).
    static PyRef steal(PyObject* object) noexcept { return PyRef(object); }
    // Takes a reference of its own to a borrowed object (may be null).
    static PyRef borrow(PyObject* object) noexcept {
        check_interpreter();
        Py_XINCREF(object);
        return PyRef(object);
    }

    PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    PyRef& operator=(PyRef&& other) noexcept {
        if (this != &other) reset(std::exchange(other.object_, nullptr));
        return *this;
    }
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    ~PyRef() { reset(nullptr); }

    PyObject* get() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }

    // Hands the reference over to a caller that steals it (a return value, a SET_ITEM slot).
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }

    // Another owner of the same object.
    PyRef clone() const noexcept { return borrow(object_); }

private:
    explicit PyRef(PyObject* object) noexcept : object_(object) {}

    void reset(PyObject* replacement) noexcept {
        PyObject* old = std::exchange(object_, replacement);
        if (old) {
            check_interpreter();
            Py_DECREF(old);
        }
    }

    static void check_interpreter() noexcept {
#if !defined(NDEBUG) && !defined(Py_GIL_DISABLED)
        assert(PyGILState_Check());
#endif
    }

    PyObject* object_ = nullptr;
};

}  // namespace vexilo::py

// Interrupts passed on, other failures thrown as internal failures, exceptions described.
#include "python/error_policy.h"

namespace vexilo::py {

bool is_interrupt(const PyErr& error) noexcept { return !error.matches(PyExc_Exception); }

std::string describe(const PyErr& error) {
    std::string text = type_qualname(error.value());
    PyRef message = PyRef::steal(PyObject_Str(error.value()));
    Py_ssize_t size = 0;
    const char* utf8 = message ? PyUnicode_AsUTF8AndSize(message.get(), &size) : nullptr;
    if (!utf8) {
        PyErr_Clear();  // an exception that cannot print itself is still described by its type
        return text;
    }
    if (size > 0) {
        text += ": ";
        text.append(utf8, static_cast<std::size_t>(size));
    }
    return text;
}

PyErr interrupt_or_throw(PyErr error, std::string_view what, SourceLocation where) {
    if (is_interrupt(error)) return error;
    std::string message(what);
    message += ": ";
    message += describe(error);
    throw InternalFailure(message, where);
}

std::optional<PyErr> discard_pending_error() {
    PyErr error = PyErr::fetch();
    if (is_interrupt(error)) return error;
    return std::nullopt;
}

Result<bool> type_in_package(PyObject* obj, std::string_view package) {
    PyRef name = PyRef::steal(
        PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__module__"));
    const char* text = nullptr;
    Py_ssize_t size = 0;
    if (name && PyUnicode_Check(name.get())) text = PyUnicode_AsUTF8AndSize(name.get(), &size);
    if (!text) {
        if (auto interrupt = discard_pending_error()) return std::move(*interrupt);
        return false;
    }
    const std::string_view found(text, static_cast<std::size_t>(size));
    return found.substr(0, package.size()) == package &&
           (found.size() == package.size() || found[package.size()] == '.');
}

}  // namespace vexilo::py

// Python exceptions as values. The only place that knows how the pending exception is taken and
// restored on each interpreter version.
#include "python/py_err.h"

namespace vexilo::py {

PyErr PyErr::fetch() {
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* raised = PyErr_GetRaisedException();
#else
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyObject* raised = nullptr;
    if (type) {
        PyErr_NormalizeException(&type, &value, &traceback);
        if (traceback && value) PyException_SetTraceback(value, traceback);
        raised = value;
        Py_XDECREF(type);
        Py_XDECREF(traceback);
    }
#endif
    if (!raised) {
        return make(PyExc_SystemError, "an operation failed without setting an exception");
    }
    return PyErr(PyRef::steal(raised));
}

PyErr PyErr::make(PyObject* type, std::string_view message) {
    PyRef text = PyRef::steal(
        PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    if (!text) return fetch();
    PyRef exception = PyRef::steal(PyObject_CallOneArg(type, text.get()));
    if (!exception) return fetch();
    return PyErr(std::move(exception));
}

PyErr PyErr::with_note(const char* note) && {
    PyRef text = PyRef::steal(PyUnicode_FromString(note));
    PyRef outcome =
        text ? PyRef::steal(PyObject_CallMethod(exception_.get(), "add_note", "O", text.get()))
             : PyRef();
    if (!outcome) PyErr_Clear();  // the note is a courtesy; the exception stands without it
    return std::move(*this);
}

void PyErr::restore() && {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exception_.release());
#else
    PyObject* value = exception_.release();
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(value));
    Py_INCREF(type);
    PyErr_Restore(type, value, PyException_GetTraceback(value));
#endif
}

bool PyErr::matches(PyObject* type) const noexcept {
    return PyErr_GivenExceptionMatches(exception_.get(), type) != 0;
}

std::string type_qualname(PyObject* object) {
    PyRef name = PyRef::steal(PyType_GetQualName(Py_TYPE(object)));
    Py_ssize_t size = 0;
    const char* text = name ? PyUnicode_AsUTF8AndSize(name.get(), &size) : nullptr;
    if (!text) {
        PyErr_Clear();
        return Py_TYPE(object)->tp_name;
    }
    return std::string(text, static_cast<std::size_t>(size));
}

}  // namespace vexilo::py

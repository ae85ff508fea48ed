// The vexilo extension module: its definition, its exec step and PanicException.
#define VEXILO_IMPORTS_NUMPY
#include <cstdio>

#include "python/arrow_result.h"
#include "python/encoder.h"
#include "python/method_frame.h"
#include "python/module_functions.h"
#include "python/py.h"

namespace vexilo::py {
namespace {

PyObject* panic_type = nullptr;

int module_exec(PyObject* module) {
    // One type object per process cannot be shared safely between interpreters.
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
        PyErr_SetString(PyExc_ImportError, "vexilo cannot be imported in a subinterpreter");
        return -1;
    }
    if (PyArray_ImportNumPyAPI() < 0) return -1;
    if (!create_panic_exception_type()) return -1;
    // An attribute of the module its name gives, so that it can be caught by name and pickled.
    if (PyModule_AddObjectRef(module, "PanicException", panic_type) < 0) return -1;
    // Made here, so that a failure to make it fails the import rather than a later result.
    if (!arrow_stream_type()) return -1;
    PyObject* type = encoder_type();
    if (!type) return -1;
    return PyModule_AddObjectRef(module, "Encoder", type);
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
#if PY_VERSION_HEX >= 0x030C0000
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
#if PY_VERSION_HEX >= 0x030D0000
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "vexilo",
    "Parallel label encoding of NumPy arrays and pandas DataFrames.",
    0,
    module_functions,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

bool create_panic_exception_type() noexcept {
    if (panic_type) return true;
    panic_type = PyErr_NewExceptionWithDoc(
        "vexilo.PanicException",
        "An internal failure of vexilo. Derived from BaseException, like an interpreter abort.",
        PyExc_BaseException, nullptr);
    return panic_type != nullptr;
}

void raise_internal_failure(const std::string& message, const std::string& report) noexcept {
    PyErr_Clear();
    std::fputs(report.c_str(), stderr);
    std::fflush(stderr);
    PyErr_SetString(panic_type ? panic_type : PyExc_SystemError, message.c_str());
}

}  // namespace vexilo::py

PyMODINIT_FUNC PyInit_vexilo() { return PyModuleDef_Init(&vexilo::py::module_def); }

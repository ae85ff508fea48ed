// The one door through which the module's interpreter-facing files include Python and NumPy.
// Newer C-API features are guarded by the interpreter's version here and in the module definition.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL vexilo_ARRAY_API
// Only the module's exec step imports NumPy's C API; every other file uses the imported table.
#ifndef VEXILO_IMPORTS_NUMPY
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

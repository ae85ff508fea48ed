// The compiled module's own functions: the private functions over pieces of a table that
// vexilo.dask builds on.
#pragma once

#include "python/py.h"

namespace vexilo::py {

// The module's function table (name, trampoline, flags, docstring), ended by a null entry. Each
// trampoline binds its arguments and runs on the calling thread with the interpreter held,
// through run_frame.
extern PyMethodDef module_functions[];

}  // namespace vexilo::py

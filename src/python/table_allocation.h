// The output table of a conversion, allocated with its size checked against the address space.
#pragma once

#include <cstddef>

#include "engine/table.h"
#include "python/py_err.h"

namespace vexilo::py {

// A rows x cols table in layout whose cells are left for the caller to write. MemoryError when
// rows x cols doubles do not fit the address space; std::bad_alloc when the memory cannot be had.
// Calling thread, interpreter held.
Result<Table> new_table(std::size_t rows, std::size_t cols, Layout layout);

}  // namespace vexilo::py

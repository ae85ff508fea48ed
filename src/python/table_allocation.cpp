// The checked allocation of a conversion's output table.
#include "python/table_allocation.h"

#include <string>

namespace vexilo::py {

Result<Table> new_table(std::size_t rows, std::size_t cols, Layout layout) {
    if (!table_fits(rows, cols)) {
        return PyErr::make(PyExc_MemoryError, "a table of " + std::to_string(rows) + " x " +
                                                  std::to_string(cols) +
                                                  " cells does not fit in memory");
    }
    return uninitialised_table(rows, cols, layout);
}

}  // namespace vexilo::py

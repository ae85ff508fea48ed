// Reading the cells of a table one by one into the engine's column accumulator: the float
// conversion and text rules of a Python cell, and where each cell comes from (a NumPy array's
// memory where the array's type allows it, item access otherwise, with the same results).
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "engine/column_cells.h"
#include "engine/work_vector.h"
#include "python/element_kind.h"
#include "python/py_err.h"

namespace vexilo::py {

// Strong references to the str objects whose UTF-8 text a column views in place. They must outlive
// every view, so they are held for the whole call; Python code run by other cells may drop the
// table's own references. Calling thread only.
using Pins = WorkVector<PyRef>;

// Appends a Python cell to column: its double while the column is numeric and the cell converts
// by the rules of PyFloat_AsDouble, else its str() text (the column turning categorical first). A
// str cell with pins is viewed in place and pinned; without, its text is copied. Returns an
// interrupt raised by the cell's code unchanged; a failing str() ends the call as an
// InternalFailure (interrupt_or_throw). Calling thread, interpreter held.
Status append_cell(ColumnCells& column, PyRef cell, Pins* pins);

// Where the cells of a table come from. An object of exactly numpy.ndarray or numpy.memmap type
// with an object or unicode element type in native byte order is read from its memory; everything
// else through item access with a (row, col) tuple. (Arrays of numbers in memory never come here:
// the scan reads them.) Calling thread, interpreter held.
class CellSource {
public:
    // A source over table (kept referenced for the source's life). A table that cannot be read
    // from memory is read through item access; only an interrupt raised while finding out fails.
    static Result<CellSource> open(PyRef table);

    // Appends cell (row, col) to column. Failures: an interrupt is returned unchanged; a failed
    // item access or str() ends the call as an InternalFailure.
    Status read(std::size_t row, std::size_t col, ColumnCells& column, Pins& pins);

private:
    CellSource(PyRef table, std::optional<ElementKind> kind) noexcept;
    static Result<std::optional<ElementKind>> kind_of(PyObject* table);
    const char* address(std::size_t row, std::size_t col) const noexcept;
    Status read_item(std::size_t row, std::size_t col, ColumnCells& column);

    PyRef table_;
    PyRef descr_;                      // read from memory: the element type the kind was chosen for
    std::optional<ElementKind> kind_;  // Objects or Unicode; nothing: item access
    std::size_t item_size_ = 0;
};

}  // namespace vexilo::py

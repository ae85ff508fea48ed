// Where the cells of a table come from when it is read one cell at a time: a NumPy array's memory
// where the array's type allows it, item access otherwise, with the same results (cell_rule.h
// says what each cell becomes).
#pragma once

#include <cstddef>
#include <optional>

#include "engine/column_cells.h"
#include "engine/storage_kind.h"
#include "python/cell_rule.h"
#include "python/py_err.h"

namespace vexilo::py {

// An object of exactly numpy.ndarray or numpy.memmap type with an object or unicode element type
// in native byte order is read from its memory; everything else through item access with a
// (row, col) tuple. (Arrays of numbers in memory never come here: the scan reads them.) Calling
// thread, interpreter held.
class CellSource {
public:
    // A source over table (kept referenced for the source's life). A table that cannot be read
    // from memory is read through item access; only an interrupt raised while finding out fails.
    // A cell that missing_numbers marks as a missing number of its column reads as a float NaN.
    static Result<CellSource> open(PyRef table, MissingNumbers missing_numbers = {});

    // Appends cell (row, col) to column. Failures: an interrupt is returned unchanged; a failed
    // item access or str() ends the call as an InternalFailure.
    Status read(std::size_t row, std::size_t col, ColumnCells& column, Pins& pins);

private:
    CellSource(PyRef table, std::optional<StorageKind> kind,
               MissingNumbers missing_numbers) noexcept;
    static Result<std::optional<StorageKind>> kind_of(PyObject* table);
    const char* address(std::size_t row, std::size_t col) const noexcept;
    Status read_object(const char* slot, std::size_t row, std::size_t col, ColumnCells& column,
                       Pins& pins);
    Status read_item(std::size_t row, std::size_t col, ColumnCells& column);

    PyRef table_;
    PyRef descr_;                      // read from memory: the element type the kind was chosen for
    std::optional<StorageKind> kind_;  // objects or code_points; nothing: item access
    std::size_t item_size_ = 0;
    MissingNumbers missing_numbers_;
};

}  // namespace vexilo::py

// One pass over a table whose cells can all be read without running Python code: object cells
// that are exact str, float, int or bool objects, None or pandas' NA, and typed numbers. Equal cell
// objects of a categorical column share one text entry, so a column of a few distinct objects
// costs a pointer lookup per cell; equal texts in separate str objects share one by their text.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "engine/table.h"
#include "python/cell_source.h"
#include "python/element_kind.h"

namespace vexilo::py {

// Where one column's cells lie: the first cell and the byte distance between rows. The memory
// belongs to an array that the caller keeps referenced and unchanged for the whole scan.
struct ColumnMemory {
    const char* first = nullptr;
    std::ptrdiff_t row_step = 0;
    ElementKind kind = ElementKind::Objects;
};

// pandas' missing-value scalar, which the scan reads as a cell that is no number and whose text is
// `text` (what str() gives it); a null object: there is none to read.
struct MissingScalar {
    const PyObject* object = nullptr;
    std::string text;
};

// True for the element kinds the scan reads: all but fixed-width text, whose cells the scan would
// not share.
constexpr bool scannable(ElementKind kind) noexcept { return kind != ElementKind::Unicode; }

// Reads the rows x columns.size() cells into outputs (column c's cells at outputs[c], row_stride
// elements apart, not yet written) in the entry-index form that encode_table reads
// (CellForm::EntryIndices): a numeric column writes its numbers into the table; a categorical
// column keeps its distinct entries (finished: texts() lists them) and writes, for every row, the
// index of the row's entry as a double. Reads in blocks of rows across all columns when rows lie
// close together in memory. A column is numeric while every cell converts to a double and
// categorical from its first cell that does not, with the same numbers and texts as the
// cell-by-cell reading in column order gives. Text entries of str cells are views into the objects,
// which pins holds. Returns nothing, having run no Python code, written nothing to pins and left no
// exception set, when a cell is of any other type or its text cannot be made: the caller then reads
// the table cell by cell, which reports the cause in column order. Calling thread, interpreter
// held.
std::optional<std::vector<ColumnCells>> scan_columns(const std::vector<ColumnMemory>& columns,
                                                     std::size_t rows,
                                                     std::span<double* const> outputs,
                                                     std::size_t row_stride,
                                                     const MissingScalar& missing, Pins& pins);

// As above, into every column of table (rows x columns.size(), any memory order).
std::optional<std::vector<ColumnCells>> scan_columns(const std::vector<ColumnMemory>& columns,
                                                     std::size_t rows, Table& table,
                                                     const MissingScalar& missing, Pins& pins);

}  // namespace vexilo::py

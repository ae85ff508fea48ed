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

#include "engine/column_turn.h"
#include "engine/encode_table.h"
#include "engine/table.h"
#include "python/cell_source.h"
#include "python/element_kind.h"

namespace vexilo::py {

// Where one column's cells lie: the first cell and the byte distance between rows.
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

// The arrays a scan reads, each kept referenced, and where every column's cells lie in them and
// go in the output table: one 2-D array, whose columns lie a fixed step apart and are the table's
// columns (nothing is stored per column), or 1-D arrays, each one column of the table, as a frame
// holds them. Calling thread, interpreter held.
class ScanSource {
public:
    // A source over array, a 2-D NumPy array of rows x cols elements of kind (scannable).
    static ScanSource of_table(PyRef array, ElementKind kind);
    // A source with no columns yet, for add_column.
    ScanSource() = default;

    // Appends a column whose cells lie at memory (a scannable kind) in array, a NumPy array, and
    // go to column table_col of the output. Columns are added in ascending order of table_col.
    void add_column(PyRef array, ColumnMemory memory, std::size_t table_col);

    std::size_t column_count() const noexcept;
    ColumnMemory column(std::size_t i) const noexcept;
    // The output table's column of the i-th column.
    std::size_t table_column(std::size_t i) const noexcept;
    // How many arrays the source holds: the cost of one unchanged().
    std::size_t array_count() const noexcept { return arrays_.size(); }
    // True while every array has the memory, shape, strides and element type it had when it was
    // added. Python code run during the scan (a signal handler) may have changed them.
    bool unchanged() const noexcept;

private:
    struct Held {
        PyRef array;
        const char* data;
        int dims;
        npy_intp shape[2];
        npy_intp strides[2];
        const PyArray_Descr* descr;
    };
    struct Placed {
        ColumnMemory memory;
        std::size_t table_col;
    };
    static Held hold(PyRef array);

    std::vector<Held> arrays_;
    std::vector<Placed> columns_;  // one per column, for a source of 1-D arrays only
    ColumnMemory first_column_;    // for a 2-D array: column 0, the others col_step_ on
    std::ptrdiff_t col_step_ = 0;
    std::size_t table_cols_ = 0;
    bool table_ = false;
};

// Reads the rows x source.column_count() cells into their columns of table (rows rows, any memory
// order, those columns not yet written) in the entry-index form that encode_table reads
// (CellForm::EntryIndices): a numeric column writes its numbers into the table; a categorical
// column keeps its distinct entries (finished: texts() lists them) and writes, for every row, the
// index of the row's entry as a double. Returns the categorical columns, by their table column,
// ascending; nothing is kept for the numeric ones. Reads in blocks of rows across all columns when
// rows lie close together in memory. A column is numeric while every cell converts to a double and
// categorical from its first cell that does not, with the same numbers and texts as the
// cell-by-cell reading in column order gives. Text entries of str cells are views into the
// objects, which pins holds, as it holds every object the scan tells apart by address.
// Pending signal handlers run every few thousand cells: the exception of one ends the scan. When a
// cell is of any other type or its text cannot be made, or a handler changed an array, returns
// nothing, having written nothing to pins and left no exception set: the caller then reads the
// table cell by cell, which reports the cause in column order. turns, one per column of source or
// none, may turn a column categorical before its first row (ColumnTurn::Before: every cell read as
// text); the scan returns nothing for such a column of typed numbers, whose cells' texts it cannot
// make. Other turns are left to the caller. Calling thread, interpreter held.
Result<std::optional<std::vector<CollectedColumn>>> scan_columns(
    const ScanSource& source, std::size_t rows, Table& table, const MissingScalar& missing,
    Pins& pins, std::span<const ColumnTurn> turns = {});

}  // namespace vexilo::py

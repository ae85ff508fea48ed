// The one rule for a cell of a table, which every reader applies: whether a cell is a number, a
// text, pandas' missing value, or needs Python code to be read; the text of a cell; and how an
// object array's slot gives its cell. A fast route is fast because it skips work, never because
// it has a rule of its own.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "engine/column_cells.h"
#include "engine/unaligned_load.h"
#include "engine/work_vector.h"
#include "python/py_err.h"

namespace vexilo::py {

// Strong references to the str objects whose UTF-8 text a column views in place. They must outlive
// every view, so they are held for the whole call; Python code run by other cells may drop the
// table's own references. Calling thread only.
using Pins = WorkVector<PyRef>;

// How many rows ahead a reader of an object column asks for the object it will read: objects lie
// scattered in memory, and a prefetch never faults, even if the object is gone by then.
inline constexpr std::size_t object_prefetch_rows = 8;

// The cell an object array's slot holds (borrowed): NumPy reads an unset slot as None.
inline PyObject* object_in_slot(const char* slot) noexcept {
    PyObject* const cell = load_unaligned<PyObject*>(slot);
    return cell ? cell : Py_None;
}

// What a cell is, as far as the cell itself says without running Python code.
enum class CellClass : unsigned char {
    number,         // an exact float, an int that fits a double, a bool: number holds it
    text,           // an exact str, None, or an int too large for a double: its text is the cell's
    not_available,  // pandas' missing value, read as a text of its own (MissingScalar)
    needs_python,   // anything else: float() and str() of it may run code
};

struct PlainCell {
    CellClass kind = CellClass::needs_python;
    double number = 0;
};

// pandas' missing-value scalar, which readers of frames read as a cell that is no number and whose
// text is `text` (what str() gives it); a null object: there is none to read.
struct MissingScalar {
    const PyObject* object = nullptr;
    std::string text;
};

// pandas' missing-value scalar where it stands for a missing number: among a frame's values, the
// missing cells of a column of typed numbers (nullable or Arrow numbers) are NA, and such a cell
// reads as a float NaN, as the column's own memory reads. No object, or a column not marked: NA
// reads as it does anywhere else.
struct MissingNumbers {
    PyRef object;               // pandas' NA
    std::vector<bool> columns;  // per column of the table: true for a column of typed numbers

    // pandas' NA (borrowed) when it is a missing number in column col, else null.
    const PyObject* in(std::size_t col) const noexcept {
        return col < columns.size() && columns[col] ? object.get() : nullptr;
    }
};

// Classifies cell (borrowed) by the rules of float() and str(): the number a plain cell converts
// to, or its class. not_available, when not null, is pandas' missing value, known to be no number
// (its text is the reader's to give). Runs no Python code; leaves no exception set. Calling
// thread, interpreter held. Inline: every reader's loop over cells calls it.
inline PlainCell classify_cell(PyObject* cell, const PyObject* not_available) noexcept {
    const PyTypeObject* const type = Py_TYPE(cell);
    if (type == &PyFloat_Type) return {CellClass::number, PyFloat_AS_DOUBLE(cell)};
    if (type == &PyLong_Type) {
        const double value = PyLong_AsDouble(cell);
        if (value == -1.0 && PyErr_Occurred()) {
            // Too large for a double (OverflowError, never an interrupt): no number, so its text.
            PyErr_Clear();
            return {CellClass::text, 0};
        }
        return {CellClass::number, value};
    }
    if (type == &PyBool_Type) return {CellClass::number, cell == Py_True ? 1.0 : 0.0};
    if (type == &PyUnicode_Type || cell == Py_None) return {CellClass::text, 0};
    if (not_available != nullptr && cell == not_available) return {CellClass::not_available, 0};
    return {CellClass::needs_python, 0};
}

// Appends a Python cell to column: its double while the column is numeric and the cell converts
// by the rules of PyFloat_AsDouble, else its str() text (the column turning categorical first). A
// str cell with pins is viewed in place and pinned; without, its text is copied. Returns an
// interrupt raised by the cell's code unchanged; a failing str() ends the call as an
// InternalFailure (interrupt_or_throw). Calling thread, interpreter held.
Status append_cell(ColumnCells& column, PyRef cell, Pins* pins);

// Appends a missing number to column as append_cell appends a float NaN: the number while the
// column is numeric, else the NaN's str() text. Fails only as append_cell does. Calling thread,
// interpreter held.
Status append_missing_number(ColumnCells& column);

}  // namespace vexilo::py

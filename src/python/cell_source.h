// Reading the cells of a table for the object-array encoding: each column collects its numbers
// until a cell is not one, then the texts of all its cells. Cells come from a NumPy array's memory
// where the array's type allows it, through item access otherwise, with the same results.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "python/py_err.h"

namespace vexilo::py {

// Strong references to the str objects whose UTF-8 text a column views in place. They must outlive
// every view, so they are held for the whole call; Python code run by other cells may drop the
// table's own references. Calling thread only.
using Pins = std::vector<PyRef>;

// One column of the table as phase 1 collects it: numbers while every cell converts to a double,
// texts from the first cell that does not. Texts that had to be produced (str() results, rendered
// numbers, NumPy unicode cells) live in one growing buffer per column; texts of str cells are
// views into the pinned objects. After finish() the column holds no interpreter object and may be
// read, and released, on any thread.
class ColumnCells {
public:
    // reserve_hint: how many cells to make room for at once.
    explicit ColumnCells(std::size_t reserve_hint) noexcept : reserve_hint_(reserve_hint) {}

    bool categorical() const noexcept { return categorical_; }

    // Appends a number to a numeric column. The caller reads typed numbers only while the column
    // is numeric.
    void add_number(double value) { numbers_.push_back(value); }

    // Appends a Python cell: its double while the column is numeric and the cell converts by the
    // rules of PyFloat_AsDouble, else its str() text (the column turning categorical first). A str
    // cell with pins is viewed in place and pinned; without, its text is copied. Returns an
    // interrupt raised by the cell's code unchanged; a failing str() is a stop (InternalFailure).
    // Calling thread, interpreter held.
    Status add_object(PyRef cell, Pins* pins);

    // Appends a NumPy unicode cell of count UCS4 code points (native order, any alignment, trailing
    // NULs already dropped, each at most 0x10FFFF) as UTF-8, a lone surrogate becoming three
    // U+FFFD as str() would give after the lenient round trip. Turns the column categorical, since
    // such a cell never converts to a double. Any thread.
    void add_code_points(const char* data, std::size_t count);

    // How many texts a categorical column has collected; before finish() only.
    std::size_t entry_count() const noexcept { return views_.size(); }

    // Ends the collection: builds the views of a categorical column. Any thread.
    void finish();

    // The numbers of a numeric column and the texts of a categorical one, valid after finish()
    // until release().
    std::span<const double> numbers() const noexcept { return numbers_; }
    std::span<const std::string_view> texts() const noexcept { return views_; }

    // Frees the collected cells. Any thread.
    void release() noexcept;

private:
    // A text in the column's buffer: its view (empty until finish(), since the buffer may still
    // move) and its length. Owned texts lie in the buffer one after another in the order of views.
    struct OwnedText {
        std::size_t index;
        std::size_t size;
    };

    void make_categorical();
    void add_owned(std::string_view text);
    Status add_text(PyRef cell, Pins* pins);
    Status add_lenient_text(PyObject* text);

    std::size_t reserve_hint_;
    bool categorical_ = false;
    std::vector<double> numbers_;
    std::vector<std::string_view> views_;  // str cells viewed in place; owned texts from finish()
    std::vector<OwnedText> owned_;
    std::vector<char> buffer_;  // no small-buffer storage: views survive moving the column
};

// The element types of NumPy arrays whose cells are read from memory.
enum class ElementKind {
    Objects,
    Unicode,
    Bool,
    Int8,
    Int16,
    Int32,
    Int64,
    UInt8,
    UInt16,
    UInt32,
    UInt64,
    Half,
    Float,
    Double,
    LongDouble,
};

// The kind of descr's elements when they can be read from memory (native byte order, a size the
// kind allows); nothing otherwise.
std::optional<ElementKind> element_kind(const PyArray_Descr* descr) noexcept;

// The double of the number element at `at` (any alignment) of a number kind (not Objects or
// Unicode): the conversion float() applies to the NumPy scalar of the same element.
double typed_number(ElementKind kind, const char* at) noexcept;

// True for an object of exactly numpy.ndarray or numpy.memmap type: the array types whose cells
// may be read from memory, since a subclass may change item access. Only an interrupt fails.
Result<bool> is_exact_array(PyObject* table);

// Where the cells of a table come from. An object of exactly numpy.ndarray or numpy.memmap type
// with an object, unicode, boolean, integer or floating element type in native byte order is read
// from its memory; everything else through item access with a (row, col) tuple. Calling thread,
// interpreter held.
class CellSource {
public:
    // A source over table (kept referenced for the source's life). A table that cannot be read
    // from memory is read through item access; only an interrupt raised while finding out fails.
    static Result<CellSource> open(PyRef table);

    // Appends cell (row, col) to column. Failures: an interrupt is returned unchanged; a failed
    // item access or str() is a stop (InternalFailure).
    Status read(std::size_t row, std::size_t col, ColumnCells& column, Pins& pins);

private:
    CellSource(PyRef table, std::optional<ElementKind> kind) noexcept;
    static Result<std::optional<ElementKind>> kind_of(PyObject* table);
    const char* address(std::size_t row, std::size_t col) const noexcept;
    Status read_item(std::size_t row, std::size_t col, ColumnCells& column);

    PyRef table_;
    PyRef descr_;                      // read from memory: the element type the kind was chosen for
    std::optional<ElementKind> kind_;  // nothing: item access
    std::size_t item_size_ = 0;
};

}  // namespace vexilo::py

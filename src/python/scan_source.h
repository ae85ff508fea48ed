// The NumPy arrays a scan reads, kept referenced, and where every column's cells lie in them: one
// 2-D array whose columns lie a fixed step apart, or 1-D arrays, each one column, as a frame holds
// them.
#pragma once

#include <cstddef>
#include <vector>

#include "engine/storage_kind.h"
#include "python/py_err.h"

namespace vexilo::py {

// Where each scanned column's cells lie and which column of the output table it goes to. Calling
// thread, interpreter held.
class ScanSource {
public:
    // A source over array, a 2-D NumPy array of rows x cols elements of kind (not code points);
    // its columns are the table's (nothing is stored per column).
    static ScanSource of_table(PyRef array, StorageKind kind);
    // A source with no columns yet, for add_column.
    ScanSource() = default;

    // Appends a column whose cells lie at memory (not code points) in array, a NumPy array, and
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

}  // namespace vexilo::py

// The table of doubles and the output kind that input conversion hands to output construction.
// Plain records with no interpreter objects. Interpreter-free.
#pragma once

#include <algorithm>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace vexilo {

// Frees a cell buffer made by allocate_cells.
struct CellBufferDeleter {
    void operator()(double* cells) const noexcept;
};
using CellBuffer = std::unique_ptr<double[], CellBufferDeleter>;

// An uninitialised buffer of count doubles (never null, even for 0). Large buffers are aligned
// and advised to use transparent huge pages, which saves most of the page faults of a first write
// to a big table. Throws std::bad_alloc. Safe on any thread.
CellBuffer allocate_cells(std::size_t count);

// A dense rows x cols table of doubles that owns its values. Cell (r, c) lives at
// data[r * row_stride + c * col_stride] (strides in elements), so it may be row- or column-major.
struct Table {
    CellBuffer data;
    std::size_t rows = 0;
    std::size_t cols = 0;
    std::size_t row_stride = 0;
    std::size_t col_stride = 1;

    // A zero-filled row-major table.
    static Table row_major(std::size_t rows, std::size_t cols) {
        Table t;
        t.data = allocate_cells(rows * cols);
        std::fill_n(t.data.get(), rows * cols, 0.0);
        t.rows = rows;
        t.cols = cols;
        t.row_stride = cols;
        t.col_stride = 1;
        return t;
    }

    double at(std::size_t r, std::size_t c) const { return data[r * row_stride + c * col_stride]; }
    bool is_row_major() const { return col_stride == 1 && (rows <= 1 || row_stride == cols); }
    bool is_col_major() const { return row_stride == 1 && (cols <= 1 || col_stride == rows); }
};

// The kind of result to build: a NumPy array, or a pandas DataFrame with its column names.
struct OUT {
    enum class Kind { NdArray, DataFrame };
    Kind kind = Kind::NdArray;
    std::vector<std::string> column_names;  // DataFrame only, in the frame's column order
};

}  // namespace vexilo

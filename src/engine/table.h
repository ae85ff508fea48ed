// The table of doubles that conversion fills, encoding writes and output construction reads. A
// plain record with no interpreter objects. Interpreter-free.
#pragma once

#include <cstddef>
#include <memory>

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

// The memory order of a table's cells.
enum class Layout { RowMajor, ColumnMajor };

// A dense rows x cols table of doubles that owns its values. Cell (r, c) lives at
// data[r * row_stride + c * col_stride] (strides in elements), so it may be row- or column-major.
struct Table {
    CellBuffer data;
    std::size_t rows = 0;
    std::size_t cols = 0;
    std::size_t row_stride = 0;
    std::size_t col_stride = 1;

    double at(std::size_t r, std::size_t c) const { return data[r * row_stride + c * col_stride]; }
    bool is_row_major() const { return col_stride == 1 && (rows <= 1 || row_stride == cols); }
    bool is_col_major() const { return row_stride == 1 && (cols <= 1 || col_stride == rows); }
};

// True when rows x cols doubles can be addressed at all.
bool table_fits(std::size_t rows, std::size_t cols) noexcept;

// A rows x cols table in layout whose cells are left for the caller to write (the buffer is not
// zeroed). Throws std::bad_alloc when the table does not fit or the memory cannot be had. Safe on
// any thread.
Table uninitialised_table(std::size_t rows, std::size_t cols, Layout layout);

}  // namespace vexilo

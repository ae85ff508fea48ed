// Cell buffers of the table of doubles. Interpreter-free.
#include "engine/table.h"

#include <cstdlib>
#include <limits>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>  // madvise, MADV_HUGEPAGE
#endif

namespace vexilo {
namespace {

constexpr std::size_t huge_page = std::size_t{2} << 20;

}  // namespace

void CellBufferDeleter::operator()(double* cells) const noexcept { std::free(cells); }

CellBuffer allocate_cells(std::size_t count) {
    if (count > static_cast<std::size_t>(-1) / sizeof(double)) throw std::bad_alloc();
    const std::size_t bytes = count * sizeof(double);
    void* memory = nullptr;
    if (bytes >= 2 * huge_page) {
        // aligned_alloc wants a size that is a multiple of the alignment.
        const std::size_t rounded = (bytes + huge_page - 1) / huge_page * huge_page;
        if (rounded < bytes) throw std::bad_alloc();
        memory = std::aligned_alloc(huge_page, rounded);
#if defined(__linux__) && defined(MADV_HUGEPAGE)
        // Only advice: where the kernel declines, the buffer works with ordinary pages.
        if (memory) madvise(memory, rounded, MADV_HUGEPAGE);
#endif
    } else {
        memory = std::malloc(bytes ? bytes : 1);
    }
    if (!memory) throw std::bad_alloc();
    return CellBuffer(static_cast<double*>(memory));
}

bool table_fits(std::size_t rows, std::size_t cols) noexcept {
    constexpr std::size_t most_cells = std::numeric_limits<std::size_t>::max() / sizeof(double);
    return rows == 0 || cols <= most_cells / rows;
}

Table uninitialised_table(std::size_t rows, std::size_t cols, Layout layout) {
    if (!table_fits(rows, cols)) throw std::bad_alloc();
    const bool column_major = layout == Layout::ColumnMajor;
    Table table;
    table.data = allocate_cells(rows * cols);
    table.rows = rows;
    table.cols = cols;
    table.row_stride = column_major ? 1 : cols;
    table.col_stride = column_major ? rows : 1;
    return table;
}

}  // namespace vexilo

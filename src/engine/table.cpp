// Cell buffers of the table of doubles. Interpreter-free.
#include "engine/table.h"

#include <cstdlib>
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

}  // namespace vexilo

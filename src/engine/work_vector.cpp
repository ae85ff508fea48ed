// Mapped blocks for working arrays. Interpreter-free.
#include "engine/work_vector.h"

#include <sys/mman.h>  // mmap, munmap

namespace vexilo::detail {

void* map_block(std::size_t bytes) {
    void* block =
        ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (block == MAP_FAILED) throw std::bad_alloc();
    return block;
}

void unmap_block(void* block, std::size_t bytes) noexcept { ::munmap(block, bytes); }

}  // namespace vexilo::detail

// Mapped blocks for working arrays. Interpreter-free.
#include "engine/work_vector.h"

#include <sys/mman.h>  // mmap, munmap, madvise

#include <cstdint>

namespace vexilo::detail {
namespace {

constexpr std::size_t huge_page = std::size_t{2} << 20;

std::size_t round_up(std::size_t bytes, std::size_t unit) noexcept {
    return (bytes + unit - 1) / unit * unit;
}

// The length a block of bytes is mapped with: whole huge pages from one huge page on.
std::size_t mapped_length(std::size_t bytes) noexcept {
    return bytes < huge_page ? bytes : round_up(bytes, huge_page);
}

}  // namespace

void* map_block(std::size_t bytes) {
    const std::size_t length = mapped_length(bytes);
    if (length < bytes) throw std::bad_alloc();
    if (length < huge_page) {
        void* block =
            ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (block == MAP_FAILED) throw std::bad_alloc();
        return block;
    }
    // Aligned to a huge page, so that the kernel can back the block with huge pages: a fresh block
    // then costs a page fault per 2 MiB instead of per 4 KiB. One page more is mapped to find the
    // alignment, and the ends around it are given back.
    if (length + huge_page < length) throw std::bad_alloc();
    void* raw = ::mmap(nullptr, length + huge_page, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) throw std::bad_alloc();
    const auto start = reinterpret_cast<std::uintptr_t>(raw);
    const std::uintptr_t aligned = round_up(start, huge_page);
    if (aligned > start) ::munmap(raw, aligned - start);
    const std::uintptr_t tail = aligned + length;
    if (start + length + huge_page > tail) {
        ::munmap(reinterpret_cast<void*>(tail), start + length + huge_page - tail);
    }
    void* block = reinterpret_cast<void*>(aligned);
#if defined(MADV_HUGEPAGE)
    ::madvise(block, length, MADV_HUGEPAGE);  // only advice: ordinary pages work as well
#endif
    return block;
}

void unmap_block(void* block, std::size_t bytes) noexcept { ::munmap(block, mapped_length(bytes)); }

}  // namespace vexilo::detail

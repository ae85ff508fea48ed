// Vectors for large working arrays whose memory goes back to the system when they are freed.
// Interpreter-free.
#pragma once

#include <cstddef>
#include <new>
#include <vector>

namespace vexilo {

namespace detail {
// Blocks of at least this many bytes (a huge page) are mapped from the system, aligned so that
// huge pages can back them; smaller ones use operator new, whose reuse of freed blocks spares the
// page faults of fresh memory.
inline constexpr std::size_t mapped_block_bytes = std::size_t{2} << 20;
// For tables that grow by doubling and are dropped whole within a call (an index that gives up,
// say): the blocks of their growth are mapped from this size on, so that the heap allocator does
// not keep them, freed, for the rest of the process.
inline constexpr std::size_t mapped_growth_bytes = std::size_t{64} << 10;
// Maps bytes of zeroed, private memory; throws std::bad_alloc when the system refuses.
void* map_block(std::size_t bytes);
// Unmaps a block made by map_block of the same size.
void unmap_block(void* block, std::size_t bytes) noexcept;
}  // namespace detail

// An allocator whose large blocks (min_mapped bytes and up) come straight from the system (mmap)
// and go straight back when freed. The process's heap allocator keeps freed blocks below its own
// mapping threshold for reuse, which on a call made of phases lets the freed arrays of one phase
// linger beside the growing arrays of the next: the peak then counts both. Any thread.
template <class T, std::size_t min_mapped = detail::mapped_block_bytes>
struct PageAllocator {
    using value_type = T;
    template <class U>
    struct rebind {
        using other = PageAllocator<U, min_mapped>;
    };

    PageAllocator() noexcept = default;
    template <class U>
    PageAllocator(const PageAllocator<U, min_mapped>&) noexcept {}

    T* allocate(std::size_t count) {
        if (count > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_alloc();
        const std::size_t bytes = count * sizeof(T);
        if (bytes >= min_mapped) return static_cast<T*>(detail::map_block(bytes));
        // The aligned form only where it is needed: it goes through the heap's slower aligned
        // allocation even for alignments that plain operator new already gives.
        if constexpr (alignof(T) <= __STDCPP_DEFAULT_NEW_ALIGNMENT__) {
            return static_cast<T*>(::operator new(bytes));
        } else {
            return static_cast<T*>(::operator new (bytes, std::align_val_t{alignof(T)}));
        }
    }

    void deallocate(T* block, std::size_t count) noexcept {
        const std::size_t bytes = count * sizeof(T);
        if (bytes >= min_mapped) return detail::unmap_block(block, bytes);
        // The unsized form: clang before 17 declares the sized one only under -fsized-deallocation.
        if constexpr (alignof(T) <= __STDCPP_DEFAULT_NEW_ALIGNMENT__) {
            ::operator delete(block);
        } else {
            ::operator delete (block, std::align_val_t{alignof(T)});
        }
    }

    template <class U>
    bool operator==(const PageAllocator<U, min_mapped>&) const noexcept {
        return true;
    }
};

// A std::vector for working arrays: large ones are mapped from the system.
template <class T>
using WorkVector = std::vector<T, PageAllocator<T>>;

// A std::vector for a growing table that a call drops whole: its blocks are mapped from
// mapped_growth_bytes on.
template <class T>
using GrowthVector = std::vector<T, PageAllocator<T, detail::mapped_growth_bytes>>;

}  // namespace vexilo

// How the cells of a column lie in memory, as every reader describes them (NumPy arrays, pandas'
// arrays, Arrow buffers), and the one dispatch from a storage kind to the code that reads it.
// Interpreter-free.
#pragma once

#include <bit>  // std::bit_cast
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <tuple>
#include <type_traits>
#include <utility>

#include "engine/unaligned_load.h"

namespace vexilo {

// The storage kinds of a column's cells. A reader of the caller's table only maps what it finds (a
// NumPy descriptor, a pandas dtype, an Arrow format) to one of these; visit_storage is the one
// switch over them.
enum class StorageKind : std::uint8_t {
    // Numbers, one element each, in native byte order and any alignment.
    int8,
    int16,
    int32,
    int64,
    uint8,
    uint16,
    uint32,
    uint64,
    float16,
    float32,
    float64,
    long_double,
    bool_bytes,  // one byte a cell, 0 for false
    bool_bits,   // one bit a cell, least significant first (Arrow)
    // Texts in Arrow layouts: 32-bit offsets into a data buffer, 64-bit offsets, 16-byte views.
    text_offsets,
    text_large_offsets,
    text_views,
    // Integer indices into a dictionary of texts (the indices are of an integer kind).
    dictionary,
    // Cells only the interpreter can read (Python object pointers), and fixed-width UCS4 texts
    // (NumPy's unicode elements).
    objects,
    code_points,
};

// Where the cells of one column lie when each is one element at a fixed distance from the next
// (a NumPy array, pandas' category codes): the first cell and the byte distance between rows.
struct ColumnMemory {
    const char* first = nullptr;
    std::ptrdiff_t row_step = 0;
    StorageKind kind = StorageKind::objects;

    const char* cell(std::size_t row) const noexcept {
        return first + static_cast<std::ptrdiff_t>(row) * row_step;
    }
};

// The kind as a type, for code compiled once per kind: visit_storage passes one to its visitor.
template <StorageKind K>
struct Storage {
    static constexpr StorageKind kind = K;
};

// True for the kinds whose cells read as numbers from one element of memory (bool_bits excluded:
// its cells are bits).
constexpr bool is_number_element(StorageKind kind) noexcept {
    return kind <= StorageKind::bool_bytes;
}
constexpr bool is_integer(StorageKind kind) noexcept { return kind <= StorageKind::uint64; }
constexpr bool is_text(StorageKind kind) noexcept {
    return kind == StorageKind::text_offsets || kind == StorageKind::text_large_offsets ||
           kind == StorageKind::text_views;
}

namespace detail {

// IEEE binary16 to double, exactly (NaN payloads and signs kept), as NumPy converts float16.
inline double half_to_double(std::uint16_t bits) noexcept {
    const std::uint64_t sign = static_cast<std::uint64_t>(bits & 0x8000u) << 48;
    const unsigned exponent = (bits >> 10) & 0x1fu;
    const std::uint64_t mantissa = bits & 0x3ffu;
    if (exponent == 0) {
        const double magnitude = std::ldexp(static_cast<double>(mantissa), -24);
        return sign ? -magnitude : magnitude;
    }
    const std::uint64_t biased = exponent == 31 ? 0x7ffu : exponent - 15u + 1023u;
    return std::bit_cast<double>(sign | (biased << 52) | (mantissa << 42));
}

// The element types of the number kinds, in the order of StorageKind (float16 as its bits).
using NumberElements = std::tuple<std::int8_t, std::int16_t, std::int32_t, std::int64_t,
                                  std::uint8_t, std::uint16_t, std::uint32_t, std::uint64_t,
                                  std::uint16_t, float, double, long double, std::uint8_t>;

}  // namespace detail

// The element type of a number kind (is_number_element).
template <StorageKind K>
requires(is_number_element(K)) using element_of =
    std::tuple_element_t<static_cast<std::size_t>(K), detail::NumberElements>;

// The number of the element at `at` (any alignment) of a number kind: the conversion float()
// applies to the NumPy scalar of the same element (integers to the nearest double, booleans to 1
// and 0). Any thread.
template <StorageKind K>
double number_at(const char* at) noexcept {
    static_assert(is_number_element(K), "a kind whose cells are numbers of one element");
    const element_of<K> element = load_unaligned<element_of<K>>(at);
    if constexpr (K == StorageKind::bool_bytes) {
        return element != 0 ? 1.0 : 0.0;
    } else if constexpr (K == StorageKind::float16) {
        return detail::half_to_double(element);
    } else {
        return static_cast<double>(element);
    }
}

// The integer at `at` of an integer kind, widened; false for a negative one.
template <StorageKind K>
bool index_at(const char* at, std::uint64_t& index) noexcept {
    static_assert(is_integer(K), "an integer kind");
    const element_of<K> element = load_unaligned<element_of<K>>(at);
    if constexpr (std::is_signed_v<element_of<K>>) {
        if (element < 0) return false;
    }
    index = static_cast<std::uint64_t>(element);
    return true;
}

// Calls visit(Storage<K>{}) for the K that kind is and returns what it returns: the one switch
// over storage kinds. The visitor compiles once per kind; it picks what it does for a kind with
// if constexpr on Storage<K>::kind.
template <class Visit>
decltype(auto) visit_storage(StorageKind kind, Visit&& visit) {
    switch (kind) {
        case StorageKind::int8:
            return visit(Storage<StorageKind::int8>{});
        case StorageKind::int16:
            return visit(Storage<StorageKind::int16>{});
        case StorageKind::int32:
            return visit(Storage<StorageKind::int32>{});
        case StorageKind::int64:
            return visit(Storage<StorageKind::int64>{});
        case StorageKind::uint8:
            return visit(Storage<StorageKind::uint8>{});
        case StorageKind::uint16:
            return visit(Storage<StorageKind::uint16>{});
        case StorageKind::uint32:
            return visit(Storage<StorageKind::uint32>{});
        case StorageKind::uint64:
            return visit(Storage<StorageKind::uint64>{});
        case StorageKind::float16:
            return visit(Storage<StorageKind::float16>{});
        case StorageKind::float32:
            return visit(Storage<StorageKind::float32>{});
        case StorageKind::float64:
            return visit(Storage<StorageKind::float64>{});
        case StorageKind::long_double:
            return visit(Storage<StorageKind::long_double>{});
        case StorageKind::bool_bytes:
            return visit(Storage<StorageKind::bool_bytes>{});
        case StorageKind::bool_bits:
            return visit(Storage<StorageKind::bool_bits>{});
        case StorageKind::text_offsets:
            return visit(Storage<StorageKind::text_offsets>{});
        case StorageKind::text_large_offsets:
            return visit(Storage<StorageKind::text_large_offsets>{});
        case StorageKind::text_views:
            return visit(Storage<StorageKind::text_views>{});
        case StorageKind::dictionary:
            return visit(Storage<StorageKind::dictionary>{});
        case StorageKind::objects:
            return visit(Storage<StorageKind::objects>{});
        case StorageKind::code_points:
            break;
    }
    return visit(Storage<StorageKind::code_points>{});
}

// Calls read(Storage<K>{}) when kind is one of the kinds that has (a constexpr test such as
// is_integer) accepts, and returns true; returns false, calling nothing, for any other kind.
template <bool (*has)(StorageKind) noexcept, class Read>
bool visit_kinds(StorageKind kind, Read&& read) {
    return visit_storage(kind, [&]<StorageKind K>(Storage<K> storage) {
        if constexpr (has(K)) {
            read(storage);
            return true;
        } else {
            return false;
        }
    });
}

// visit_kinds for the number kinds of one element, and for the integer kinds.
template <class Read>
bool visit_number_element(StorageKind kind, Read&& read) {
    return visit_kinds<is_number_element>(kind, std::forward<Read>(read));
}
template <class Read>
bool visit_integer(StorageKind kind, Read&& read) {
    return visit_kinds<is_integer>(kind, std::forward<Read>(read));
}

// Writes the numbers of rows [begin, end) of column (a number-element kind) to out[row * stride].
// Returns false, writing nothing, for any other kind. Any thread.
inline bool read_number_elements(const ColumnMemory& column, std::size_t begin, std::size_t end,
                                 double* out, std::size_t stride) noexcept {
    return visit_number_element(column.kind, [&]<StorageKind K>(Storage<K>) {
        for (std::size_t row = begin; row < end; ++row) {
            out[row * stride] = number_at<K>(column.cell(row));
        }
    });
}

}  // namespace vexilo

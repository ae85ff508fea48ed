// The element types of NumPy arrays whose cells are read straight from memory, and the one
// dispatch from a number kind to the reading of its elements as doubles.
#pragma once

#include <cstdint>
#include <optional>

#include "engine/unaligned_load.h"
#include "python/py_err.h"

namespace vexilo::py {

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
// kind allows); nothing otherwise. Needs the interpreter only for descr's lifetime.
std::optional<ElementKind> element_kind(const PyArray_Descr* descr) noexcept;

// True for an object of exactly numpy.ndarray or numpy.memmap type: the array types whose cells
// may be read from memory, since a subclass may change item access. Only an interrupt fails.
// Calling thread, interpreter held.
Result<bool> is_exact_array(PyObject* table);

// IEEE binary16 to double, exactly (NaN payloads and signs kept), as NumPy converts float16.
double half_to_double(std::uint16_t bits) noexcept;

// Readers of one element of a number kind (any alignment) as a double: the conversion float()
// applies to the NumPy scalar of the same element. One type per kind, so that a loop over a
// column compiles once per kind.
template <class T>
struct PlainElement {
    static double read(const char* at) noexcept {
        return static_cast<double>(load_unaligned<T>(at));
    }
};
struct BoolElement {
    static double read(const char* at) noexcept {
        return load_unaligned<std::uint8_t>(at) != 0 ? 1.0 : 0.0;
    }
};
struct HalfElement {
    static double read(const char* at) noexcept {
        return half_to_double(load_unaligned<std::uint16_t>(at));
    }
};

// Calls visit(reader) with the element reader of kind and returns true; returns false, calling
// nothing, for Objects and Unicode, which are not numbers.
template <class Visit>
bool visit_number_kind(ElementKind kind, Visit&& visit) {
    switch (kind) {
        case ElementKind::Bool:
            visit(BoolElement{});
            return true;
        case ElementKind::Int8:
            visit(PlainElement<std::int8_t>{});
            return true;
        case ElementKind::Int16:
            visit(PlainElement<std::int16_t>{});
            return true;
        case ElementKind::Int32:
            visit(PlainElement<std::int32_t>{});
            return true;
        case ElementKind::Int64:
            visit(PlainElement<std::int64_t>{});
            return true;
        case ElementKind::UInt8:
            visit(PlainElement<std::uint8_t>{});
            return true;
        case ElementKind::UInt16:
            visit(PlainElement<std::uint16_t>{});
            return true;
        case ElementKind::UInt32:
            visit(PlainElement<std::uint32_t>{});
            return true;
        case ElementKind::UInt64:
            visit(PlainElement<std::uint64_t>{});
            return true;
        case ElementKind::Half:
            visit(HalfElement{});
            return true;
        case ElementKind::Float:
            visit(PlainElement<float>{});
            return true;
        case ElementKind::Double:
            visit(PlainElement<double>{});
            return true;
        case ElementKind::LongDouble:
            visit(PlainElement<long double>{});
            return true;
        case ElementKind::Objects:
        case ElementKind::Unicode:
            break;
    }
    return false;
}

}  // namespace vexilo::py

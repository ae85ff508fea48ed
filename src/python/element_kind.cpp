// The element kinds of NumPy arrays read from memory, and which arrays may be read that way.
#include "python/element_kind.h"

#include <bit>  // std::bit_cast
#include <cmath>

#include "python/error_policy.h"

namespace vexilo::py {

// IEEE binary16 to double, exactly (NaN payloads and signs kept), as NumPy converts float16.
double half_to_double(std::uint16_t bits) noexcept {
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

std::optional<ElementKind> element_kind(const PyArray_Descr* descr) noexcept {
    if (!PyArray_ISNBO(descr->byteorder)) return std::nullopt;
    const npy_intp size = PyDataType_ELSIZE(descr);
    switch (descr->kind) {
        case 'O':
            if (descr->type_num == NPY_OBJECT) return ElementKind::Objects;
            return std::nullopt;
        case 'U':
            if (size % 4 == 0) return ElementKind::Unicode;
            return std::nullopt;
        case 'b':
            if (size == 1) return ElementKind::Bool;
            return std::nullopt;
        case 'i':
            if (size == 1) return ElementKind::Int8;
            if (size == 2) return ElementKind::Int16;
            if (size == 4) return ElementKind::Int32;
            if (size == 8) return ElementKind::Int64;
            return std::nullopt;
        case 'u':
            if (size == 1) return ElementKind::UInt8;
            if (size == 2) return ElementKind::UInt16;
            if (size == 4) return ElementKind::UInt32;
            if (size == 8) return ElementKind::UInt64;
            return std::nullopt;
        case 'f':
            if (descr->type_num == NPY_LONGDOUBLE) {
                if (size == static_cast<npy_intp>(sizeof(long double))) {
                    return ElementKind::LongDouble;
                }
                return std::nullopt;
            }
            if (size == 2) return ElementKind::Half;
            if (size == 4) return ElementKind::Float;
            if (size == 8) return ElementKind::Double;
            return std::nullopt;
        default:
            return std::nullopt;
    }
}

Result<bool> is_exact_array(PyObject* table) {
    if (Py_TYPE(table) == &PyArray_Type) return true;

    // numpy.memmap derives from ndarray directly; anything else cannot be it.
    if (Py_TYPE(table)->tp_base != &PyArray_Type) return false;
    PyRef numpy = PyRef::steal(PyImport_ImportModule("numpy"));
    PyRef memmap = numpy ? PyRef::steal(PyObject_GetAttrString(numpy.get(), "memmap")) : PyRef();
    if (!memmap) {
        if (auto interrupt = discard_pending_error()) return std::move(*interrupt);
        return false;
    }
    return reinterpret_cast<PyObject*>(Py_TYPE(table)) == memmap.get();
}

}  // namespace vexilo::py

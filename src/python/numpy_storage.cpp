// NumPy descriptors as storage kinds, and which arrays may be read from memory.
#include "python/numpy_storage.h"

#include "python/error_policy.h"

namespace vexilo::py {

namespace {

// The kind of the given family whose elements take size bytes: by_size[k] takes 2^k bytes.
std::optional<StorageKind> sized(npy_intp size, const StorageKind (&by_size)[4]) noexcept {
    for (std::size_t k = 0; k < 4; ++k) {
        if (size == npy_intp{1} << k) return by_size[k];
    }
    return std::nullopt;
}

constexpr StorageKind signed_kinds[] = {StorageKind::int8, StorageKind::int16, StorageKind::int32,
                                        StorageKind::int64};
constexpr StorageKind unsigned_kinds[] = {StorageKind::uint8, StorageKind::uint16,
                                          StorageKind::uint32, StorageKind::uint64};

}  // namespace

std::optional<StorageKind> storage_of(const PyArray_Descr* descr) noexcept {
    if (!PyArray_ISNBO(descr->byteorder)) return std::nullopt;
    const npy_intp size = PyDataType_ELSIZE(descr);
    switch (descr->kind) {
        case 'O':
            if (descr->type_num == NPY_OBJECT) return StorageKind::objects;
            return std::nullopt;
        case 'U':
            if (size % 4 == 0) return StorageKind::code_points;
            return std::nullopt;
        case 'b':
            if (size == 1) return StorageKind::bool_bytes;
            return std::nullopt;
        case 'i':
            return sized(size, signed_kinds);
        case 'u':
            return sized(size, unsigned_kinds);
        case 'f':
            if (descr->type_num == NPY_LONGDOUBLE) {
                if (size == static_cast<npy_intp>(sizeof(long double))) {
                    return StorageKind::long_double;
                }
                return std::nullopt;
            }
            if (size == 2) return StorageKind::float16;
            if (size == 4) return StorageKind::float32;
            if (size == 8) return StorageKind::float64;
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

std::optional<ColumnMemory> column_memory(PyObject* array, std::size_t rows) noexcept {
    if (!PyArray_CheckExact(array)) return std::nullopt;
    auto* const numpy = reinterpret_cast<PyArrayObject*>(array);
    if (PyArray_NDIM(numpy) != 1 || static_cast<std::size_t>(PyArray_DIM(numpy, 0)) != rows) {
        return std::nullopt;
    }
    const std::optional<StorageKind> kind = storage_of(PyArray_DESCR(numpy));
    if (!kind || *kind == StorageKind::code_points) return std::nullopt;
    return ColumnMemory{PyArray_BYTES(numpy), PyArray_STRIDE(numpy, 0), *kind};
}

}  // namespace vexilo::py

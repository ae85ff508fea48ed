// NumPy descriptors as storage kinds, and which arrays may be read from memory.
#include "python/numpy_storage.h"

#include "python/error_policy.h"

namespace vexilo::py {

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
            if (size == 1) return StorageKind::int8;
            if (size == 2) return StorageKind::int16;
            if (size == 4) return StorageKind::int32;
            if (size == 8) return StorageKind::int64;
            return std::nullopt;
        case 'u':
            if (size == 1) return StorageKind::uint8;
            if (size == 2) return StorageKind::uint16;
            if (size == 4) return StorageKind::uint32;
            if (size == 8) return StorageKind::uint64;
            return std::nullopt;
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

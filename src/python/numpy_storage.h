// The storage kinds of NumPy arrays: a descriptor mapped to the engine's StorageKind, and which
// arrays may be read from memory at all.
#pragma once

#include <cstddef>
#include <optional>

#include "engine/storage_kind.h"
#include "python/py_err.h"

namespace vexilo::py {

// The storage kind of descr's elements when they can be read from memory (native byte order, a
// size the kind allows): a number kind, objects or code points; nothing otherwise. Needs the
// interpreter only for descr's lifetime.
std::optional<StorageKind> storage_of(const PyArray_Descr* descr) noexcept;

// True for an object of exactly numpy.ndarray or numpy.memmap type: the array types whose cells
// may be read from memory, since a subclass may change item access. Only an interrupt fails.
// Calling thread, interpreter held.
Result<bool> is_exact_array(PyObject* table);

// The memory of a one-dimensional array of exactly NumPy's type holding rows elements of a kind
// storage_of knows, other than code points (whose texts a scan would not share); nothing
// otherwise. Borrowed: array must outlive the description. Calling thread, interpreter held.
std::optional<ColumnMemory> column_memory(PyObject* array, std::size_t rows) noexcept;

}  // namespace vexilo::py

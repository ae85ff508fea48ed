// Calls into the Arrow PyCapsule interface and moves the structures out of the capsules.
#include "python/arrow_capsule.h"

#include <string>
#include <utility>

#include "python/error_policy.h"

namespace vexilo::py {
namespace {

// The capsule names the interface fixes.
constexpr const char* stream_capsule = "arrow_array_stream";
constexpr const char* schema_capsule = "arrow_schema";
constexpr const char* array_capsule = "arrow_array";

using MaybeChunks = std::optional<arrow::ArrowChunks>;

// Nothing, after a failed step; an interrupt is returned.
Result<MaybeChunks> no_chunks() { return nothing_unless_interrupt<arrow::ArrowChunks>(); }

// The pointer a capsule of the given name holds, or nullptr (with nothing pending) for anything
// else.
template <class T>
T* capsule_pointer(PyObject* capsule, const char* name) {
    if (!PyCapsule_IsValid(capsule, name)) return nullptr;
    return static_cast<T*>(PyCapsule_GetPointer(capsule, name));
}

Result<MaybeChunks> from_stream(PyObject* capsule, std::size_t max_rows) {
    auto* stream = capsule_pointer<ArrowArrayStream>(capsule, stream_capsule);
    if (stream == nullptr || stream->release == nullptr) return MaybeChunks();
    // Moved out: the capsule's destructor releases only a stream still marked live.
    ArrowArrayStream moved = *stream;
    stream->release = nullptr;
    Expected<arrow::ArrowChunks> drained = arrow::drain_stream(moved, max_rows);
    if (PyErr_Occurred()) return no_chunks();  // a producer that reports through Python
    if (!drained) {
        if (drained.error().kind == ErrorKind::producer_failed) {
            return producer_failure(drained.error());
        }
        return MaybeChunks();
    }
    return MaybeChunks(std::move(drained).value());
}

Result<MaybeChunks> from_array_pair(PyObject* pair, std::size_t max_rows) {
    if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2) return MaybeChunks();
    auto* schema = capsule_pointer<ArrowSchema>(PyTuple_GET_ITEM(pair, 0), schema_capsule);
    auto* array = capsule_pointer<ArrowArray>(PyTuple_GET_ITEM(pair, 1), array_capsule);
    if (schema == nullptr || array == nullptr || schema->release == nullptr ||
        array->release == nullptr) {
        return MaybeChunks();
    }
    arrow::ArrowChunks chunks;
    chunks.adopt_schema(*schema);
    chunks.adopt_array(*array);
    if (array->length < 0 || static_cast<std::uint64_t>(chunks.arrays()[0].length) > max_rows) {
        return MaybeChunks();
    }
    return MaybeChunks(std::move(chunks));
}

}  // namespace

// The failure a stream's producer reported through its callbacks, which ends the call. A producer
// whose own source is Python code reports that code's exception in its text only (pyarrow does):
// a KeyboardInterrupt there is raised again, so that Ctrl-C in the producer stops the call;
// anything else is a RuntimeError with what the producer said. A signal handler's exception
// comes first.
PyErr producer_failure(const Error& error) {
    if (PyErr_CheckSignals() < 0) return PyErr::fetch();
    if (error.message.find("KeyboardInterrupt") != std::string::npos) {
        return PyErr::make(PyExc_KeyboardInterrupt, error.message);
    }
    return PyErr::make(PyExc_RuntimeError,
                       "an Arrow stream failed while it was read: " + error.message);
}

Result<MaybeChunks> arrow_chunks(PyObject* array, std::size_t max_rows) {
    PyRef arrow = PyRef::steal(PyObject_CallMethod(array, "__arrow_array__", nullptr));
    if (!arrow) return no_chunks();
    PyRef stream = PyRef::steal(PyObject_CallMethod(arrow.get(), "__arrow_c_stream__", nullptr));
    if (stream) return from_stream(stream.get(), max_rows);
    if (auto interrupt = discard_pending_error()) return std::move(*interrupt);
    PyRef pair = PyRef::steal(PyObject_CallMethod(arrow.get(), "__arrow_c_array__", nullptr));
    if (!pair) return no_chunks();
    return from_array_pair(pair.get(), max_rows);
}

}  // namespace vexilo::py

// Arrow structures a producer handed over through the Arrow C data or stream interface, owned until
// released: a column's schema and its chunks, and the draining of a stream. Interpreter-free.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "engine/arrow_abi.h"
#include "engine/expected.h"

namespace vexilo::arrow {

// A column's schema and the arrays of its chunks in row order, owned: each structure is released
// through its producer's callback when the owner is destroyed. Those callbacks belong to the
// producer, which may need what the thread that took the structures holds, so destroy (and move
// from) an owner on that thread only. Reading what it holds is safe on any thread.
class ArrowChunks {
public:
    ArrowChunks() noexcept = default;
    ArrowChunks(const ArrowChunks&) = delete;
    ArrowChunks& operator=(const ArrowChunks&) = delete;
    ArrowChunks(ArrowChunks&& other) noexcept;
    ArrowChunks& operator=(ArrowChunks&& other) noexcept;
    ~ArrowChunks();

    // Takes schema over: copies it and marks the source released, as the interface moves a
    // structure. A schema that is already released is not taken.
    void adopt_schema(ArrowSchema& schema) noexcept;
    // Takes array over as the next chunk, likewise. Throws std::bad_alloc, having released the
    // array.
    void adopt_array(ArrowArray& array);

    // The schema (format nullptr until one was adopted) and the chunks.
    const ArrowSchema& schema() const noexcept { return schema_; }
    std::span<const ArrowArray> arrays() const noexcept { return arrays_; }

private:
    void release() noexcept;

    ArrowSchema schema_{};
    std::vector<ArrowArray> arrays_;  // the interface lets a structure move by copying its bytes
};

// Takes everything stream gives: its schema, then its arrays until the end, and releases the
// stream. Returns the chunks, or the reason it stopped: a callback's error
// (ErrorKind::producer_failed, with the stream's own message where it gives one), or
// (ErrorKind::invalid_memory) a released stream, one without callbacks, or more than max_rows rows
// or max_rows + 64 arrays, which bounds what an endless stream can make it hold. What was taken is
// released on every failure. Runs the producer's callbacks on the calling thread. Throws
// std::bad_alloc.
Expected<ArrowChunks> drain_stream(ArrowArrayStream& stream, std::size_t max_rows);

// The rest of drain_stream, for a caller that took the schema itself: the arrays of stream until
// its end, after the schema (and any arrays) chunks holds, with the same bounds and failures;
// releases the stream.
Expected<ArrowChunks> drain_arrays(ArrowArrayStream& stream, ArrowChunks chunks,
                                   std::size_t max_rows);

}  // namespace vexilo::arrow

// Arrow structures taken over and released, and a stream drained of its arrays.
// Interpreter-free.
#include "engine/arrow_stream.h"

#include <cstdint>
#include <string>
#include <utility>

namespace vexilo::arrow {
namespace {

Error invalid(std::string message) {
    return make_error(ErrorKind::invalid_memory, std::move(message));
}

}  // namespace

ArrowChunks::ArrowChunks(ArrowChunks&& other) noexcept
    : schema_(std::exchange(other.schema_, ArrowSchema{})),
      arrays_(std::exchange(other.arrays_, {})) {}

ArrowChunks& ArrowChunks::operator=(ArrowChunks&& other) noexcept {
    if (this != &other) {
        release();
        schema_ = std::exchange(other.schema_, ArrowSchema{});
        arrays_ = std::exchange(other.arrays_, {});
    }
    return *this;
}

ArrowChunks::~ArrowChunks() { release(); }

void ArrowChunks::release() noexcept {
    for (ArrowArray& array : arrays_) {
        if (array.release != nullptr) array.release(&array);
    }
    arrays_.clear();
    if (schema_.release != nullptr) schema_.release(&schema_);
    schema_ = ArrowSchema{};
}

void ArrowChunks::adopt_schema(ArrowSchema& schema) noexcept {
    if (schema.release == nullptr) return;
    if (schema_.release != nullptr) schema_.release(&schema_);
    schema_ = schema;
    schema.release = nullptr;
}

void ArrowChunks::adopt_array(ArrowArray& array) {
    if (array.release == nullptr) return;
    try {
        arrays_.push_back(array);
    } catch (...) {
        array.release(&array);
        array.release = nullptr;
        throw;
    }
    array.release = nullptr;
}

namespace {

// The failure of a stream's callback, with the stream's own message where it gives one.
Error callback_failed(ArrowArrayStream& stream, int code, const char* step) {
    const char* message = stream.get_last_error ? stream.get_last_error(&stream) : nullptr;
    return make_error(ErrorKind::producer_failed,
                      std::string(step) + " failed with code " + std::to_string(code) +
                          (message ? std::string(": ") + message : std::string()));
}

// Releases a stream when it goes, unless it was released already.
struct StreamRelease {
    ArrowArrayStream& stream;
    ~StreamRelease() {
        if (stream.release != nullptr) stream.release(&stream);
    }
};

}  // namespace

Expected<ArrowChunks> drain_stream(ArrowArrayStream& stream, std::size_t max_rows) {
    if (stream.release == nullptr) return invalid("the stream is released");
    StreamRelease release{stream};
    if (stream.get_schema == nullptr || stream.get_next == nullptr) {
        return invalid("the stream has no callbacks");
    }
    ArrowChunks chunks;
    ArrowSchema schema{};
    if (const int code = stream.get_schema(&stream, &schema); code != 0) {
        return callback_failed(stream, code, "get_schema");
    }
    chunks.adopt_schema(schema);
    return drain_arrays(stream, std::move(chunks), max_rows);
}

Expected<ArrowChunks> drain_arrays(ArrowArrayStream& stream, ArrowChunks chunks,
                                   std::size_t max_rows) {
    if (stream.release == nullptr) return invalid("the stream is released");
    StreamRelease release{stream};
    if (stream.get_next == nullptr) return invalid("the stream has no callbacks");
    std::uint64_t rows = 0;
    std::uint64_t count = 0;
    for (;;) {
        ArrowArray array{};
        if (const int code = stream.get_next(&stream, &array); code != 0) {
            return callback_failed(stream, code, "get_next");
        }
        if (array.release == nullptr) break;  // the end of the stream
        rows += array.length > 0 ? static_cast<std::uint64_t>(array.length) : 0;
        chunks.adopt_array(array);
        if (rows > max_rows || ++count > std::uint64_t{max_rows} + 64) {
            return invalid("the stream holds more rows than the table");
        }
    }
    return chunks;
}

}  // namespace vexilo::arrow

// The Arrow C data and stream interfaces: the three structures through which Arrow memory is
// handed between libraries in one process, exactly as the Arrow format publishes them for copying
// (guarded, so another copy of the same definitions may be included beside this one).
// Interpreter-free.
#pragma once

#include <stdint.h>  // NOLINT: the published definitions use the C names (int64_t)

extern "C" {

#ifndef ARROW_C_DATA_INTERFACE
#define ARROW_C_DATA_INTERFACE

#define ARROW_FLAG_DICTIONARY_ORDERED 1
#define ARROW_FLAG_NULLABLE 2
#define ARROW_FLAG_MAP_KEYS_SORTED 4

struct ArrowSchema {
    // Array type description
    const char* format;
    const char* name;
    const char* metadata;
    int64_t flags;
    int64_t n_children;
    struct ArrowSchema** children;
    struct ArrowSchema* dictionary;

    // Release callback
    void (*release)(struct ArrowSchema*);
    // Opaque producer-specific data
    void* private_data;
};

struct ArrowArray {
    // Array data description
    int64_t length;
    int64_t null_count;
    int64_t offset;
    int64_t n_buffers;
    int64_t n_children;
    const void** buffers;
    struct ArrowArray** children;
    struct ArrowArray* dictionary;

    // Release callback
    void (*release)(struct ArrowArray*);
    // Opaque producer-specific data
    void* private_data;
};

#endif  // ARROW_C_DATA_INTERFACE

#ifndef ARROW_C_STREAM_INTERFACE
#define ARROW_C_STREAM_INTERFACE

struct ArrowArrayStream {
    // Callback to get the stream type (the same for all arrays in the stream). Returns 0 or an
    // errno-compatible error code; a schema it gives must be released independently.
    int (*get_schema)(struct ArrowArrayStream*, struct ArrowSchema* out);

    // Callback to get the next array; if no error and the array is released, the stream has
    // ended. Returns 0 or an errno-compatible error code; an array it gives must be released
    // independently.
    int (*get_next)(struct ArrowArrayStream*, struct ArrowArray* out);

    // Callback to get optional detailed error information, only after a non-0 return code. The
    // text (or NULL) is valid until the next operation on the stream, release included.
    const char* (*get_last_error)(struct ArrowArrayStream*);

    // Release callback: releases the stream's own resources (not the arrays it gave out).
    void (*release)(struct ArrowArrayStream*);

    // Opaque producer-specific data
    void* private_data;
};

#endif  // ARROW_C_STREAM_INTERFACE

}  // extern "C"

// Arrow memory behind a pandas column, taken through the Arrow PyCapsule interface.
#pragma once

#include <cstddef>
#include <optional>

#include "engine/arrow_column.h"
#include "python/py_err.h"

namespace vexilo::py {

// The Arrow chunks behind array (borrowed), one of pandas' Arrow-backed arrays: its
// __arrow_array__() gives the Arrow array or chunked array it holds, whose __arrow_c_stream__()
// (failing that, __arrow_c_array__()) hands the memory over; the structures are moved out of the
// capsules and owned by the result, so the memory stays valid whatever Python code later does to
// the array or its frame. Returns nothing when the array offers no such memory, a step of finding
// it fails (the failure discarded), or the stream holds more than max_rows rows; an interrupt is
// returned. A producer that fails while its stream is read ends the call: a KeyboardInterrupt it
// reports is raised again, anything else is a RuntimeError with the producer's message.
// Runs the array's and the producer's code: take the chunks before anything points into memory
// that Python code could free. Calling thread, interpreter held; destroy the result there too.
Result<std::optional<arrow::ArrowChunks>> arrow_chunks(PyObject* array, std::size_t max_rows);

// The exception for a stream whose producer failed while it was read (ErrorKind::producer_failed):
// a signal handler's exception first; a KeyboardInterrupt the producer reports in its text raised
// again; anything else a RuntimeError with what the producer said. Calling thread, interpreter
// held.
PyErr producer_failure(const Error& error);

}  // namespace vexilo::py

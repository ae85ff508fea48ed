// Encoder.categories: what an encoder learned, as plain Python objects.
#pragma once

#include <cstddef>

#include "engine/encoding_info.h"
#include "python/py_err.h"

namespace vexilo::py {

// A new dict from each listed column (int) to its labels by code: a list whose item c is the label
// of code c when the codes are 0 .. k-1 (every state that encode learns), else a dict from code to
// label in ascending code order. The labels come from the column's inverse map (what decode gives
// each code), from its forward map's codes when a restored state has no inverse map for it, and
// are empty when it has neither. info (borrowed, may be null: an empty dict) is only read. Every
// call makes new objects. Calling thread, interpreter held.
Result<PyRef> learned_categories(const EncodingInfo* info);

// A new dict holding new copies of the lists and dicts of categories (a learned_categories result,
// borrowed and only read), which share its keys and labels: immutable ints and strs, so that
// changing the copies changes nothing of categories. Calling thread, interpreter held.
Result<PyRef> fresh_categories(PyObject* categories);

// How many labels column col has in learned_categories(&info): its inverse map's entries, else its
// forward map's entries that have a code, else 0. Any thread; never fails.
std::size_t learned_label_count(const EncodingInfo& info, ColumnIndex col) noexcept;

}  // namespace vexilo::py

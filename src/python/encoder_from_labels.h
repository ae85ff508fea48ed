// A learned state given from outside: labels with the codes they are to get, per column.
#pragma once

#include "python/py_err.h"

namespace vexilo::py {

// A new Encoder (a new reference) whose state codes, in each column that labels lists (a dict from
// column index to a sequence of str), each label by its position in the sequence, or by the code
// at the same position of codes[column] (codes: borrowed, may be null or None; a dict of
// sequences of non-negative ints, several labels may share a code). columns (borrowed, may be
// null or None): the learned table's column count where known. A TypeError for a malformed
// argument or a label that is no str; a ValueError for a repeated label, a missing-value marker
// ("nan", "NaN", "<NA>", which never get a code), a code sequence of another length or a code
// past 2**53. Calling thread, interpreter held.
Result<PyRef> encoder_from_labels(PyObject* labels, PyObject* codes, PyObject* columns);

}  // namespace vexilo::py

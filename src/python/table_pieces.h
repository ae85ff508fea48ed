// The private module functions that encode one table given in pieces (its rows split in order, as
// a distributed frame's partitions): what each piece's columns hold, merging the pieces' reports,
// the learned state made from them, and the codes of a piece under that state.
#pragma once

#include "python/py.h"

namespace vexilo::py {

// The module's function table (name, trampoline, flags, docstring), ended by a null entry. Each
// trampoline runs on the calling thread with the interpreter held, through run_frame.
extern PyMethodDef table_piece_functions[];

}  // namespace vexilo::py

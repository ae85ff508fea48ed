// Internal failures: broken invariants and engine errors with no error path of their own. They
// travel as C++ exceptions and the module turns them into PanicException. Interpreter-free.
#pragma once

#include <string>

#include "pool/pool_failure.h"

namespace vexilo {

// Failure records are shared with the pool, whose failures are reported the same way: the module
// catches every LocatedFailure, InternalFailure and pool::PoolFailure alike, and writes its report.
using pool::LocatedFailure;
using pool::SourceLocation;

class InternalFailure : public LocatedFailure {
public:
    // Records the failure text, the throwing site and the name of the throwing thread.
    explicit InternalFailure(const std::string& message,
                             SourceLocation where = SourceLocation::current())
        : LocatedFailure(message, where) {}
};

}  // namespace vexilo

// For true invariants only: throws InternalFailure, never aborts.
#define VX_ASSERT(cond, msg)                               \
    do {                                                   \
        if (!(cond)) throw ::vexilo::InternalFailure(msg); \
    } while (0)

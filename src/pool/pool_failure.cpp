// Failure records and their reports. Interpreter-free.
#include "pool/pool_failure.h"

#include "pool/thread_name.h"

namespace vexilo::pool {

LocatedFailure::LocatedFailure(const std::string& message, SourceLocation where)
    : std::runtime_error(message), where_(where), thread_name_(current_thread_name()) {}

std::string LocatedFailure::report() const {
    return "thread '" + thread_name_ + "' failed at " + where_.file + ":" +
           std::to_string(where_.line) + ":\n" + what() + "\n";
}

}  // namespace vexilo::pool

// Internal failures: broken invariants and engine errors with no error path of their own. They
// travel as C++ exceptions and the module turns them into PanicException. Interpreter-free.
#pragma once

#include <source_location>
#include <stdexcept>
#include <string>

namespace vexilo {

class InternalFailure : public std::runtime_error {
public:
    // Records the failure text, the throwing site and the name of the throwing thread.
    explicit InternalFailure(const std::string& message,
                             std::source_location where = std::source_location::current());

    const std::source_location& where() const noexcept { return where_; }
    const std::string& thread_name() const noexcept { return thread_name_; }

    // "thread '<name>' failed at <file>:<line>:<column>:\n<message>\n", the report written to
    // standard error before the failure reaches Python.
    std::string report() const;

private:
    std::source_location where_;
    std::string thread_name_;
};

// Names the current thread in failure reports ("main" unless set). Call once per thread.
void set_current_thread_name(std::string name);
const std::string& current_thread_name() noexcept;

}  // namespace vexilo

// For true invariants only: throws InternalFailure, never aborts.
#define VX_ASSERT(cond, msg)                               \
    do {                                                   \
        if (!(cond)) throw ::vexilo::InternalFailure(msg); \
    } while (0)

// Internal failures: broken invariants and engine errors with no error path of their own. They
// travel as C++ exceptions and the module turns them into PanicException. Interpreter-free.
#pragma once

#include <stdexcept>
#include <string>

namespace vexilo {

// Where a failure was raised. Built from the compiler builtins that GCC and Clang both provide,
// since Clang 14 cannot compile std::source_location against GCC 12's standard library. The build
// maps the source tree's own path away, so file is relative to it ("src/engine/...").
struct SourceLocation {
    const char* file = "";
    unsigned line = 0;

    static constexpr SourceLocation current(const char* file = __builtin_FILE(),
                                            unsigned line = __builtin_LINE()) noexcept {
        return {file, line};
    }
};

class InternalFailure : public std::runtime_error {
public:
    // Records the failure text, the throwing site and the name of the throwing thread.
    explicit InternalFailure(const std::string& message,
                             SourceLocation where = SourceLocation::current());

    const SourceLocation& where() const noexcept { return where_; }
    const std::string& thread_name() const noexcept { return thread_name_; }

    // "thread '<name>' failed at <file>:<line>:\n<message>\n", the report written to
    // standard error before the failure reaches Python.
    std::string report() const;

private:
    SourceLocation where_;
    std::string thread_name_;
};

// Names the current thread in failure reports. Unless set, the process's first thread is "main"
// and any other "thread <kernel thread id>". Call once per thread.
void set_current_thread_name(std::string name);
const std::string& current_thread_name() noexcept;

}  // namespace vexilo

// For true invariants only: throws InternalFailure, never aborts.
#define VX_ASSERT(cond, msg)                               \
    do {                                                   \
        if (!(cond)) throw ::vexilo::InternalFailure(msg); \
    } while (0)

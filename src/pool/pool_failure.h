// Failures that carry their own report (where they arose, on which thread), and the pool's own
// failures among them: threads that cannot start, a pool used after a fork. Interpreter-free.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

namespace vexilo::pool {

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

// A failure that records its text, the throwing site and the name of the throwing thread
// (current_thread_name), which is what its report shows.
class LocatedFailure : public std::runtime_error {
public:
    explicit LocatedFailure(const std::string& message, SourceLocation where);

    const SourceLocation& where() const noexcept { return where_; }
    const std::string& thread_name() const noexcept { return thread_name_; }

    // "thread '<name>' failed at <file>:<line>:\n<message>\n", the report written to standard
    // error before the failure reaches Python.
    std::string report() const;

private:
    SourceLocation where_;
    std::string thread_name_;
};

// The texts of the pool's failures, word for word what callers have always been shown.
inline constexpr std::string_view start_failure =
    "The global thread pool has not been initialized.";
inline constexpr std::string_view forked_failure =
    "The thread pool was made before the process forked.";

// A failure of the pool itself, thrown on the thread that asked for the pool's work.
class PoolFailure : public LocatedFailure {
public:
    explicit PoolFailure(std::string_view message, SourceLocation where = SourceLocation::current())
        : LocatedFailure(std::string(message), where) {}
};

}  // namespace vexilo::pool

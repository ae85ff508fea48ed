// Internal failure records and the per-thread name used in their reports. Interpreter-free.
#include "engine/internal_failure.h"

#include <sys/syscall.h>  // SYS_gettid
#include <unistd.h>

#include <utility>

namespace vexilo {
namespace {

// "main" on the process's first thread, else the kernel's id of the thread: the name of a thread
// that never set one.
std::string unnamed_thread() {
    const auto thread = static_cast<long>(::syscall(SYS_gettid));
    return thread == static_cast<long>(::getpid()) ? "main" : "thread " + std::to_string(thread);
}

std::string& thread_name_slot() {
    thread_local std::string name = unnamed_thread();
    return name;
}

}  // namespace

InternalFailure::InternalFailure(const std::string& message, SourceLocation where)
    : std::runtime_error(message), where_(where), thread_name_(current_thread_name()) {}

std::string InternalFailure::report() const {
    return "thread '" + thread_name_ + "' failed at " + where_.file + ":" +
           std::to_string(where_.line) + ":\n" + what() + "\n";
}

void set_current_thread_name(std::string name) { thread_name_slot() = std::move(name); }

const std::string& current_thread_name() noexcept { return thread_name_slot(); }

}  // namespace vexilo

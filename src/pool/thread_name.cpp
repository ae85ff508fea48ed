// The per-thread name used in failure reports. Interpreter-free.
#include "pool/thread_name.h"

#include <sys/syscall.h>  // SYS_gettid
#include <unistd.h>

#include <utility>

namespace vexilo::pool {
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

void set_current_thread_name(std::string name) { thread_name_slot() = std::move(name); }

const std::string& current_thread_name() noexcept { return thread_name_slot(); }

}  // namespace vexilo::pool

// The per-thread name that failure reports give: the pool names its workers, every other thread
// has a default name. Interpreter-free.
#pragma once

#include <string>

namespace vexilo::pool {

// Names the current thread in failure reports. Unless set, the process's first thread is "main"
// and any other "thread <kernel thread id>". Call once per thread; affects the calling thread only.
void set_current_thread_name(std::string name);
// The calling thread's name; the reference stays valid until the thread's name is set again or the
// thread ends.
const std::string& current_thread_name() noexcept;

}  // namespace vexilo::pool

// Cancelling a pool operation: the flag its jobs share, the check its loops make, and what a
// cancelled operation throws. How a flag travels is described at the top of pool.h.
// Interpreter-free.
#pragma once

#include <atomic>
#include <exception>

namespace vexilo::pool {

namespace detail {

// Set once to stop an operation; see "Cancellation" in pool.h.
using CancelFlag = std::atomic<bool>;

// The cancel flag of the job running on this thread; nullptr outside jobs and for plain operations.
const CancelFlag* current_cancel_flag() noexcept;

// True when the job running on this thread belongs to a cancelled operation.
inline bool cancelled() noexcept {
    const CancelFlag* const flag = current_cancel_flag();
    // relaxed: the flag publishes nothing; it only asks the work to stop soon.
    return flag != nullptr && flag->load(std::memory_order_relaxed);
}

}  // namespace detail

// What a cancelled operation throws at its starter, and throw_if_cancelled inside its tasks.
class Cancelled : public std::exception {
public:
    const char* what() const noexcept override { return "the operation was cancelled"; }
};

// Throws Cancelled when the task calling it belongs to a cancelled operation; does nothing on
// threads outside every job. For long loops inside tasks, between pieces of their work. Any
// thread; costs a thread-local read and a relaxed load.
inline void throw_if_cancelled() {
    if (detail::cancelled()) throw Cancelled();
}

}  // namespace vexilo::pool

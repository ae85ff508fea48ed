// One cancellable job on the process-wide worker pool: how code outside the engine hands work to
// the pool without reaching into it. Interpreter-free.
#pragma once

#include <functional>

#include "pool/cancel.h"

namespace vexilo {

// What a cancelled job throws at the thread that started it.
using pool::Cancelled;

// Runs work() on the process-wide pool (created on first use) while the calling thread waits,
// calling keep_waiting() on the calling thread between slices of the pool's poll interval. Once
// keep_waiting returns false (or throws), the job and its nested operations stop at their next
// cancellation check, and the call returns after all of them have ended by throwing Cancelled (or
// keep_waiting's exception); otherwise work's own exception is rethrown. Both callables are
// borrowed for the call only; work runs on pool threads and must not touch interpreter objects.
// Any thread; from inside a pool task the job joins that task's operation and keep_waiting is
// never called. Throws pool::PoolFailure when the pool's threads cannot start, and in a child
// process that keep_waiting forked.
void run_pool_job(const std::function<bool()>& keep_waiting, const std::function<void()>& work);

// Runs work() on the calling thread, with every pool operation it starts run there too, unsplit
// and in order (pool::run_here): for work smaller than what handing it to the pool costs. Nothing
// of it is cancelled; work's own exception propagates. Any thread.
void run_job_here(const std::function<void()>& work);

}  // namespace vexilo

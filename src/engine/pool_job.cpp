// One cancellable job on the process-wide worker pool. Interpreter-free.
#include "engine/pool_job.h"

#include "pool/pool.h"

namespace vexilo {

void run_pool_job(const std::function<bool()>& keep_waiting, const std::function<void()>& work) {
    pool::global_pool().run_cancellable(keep_waiting, work);
}

void run_job_here(const std::function<void()>& work) { pool::run_here(work); }

}  // namespace vexilo

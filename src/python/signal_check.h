// Signals during long calls: the calling thread runs pending signal handlers every few thousand
// cells it reads and while it waits for the worker pool, so that Ctrl-C ends a call soon. A
// handler's exception ends the call, and the call's work is dropped.
#pragma once

#include <cstddef>
#include <optional>
#include <utility>

#include "engine/pool_job.h"
#include "python/py_err.h"

namespace vexilo::py {

// Runs the pending signal handlers: their exception, if one raised. Handlers may run any Python
// code. Calling thread, interpreter held; on other threads of the interpreter it does nothing.
Status check_signals();

// Counts the cells the calling thread reads and runs the pending signal handlers (check_signals)
// once every interval of them. Calling thread only.
class SignalCountdown {
public:
    // How many cells pass between checks by default: a few thousand cells take a fraction of a
    // millisecond, while a check with no signal pending costs a load.
    static constexpr std::size_t default_interval = 4096;

    explicit SignalCountdown(std::size_t interval = default_interval) noexcept
        : interval_(interval), left_(interval) {}

    // Counts cells; after every interval of them, checks signals and says so in checked.
    Status count(std::size_t cells, bool& checked) {
        checked = false;
        if (left_ > cells) {
            left_ -= cells;
            return Unit{};
        }
        left_ = interval_;
        checked = true;
        return check_signals();
    }
    Status count(std::size_t cells = 1) {
        bool checked = false;
        return count(cells, checked);
    }

private:
    std::size_t interval_;
    std::size_t left_;
};

// Runs work() on the process-wide worker pool while the calling thread waits, checking signals
// every pool poll interval (run_pool_job). work must not touch the interpreter; it may
// throw. When a handler raises, the work is cancelled and the handler's exception returned once
// all of the work has ended; other failures of the work are thrown unchanged. Calling thread,
// interpreter held (handlers run on it).
template <class Work>
Status run_on_pool(Work&& work) {
    std::optional<PyErr> raised;
    const auto keep_waiting = [&] {
        Status signals = check_signals();
        if (signals) return true;
        raised = std::move(signals).error();
        return false;
    };
    try {
        run_pool_job(keep_waiting, [&] { work(); });
    } catch (const Cancelled&) {
        if (raised) return std::move(*raised);
        throw;
    }
    return Unit{};
}

// Work on fewer cells than this runs on the calling thread: handing it to the pool and waking a
// worker costs more than the work itself (measured with benchmarks/latency.py's hundred-row calls).
inline constexpr std::size_t calling_thread_cells = 2048;

// rows x cols, or the largest size_t when that does not fit (a producer's claimed lengths).
inline std::size_t table_cells(std::size_t rows, std::size_t cols) noexcept {
    if (cols != 0 && rows > static_cast<std::size_t>(-1) / cols)
        return static_cast<std::size_t>(-1);
    return rows * cols;
}

// run_on_pool for work over cells cells of a table: below calling_thread_cells it runs on the
// calling thread (run_job_here), which checks no signals meanwhile, as the work takes far less
// than the pool's poll interval. Same contract otherwise. Calling thread, interpreter held.
template <class Work>
Status run_on_pool(std::size_t cells, Work&& work) {
    if (cells < calling_thread_cells) {
        run_job_here([&] { work(); });
        return Unit{};
    }
    return run_on_pool(std::forward<Work>(work));
}

}  // namespace vexilo::py

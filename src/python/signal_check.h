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

}  // namespace vexilo::py

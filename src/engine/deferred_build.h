// The state of a structure built at its first use by whichever of several reading threads comes
// first, the others waiting for it. Interpreter-free.
#pragma once

#include <atomic>
#include <cstdint>

namespace vexilo {

// Current (built, or nothing to build), deferred (the next use builds it) or being built. The
// writer-side calls (defer, settle) need the owner's exclusive access, as any write does; the
// reader-side ones (current, ensure) may run on any number of threads at once.
class DeferredBuild {
public:
    DeferredBuild() noexcept = default;  // current
    DeferredBuild(const DeferredBuild&) = delete;
    DeferredBuild& operator=(const DeferredBuild&) = delete;

    // The next ensure builds. Writers only.
    void defer() noexcept {
        // relaxed: a writer's own; readers come after the owner is handed to them.
        state_.store(State::deferred, std::memory_order_relaxed);
    }
    // Nothing to build: the owner built or dropped the structure itself. Writers only.
    void settle() noexcept {
        // relaxed: as in defer.
        state_.store(State::current, std::memory_order_relaxed);
    }

    // Whether the structure is built, or needs no build; when true, what the build wrote is
    // visible to the caller. Any thread.
    bool current() const noexcept {
        // acquire: pairs with the release that ends a build.
        return state_.load(std::memory_order_acquire) == State::current;
    }

    // Runs build() unless the structure is current, once however many threads ask at the same
    // time: those arriving during the build wait for it. If build throws, the structure stays
    // deferred and the exception propagates to the builder; the next ensure tries again.
    template <class Build>
    void ensure(const Build& build) const {
        if (!current()) ensure_slowly(build);
    }

private:
    enum class State : std::uint32_t { current, deferred, building };

    template <class Build>
    void ensure_slowly(const Build& build) const {
        // acquire: as in current.
        State state = state_.load(std::memory_order_acquire);
        while (state != State::current) {
            if (state == State::building) {
                // acquire: as in current, for the state that ends the wait.
                state_.wait(state, std::memory_order_acquire);
                state = state_.load(std::memory_order_acquire);  // acquire: as above
                continue;
            }
            // acquire: a build that failed before this one may have written part of the structure.
            if (!state_.compare_exchange_weak(state, State::building, std::memory_order_acquire)) {
                continue;
            }
            try {
                build();
            } catch (...) {
                // release: pairs with the acquire of the next builder, which may find part of
                // what this build wrote.
                state_.store(State::deferred, std::memory_order_release);
                state_.notify_all();
                throw;
            }
            // release: publishes what the build wrote to readers that load the state with acquire.
            state_.store(State::current, std::memory_order_release);
            state_.notify_all();
            return;
        }
    }

    mutable std::atomic<State> state_{State::current};
};

}  // namespace vexilo

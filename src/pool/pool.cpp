// The worker pool: worker threads, job deques, stealing, sleeping and waking. The scheduling design
// is described at the top of pool.h; the process-wide pool and fork handling are in
// global_pool.cpp. Interpreter-free.
#include "pool/pool.h"

#include <pthread.h>

#include <cstdint>
#include <deque>
#include <string>
#include <thread>

#include "pool/mutex.h"
#include "pool/thread_count.h"
#include "pool/thread_name.h"

namespace vexilo::pool {
namespace detail {
namespace {

// Searches for work this many times, yielding in between, before going to sleep.
constexpr unsigned idle_rounds_before_sleep = 32;

}  // namespace

class Worker {
public:
    Worker(Registry& owner, std::size_t worker_index)
        : registry(owner),
          index(worker_index),
          random_state(0x9E3779B97F4A7C15ULL * (static_cast<std::uint64_t>(worker_index) + 1)) {}

    Registry& registry;
    const std::size_t index;

    // Jobs this worker offered: it pushes and pops at the back, thieves take from the front.
    Mutex deque_mutex;
    std::deque<JobRef> deque VX_GUARDED_BY(deque_mutex);
    // Size of deque, read without the lock by thieves so that they skip empty deques.
    std::atomic<std::size_t> queued{0};

    // Waited on with the registry's sleep_mutex; see Registry::asleep.
    std::condition_variable wake;

    // Victim choice; used by this worker's thread only.
    std::uint64_t random_state;

    pthread_t thread{};
};

class Registry {
public:
    explicit Registry(std::size_t thread_count) : asleep(thread_count, false) {
        workers.reserve(thread_count);
        for (std::size_t i = 0; i < thread_count; ++i) {
            workers.push_back(std::make_unique<Worker>(*this, i));
        }
        // Going to sleep must not allocate: there is room for every worker from the start.
        sleeping.reserve(thread_count);
    }

    ~Registry() { stop(); }

    // Starts every worker thread, or none: on failure the started ones are stopped and joined.
    void start(std::size_t stack_size);
    // Wakes every worker, tells it to leave, and joins it. Idempotent.
    void stop() noexcept VX_EXCLUDES(sleep_mutex);

    // Clears sleeper's asleep flag and wakes its thread; the caller has taken it off sleeping.
    void wake_locked(Worker& sleeper) VX_REQUIRES(sleep_mutex) {
        asleep[sleeper.index] = false;
        sleeper.wake.notify_one();
    }

    std::vector<std::unique_ptr<Worker>> workers;

    // Operations handed in by threads outside the pool.
    Mutex injected_mutex;
    std::deque<JobRef> injected VX_GUARDED_BY(injected_mutex);
    std::atomic<std::size_t> injected_count{0};  // size hint, like Worker::queued

    // The sleep protocol of pool.h: both counters are only used with sequentially consistent
    // operations.
    std::atomic<std::uint64_t> jobs_posted{0};
    std::atomic<std::size_t> sleepers{0};

    Mutex sleep_mutex;
    // The workers asleep on their wake condition, and by worker index whether each one is: a
    // sleeper leaves the wait only once its flag is cleared. Flags are chars, not vector<bool>'s
    // bits, so that setting one is a plain byte store.
    std::vector<Worker*> sleeping VX_GUARDED_BY(sleep_mutex);
    std::vector<char> asleep VX_GUARDED_BY(sleep_mutex);
    std::atomic<bool> terminating{false};

private:
    std::size_t started_ = 0;
};

namespace {

thread_local Worker* this_worker = nullptr;
thread_local const CancelFlag* this_cancel = nullptr;
thread_local bool this_runs_here = false;

// Runs job with its operation's cancel flag as the thread's own for the time being.
void run_job(const JobRef& job) noexcept {
    const CancelFlag* const outer = std::exchange(this_cancel, job.cancel);
    job.execute(job.job);
    this_cancel = outer;
}

std::uint64_t next_random(Worker& worker) noexcept {
    std::uint64_t x = worker.random_state;
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    worker.random_state = x;
    return x;
}

// Called after a job became visible in some queue: counts it, then wakes one sleeper if any.
void announce_job(Registry& registry) VX_EXCLUDES(registry.sleep_mutex) {
    registry.jobs_posted.fetch_add(1);
    if (registry.sleepers.load() == 0) return;
    MutexLock lock(registry.sleep_mutex);
    if (registry.sleeping.empty()) return;
    Worker* sleeper = registry.sleeping.back();
    registry.sleeping.pop_back();
    registry.wake_locked(*sleeper);
}

void wake_worker(Worker& worker) noexcept VX_EXCLUDES(worker.registry.sleep_mutex) {
    Registry& registry = worker.registry;
    MutexLock lock(registry.sleep_mutex);
    if (!registry.asleep[worker.index]) return;
    std::erase(registry.sleeping, &worker);
    registry.wake_locked(worker);
}

std::optional<JobRef> pop_back(Worker& worker) VX_EXCLUDES(worker.deque_mutex) {
    MutexLock lock(worker.deque_mutex);
    if (worker.deque.empty()) return std::nullopt;
    const JobRef job = worker.deque.back();
    worker.deque.pop_back();
    // relaxed: only a hint for thieves; the mutex orders the deque itself.
    worker.queued.store(worker.deque.size(), std::memory_order_relaxed);
    return job;
}

std::optional<JobRef> steal_front(Worker& victim) VX_EXCLUDES(victim.deque_mutex) {
    // relaxed: a stale zero only skips this victim for now. A job pushed after our search began
    // also bumped jobs_posted, so we search again before sleeping (see pool.h).
    if (victim.queued.load(std::memory_order_relaxed) == 0) return std::nullopt;
    MutexLock lock(victim.deque_mutex);
    if (victim.deque.empty()) return std::nullopt;
    const JobRef job = victim.deque.front();
    victim.deque.pop_front();
    // relaxed: a hint, as in pop_back.
    victim.queued.store(victim.deque.size(), std::memory_order_relaxed);
    return job;
}

std::optional<JobRef> take_injected(Registry& registry) VX_EXCLUDES(registry.injected_mutex) {
    // relaxed: a hint, as in steal_front.
    if (registry.injected_count.load(std::memory_order_relaxed) == 0) return std::nullopt;
    MutexLock lock(registry.injected_mutex);
    if (registry.injected.empty()) return std::nullopt;
    const JobRef job = registry.injected.front();
    registry.injected.pop_front();
    // relaxed: a hint, as in pop_back.
    registry.injected_count.store(registry.injected.size(), std::memory_order_relaxed);
    return job;
}

// Own jobs newest first (they are the smallest and their data is warm), then the oldest job of
// another worker starting from a random one, then operations handed in from outside.
std::optional<JobRef> find_work(Worker& self) {
    if (std::optional<JobRef> job = pop_back(self)) return job;
    std::vector<std::unique_ptr<Worker>>& workers = self.registry.workers;
    const std::size_t count = workers.size();
    const auto start = static_cast<std::size_t>(next_random(self) % count);
    for (std::size_t k = 0; k < count; ++k) {
        Worker& victim = *workers[(start + k) % count];
        if (&victim == &self) continue;
        if (std::optional<JobRef> job = steal_front(victim)) return job;
    }
    return take_injected(self.registry);
}

// Sleeps until woken, unless done() already holds or a job was posted since `posted` was read.
template <class Done>
void sleep_until_woken(Worker& self, std::uint64_t posted, Done& done)
    VX_EXCLUDES(self.registry.sleep_mutex) {
    Registry& registry = self.registry;
    MutexLock lock(registry.sleep_mutex);
    registry.sleepers.fetch_add(1);
    if (!done() && registry.jobs_posted.load() == posted) {
        registry.asleep[self.index] = true;
        registry.sleeping.push_back(&self);
        while (registry.asleep[self.index]) lock.wait(self.wake);
    }
    registry.sleepers.fetch_sub(1);
}

// The loop of every waiting worker, and of an idle worker with done() = "pool stopping".
template <class Done>
void work_until(Worker& self, Done done) noexcept {
    unsigned idle_rounds = 0;
    while (!done()) {
        // Read before searching, so that a job posted during the search prevents the sleep.
        const std::uint64_t posted = self.registry.jobs_posted.load();
        if (std::optional<JobRef> job = find_work(self)) {
            run_job(*job);
            idle_rounds = 0;
        } else if (++idle_rounds < idle_rounds_before_sleep) {
            std::this_thread::yield();
        } else {
            sleep_until_woken(self, posted, done);
            idle_rounds = 0;
        }
    }
}

void* worker_main(void* argument) {
    Worker& self = *static_cast<Worker*>(argument);
    this_worker = &self;
    set_current_thread_name("vexilo-worker-" + std::to_string(self.index));
    work_until(self, [&] { return self.registry.terminating.load(); });
    return nullptr;
}

}  // namespace

void Registry::start(std::size_t stack_size) {
    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) != 0) throw PoolFailure(start_failure);
    bool failed = pthread_attr_setstacksize(&attributes, stack_size) != 0;
    for (; !failed && started_ < workers.size(); ++started_) {
        Worker& worker = *workers[started_];
        failed = pthread_create(&worker.thread, &attributes, worker_main, &worker) != 0;
        if (failed) break;
    }
    pthread_attr_destroy(&attributes);
    if (failed) {
        stop();
        throw PoolFailure(start_failure);
    }
}

void Registry::stop() noexcept {
    {
        MutexLock lock(sleep_mutex);
        terminating.store(true);
        for (Worker* sleeper : sleeping) wake_locked(*sleeper);
        sleeping.clear();
    }
    for (std::size_t i = 0; i < started_; ++i) pthread_join(workers[i]->thread, nullptr);
    started_ = 0;
}

void Latch::set() noexcept {
    if (owner_ != nullptr) {
        Worker& owner = *owner_;  // copied out: after the store the latch may be gone
        // release: publishes the job's writes to the owner's probe().
        done_.store(true, std::memory_order_release);
        wake_worker(owner);
        return;
    }
    // Notify under the blocker's mutex: the blocked thread cannot see the mark, return and destroy
    // the blocker before notify_all is done with it.
    MutexLock lock(blocker_->mutex);
    // release: publishes the job's writes (the mutex would too; kept for probe()).
    done_.store(true, std::memory_order_release);
    blocker_->cond.notify_all();
}

void Latch::wait_blocking() noexcept {
    MutexLock lock(blocker_->mutex);
    // relaxed: set() stores under this mutex, which orders the job's writes before our return.
    while (!done_.load(std::memory_order_relaxed)) lock.wait(blocker_->cond);
}

bool Latch::wait_blocking_for(std::chrono::milliseconds timeout) noexcept {
    MutexLock lock(blocker_->mutex);
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    // relaxed: as in wait_blocking.
    while (!done_.load(std::memory_order_relaxed)) {
        if (!lock.wait_until(blocker_->cond, deadline)) {
            return done_.load(std::memory_order_relaxed);
        }
    }
    return true;
}

Worker* current_worker() noexcept { return this_worker; }

bool runs_here() noexcept { return this_runs_here; }

bool set_runs_here(bool here) noexcept { return std::exchange(this_runs_here, here); }

const CancelFlag* current_cancel_flag() noexcept { return this_cancel; }

void leave_pools_in_child() noexcept {
    this_worker = nullptr;
    this_cancel = nullptr;
}

bool runs_on(const Worker* worker, const Registry* registry) noexcept {
    return worker != nullptr && &worker->registry == registry;
}

void push_local(Worker* self, JobRef job) {
    {
        MutexLock lock(self->deque_mutex);
        self->deque.push_back(job);
        // relaxed: a hint; announce_job's counter increment publishes the push to sleepers.
        self->queued.store(self->deque.size(), std::memory_order_relaxed);
    }
    announce_job(self->registry);
}

bool take_back(Worker* self, JobRef job) noexcept {
    MutexLock lock(self->deque_mutex);
    if (self->deque.empty() || !(self->deque.back() == job)) return false;
    self->deque.pop_back();
    // relaxed: a hint, as in pop_back.
    self->queued.store(self->deque.size(), std::memory_order_relaxed);
    return true;
}

void wait_until(Worker* self, const Latch& latch) noexcept {
    work_until(*self, [&] { return latch.probe(); });
}

void inject(Registry* registry, JobRef job) {
    {
        MutexLock lock(registry->injected_mutex);
        registry->injected.push_back(job);
        // relaxed: a hint, as in push_local.
        registry->injected_count.store(registry->injected.size(), std::memory_order_relaxed);
    }
    announce_job(*registry);
}

}  // namespace detail

ThreadPool::ThreadPool(std::size_t thread_count, std::size_t stack_size)
    : thread_count_(std::clamp<std::size_t>(thread_count, 1, max_threads)),
      registry_(std::make_unique<detail::Registry>(thread_count_)),
      fork_generation_(detail::fork_generation()) {
    detail::install_fork_handlers();
    registry_->start(stack_size);
}

ThreadPool::~ThreadPool() {
    // In a forked child the workers do not exist and their mutexes may be held for ever: stopping
    // them would hang, so the registry is left as it is.
    if (fork_generation_ != detail::fork_generation()) (void)registry_.release();
}

}  // namespace vexilo::pool

// The random keys of the keyed hash. Interpreter-free.
#include "engine/keyed_hash.h"

#include <chrono>
#include <random>

namespace vexilo {

std::uint64_t random_hash_key() noexcept {
    // splitmix64 over a per-thread state seeded once from the system's entropy source and the
    // clock, so keys differ between threads and runs without locking.
    thread_local std::uint64_t state = [] {
        std::uint64_t seed =
            static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
        try {
            std::random_device device;
            seed ^= (static_cast<std::uint64_t>(device()) << 32) ^ device();
        } catch (...) {
            // No entropy source: the clock and the state's address still vary per run.
        }
        return seed ^ reinterpret_cast<std::uintptr_t>(&seed);
    }();
    std::uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

}  // namespace vexilo

// Keyed hashing for the learned-state maps: every hasher carries its own random key, so no input
// can be crafted to collide and map iteration order differs between maps. Interpreter-free.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace vexilo {

// Returns a fresh pseudo-random 64-bit key. Seeded once per thread from the system's entropy
// source; safe on any thread.
std::uint64_t random_hash_key() noexcept;

namespace detail {

// 64x64 -> 128-bit multiply, folded to 64 bits by xor of the two halves.
inline std::uint64_t fold_multiply(std::uint64_t a, std::uint64_t b) noexcept {
#if defined(__SIZEOF_INT128__)
    const unsigned __int128 product = static_cast<unsigned __int128>(a) * b;
    return static_cast<std::uint64_t>(product) ^ static_cast<std::uint64_t>(product >> 64);
#else
    // 32-bit targets have no 128-bit integer; assemble the product from 32-bit halves.
    const std::uint64_t a_lo = a & 0xFFFFFFFFu, a_hi = a >> 32;
    const std::uint64_t b_lo = b & 0xFFFFFFFFu, b_hi = b >> 32;
    const std::uint64_t lo_lo = a_lo * b_lo, hi_lo = a_hi * b_lo;
    const std::uint64_t lo_hi = a_lo * b_hi, hi_hi = a_hi * b_hi;
    const std::uint64_t cross = (lo_lo >> 32) + (hi_lo & 0xFFFFFFFFu) + lo_hi;
    const std::uint64_t high = (hi_lo >> 32) + (cross >> 32) + hi_hi;
    const std::uint64_t low = (cross << 32) | (lo_lo & 0xFFFFFFFFu);
    return low ^ high;
#endif
}

inline std::uint64_t load_u64(const char* p) noexcept {
    std::uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

}  // namespace detail

// Keyed hash of a byte string. Both multiplicands of every round carry key material, so a chosen
// input block cannot cancel the key out.
inline std::uint64_t hash_bytes(std::uint64_t key0, std::uint64_t key1, const char* data,
                                std::size_t size) noexcept {
    constexpr std::uint64_t k_a = 0xa0761d6478bd642fULL;
    constexpr std::uint64_t k_b = 0xe7037ed1a0b428dbULL;
    std::uint64_t h = key0 ^ (static_cast<std::uint64_t>(size) * k_a);
    const char* p = data;
    std::size_t left = size;
    while (left >= 16) {
        h = detail::fold_multiply(detail::load_u64(p) ^ key1 ^ h, detail::load_u64(p + 8) ^ key0);
        p += 16;
        left -= 16;
    }
    std::uint64_t a = 0, b = 0;
    if (left >= 8) {
        a = detail::load_u64(p);
        std::memcpy(&b, p + 8, left - 8);
    } else {
        std::memcpy(&a, p, left);
    }
    h = detail::fold_multiply(a ^ key1 ^ h, b ^ key0 ^ k_b);
    return detail::fold_multiply(h ^ k_a, key1 ^ static_cast<std::uint64_t>(size));
}

// Hasher for the learned-state maps: strings (with heterogeneous lookup by string_view) and
// unsigned integer keys. A default-constructed hasher draws a new random key.
struct SeededHash {
    using is_transparent = void;

    std::uint64_t key0 = random_hash_key();
    std::uint64_t key1 = random_hash_key();

    std::size_t operator()(std::string_view text) const noexcept {
        return fold(hash_bytes(key0, key1, text.data(), text.size()));
    }
    std::size_t operator()(const std::string& text) const noexcept {
        return (*this)(std::string_view(text));
    }
    template <std::unsigned_integral T>
    std::size_t operator()(T value) const noexcept {
        return fold(detail::fold_multiply(static_cast<std::uint64_t>(value) ^ key0, key1 | 1));
    }

private:
    static std::size_t fold(std::uint64_t h) noexcept {
        if constexpr (sizeof(std::size_t) < sizeof(std::uint64_t)) {
            return static_cast<std::size_t>(h ^ (h >> 32));
        } else {
            return static_cast<std::size_t>(h);
        }
    }
};

template <class Key, class Value>
using HashMap = std::unordered_map<Key, Value, SeededHash, std::equal_to<>>;

}  // namespace vexilo

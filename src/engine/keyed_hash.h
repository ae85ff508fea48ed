// Keyed hashing: a hash of byte strings and unsigned integers under a random per-hasher key, so no
// input can be crafted to collide. Interpreter-free.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "engine/unaligned_load.h"

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

}  // namespace detail

// Keyed hash of a byte string. Both multiplicands of every round carry key material, so a chosen
// input block cannot cancel the key out. Texts of up to 32 bytes, the usual categories, are read
// with a few overlapping word loads: no loop and no variable-length copy.
inline std::uint64_t hash_bytes(std::uint64_t key0, std::uint64_t key1, const char* data,
                                std::size_t size) noexcept {
    std::uint64_t a = 0, b = 0, state = key0;
    if (size - 8 <= 24) {
        // 8 to 32 bytes: four words that together cover every byte, two of them mixed here.
        const std::size_t middle = size >= 16 ? 8 : size - 8;
        const std::size_t last = size - 8;
        state = detail::fold_multiply(load_unaligned<std::uint64_t>(data + middle) ^ key0,
                                      load_unaligned<std::uint64_t>(data + last - middle) ^ key1);
        a = load_unaligned<std::uint64_t>(data);
        b = load_unaligned<std::uint64_t>(data + last);
    } else if (size > 32) {
        for (std::size_t at = 0; at + 16 < size; at += 16) {
            state = detail::fold_multiply(load_unaligned<std::uint64_t>(data + at) ^ key1 ^ state,
                                          load_unaligned<std::uint64_t>(data + at + 8) ^ key0);
        }
        a = load_unaligned<std::uint64_t>(data + size - 16);
        b = load_unaligned<std::uint64_t>(data + size - 8);
    } else if (size >= 4) {
        a = load_unaligned<std::uint32_t>(data);
        b = load_unaligned<std::uint32_t>(data + size - 4);
    } else if (size > 0) {
        a = (std::uint64_t{static_cast<unsigned char>(data[0])} << 16) |
            (std::uint64_t{static_cast<unsigned char>(data[size / 2])} << 8) |
            static_cast<unsigned char>(data[size - 1]);
    }
    // The size goes in last, so texts whose overlapping words coincide still differ.
    const std::uint64_t mixed = detail::fold_multiply(a ^ key1 ^ state, b ^ key0);
    return detail::fold_multiply(mixed ^ static_cast<std::uint64_t>(size),
                                 key1 ^ 0x9E3779B97F4A7C15ULL);
}

// Hasher for the learned-state maps: strings (with heterogeneous lookup by string_view) and
// unsigned integer keys. A default-constructed hasher draws a new random key.
struct SeededHash {
    using is_transparent = void;

    std::uint64_t key0 = random_hash_key();
    std::uint64_t key1 = random_hash_key();

    // The full 64-bit hash, whatever the width of size_t.
    std::uint64_t hash64(std::string_view text) const noexcept {
        return hash_bytes(key0, key1, text.data(), text.size());
    }
    template <std::unsigned_integral T>
    std::uint64_t hash64(T value) const noexcept {
        return detail::fold_multiply(static_cast<std::uint64_t>(value) ^ key0, key1 | 1);
    }

    std::size_t operator()(std::string_view text) const noexcept { return fold(hash64(text)); }
    std::size_t operator()(const std::string& text) const noexcept {
        return (*this)(std::string_view(text));
    }
    template <std::unsigned_integral T>
    std::size_t operator()(T value) const noexcept {
        return fold(hash64(value));
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

}  // namespace vexilo

// Reading a value of a trivially copyable type from memory of any alignment. Interpreter-free.
#pragma once

#include <cstring>  // std::memcpy
#include <type_traits>

namespace vexilo {

// The T stored at `at`, which need not be aligned for T. Any thread.
template <class T>
T load_unaligned(const char* at) noexcept {
    static_assert(std::is_trivially_copyable_v<T>);
    T value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

}  // namespace vexilo

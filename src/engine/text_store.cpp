// Append-only text storage. Interpreter-free.
#include "engine/text_store.h"

#include <algorithm>
#include <cstring>

namespace vexilo {
namespace {

// A store's first block is small, since a table may have a great many short columns; later blocks
// double up to a limit, so that the bytes wasted stay below half of those held.
constexpr std::size_t first_block = 64;
constexpr std::size_t largest_block = std::size_t{1} << 20;

}  // namespace

void TextStore::reserve(std::size_t bytes) {
    if (bytes <= left_) return;
    blocks_.push_back(std::make_unique_for_overwrite<char[]>(bytes));
    next_ = blocks_.back().get();
    left_ = bytes;
    capacity_ += bytes;
}

char* TextStore::claim(std::size_t bytes) {
    reserve(bytes);
    char* const start = next_;
    next_ += bytes;
    left_ -= bytes;
    return start;
}

std::string_view TextStore::store(std::string_view text) {
    if (text.size() > left_) {
        const std::size_t grown = std::clamp(capacity_, first_block, largest_block);
        reserve(std::max(text.size(), grown));
    }
    if (text.empty()) return std::string_view();
    char* const copy = claim(text.size());
    std::memcpy(copy, text.data(), text.size());
    return std::string_view(copy, text.size());
}

}  // namespace vexilo

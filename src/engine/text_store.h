// Byte storage for the texts of the learned state: texts copied in once and viewed by map entries,
// so that a column's forward and inverse maps can share one copy of each text. Interpreter-free.
#pragma once

#include <cstddef>
#include <memory>
#include <string_view>
#include <vector>

namespace vexilo {

// Append-only storage of text bytes in blocks that never move: a view of a stored text stays valid
// as long as the store lives. A store may rest on a base store, which it keeps alive, so that a map
// sharing another map's texts can add its own without touching them. Not thread-safe for writing;
// any number of threads may read stored texts at once.
class TextStore {
public:
    explicit TextStore(std::shared_ptr<const TextStore> base = nullptr) noexcept
        : base_(std::move(base)) {}
    TextStore(const TextStore&) = delete;
    TextStore& operator=(const TextStore&) = delete;

    // Copies text in and returns the view of the copy. Throws std::bad_alloc.
    std::string_view store(std::string_view text);

    // Makes room for bytes more in one block, so that storing texts of that many bytes in all
    // allocates nothing more. Throws std::bad_alloc.
    void reserve(std::size_t bytes);

    // Room for bytes more in one block, to be filled by the caller: returns its start. The caller
    // writes the texts there itself and views them. Throws std::bad_alloc.
    char* claim(std::size_t bytes);

    // Bytes held in this store's own blocks (its base's not counted).
    std::size_t capacity() const noexcept { return capacity_; }

private:
    std::shared_ptr<const TextStore> base_;
    std::vector<std::unique_ptr<char[]>> blocks_;
    char* next_ = nullptr;
    std::size_t left_ = 0;
    std::size_t capacity_ = 0;
};

}  // namespace vexilo

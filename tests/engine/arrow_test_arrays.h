// Arrow arrays built for the engine tests: buffers from values, and arrays whose release callbacks
// free their memory (dictionary and children included) and count every release.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/arrow_abi.h"

namespace vexilo::arrow::testing {

using Bytes = std::vector<std::uint8_t>;
using Texts = std::vector<std::optional<std::string>>;

template <class T>
Bytes bytes_of(const std::vector<T>& values) {
    Bytes out(values.size() * sizeof(T));
    if (!out.empty()) std::memcpy(out.data(), values.data(), out.size());
    return out;
}

inline Bytes bits_of(const std::vector<bool>& values) {
    Bytes out((values.size() + 7) / 8, 0);
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (values[i]) out[i / 8] = static_cast<std::uint8_t>(out[i / 8] | (1u << (i % 8)));
    }
    return out;
}

// Structures released through their callbacks, dictionaries and children included.
inline int released = 0;

// The memory behind a test array: its buffers (nothing: a null pointer), its dictionary and its
// children, which its release callback releases before freeing it.
struct ArrayMemory {
    std::vector<std::optional<Bytes>> buffers;
    std::vector<const void*> pointers;
    std::unique_ptr<ArrowArray> dictionary;
    std::vector<std::unique_ptr<ArrowArray>> owned;
    std::vector<ArrowArray*> children;
};

inline void release_array(ArrowArray* array) {
    auto* memory = static_cast<ArrayMemory*>(array->private_data);
    if (memory->dictionary && memory->dictionary->release) {
        memory->dictionary->release(memory->dictionary.get());
    }
    for (auto& child : memory->owned) {
        if (child->release) child->release(child.get());
    }
    delete memory;
    array->release = nullptr;
    ++released;
}

inline ArrowArray make_array(std::int64_t length, std::vector<std::optional<Bytes>> buffers,
                             std::int64_t offset = 0, std::int64_t null_count = 0,
                             std::optional<ArrowArray> dictionary = std::nullopt,
                             std::vector<ArrowArray> children = {}) {
    auto* memory = new ArrayMemory{std::move(buffers), {}, nullptr, {}, {}};
    for (auto& buffer : memory->buffers) {
        memory->pointers.push_back(buffer ? static_cast<const void*>(buffer->data()) : nullptr);
    }
    if (dictionary) memory->dictionary = std::make_unique<ArrowArray>(*dictionary);
    for (ArrowArray& child : children) {
        memory->owned.push_back(std::make_unique<ArrowArray>(child));
        memory->children.push_back(memory->owned.back().get());
    }
    ArrowArray array{};
    array.length = length;
    array.offset = offset;
    array.null_count = null_count;
    array.n_buffers = static_cast<std::int64_t>(memory->pointers.size());
    array.buffers = memory->pointers.data();
    array.n_children = static_cast<std::int64_t>(memory->children.size());
    array.children = memory->children.data();
    array.dictionary = memory->dictionary.get();
    array.release = release_array;
    array.private_data = memory;
    return array;
}

// A string array ("u", Offset int32_t) or large string array ("U", int64_t) of texts from
// position offset on; nothing marks a null cell.
template <class Offset = std::int32_t>
ArrowArray strings(const Texts& texts, std::int64_t offset = 0) {
    std::vector<Offset> offsets{0};
    std::string data;
    std::vector<bool> valid;
    for (const auto& text : texts) {
        if (text) data += *text;
        offsets.push_back(static_cast<Offset>(data.size()));
        valid.push_back(text.has_value());
    }
    return make_array(static_cast<std::int64_t>(texts.size()) - offset,
                      {bits_of(valid), bytes_of(offsets), Bytes(data.begin(), data.end())}, offset,
                      -1);
}

}  // namespace vexilo::arrow::testing

// The column accumulator: numbers, then texts in one buffer per column. Interpreter-free.
#include "engine/column_cells.h"

#include <algorithm>
#include <cstdint>

#include "engine/format_double.h"
#include "engine/unaligned_load.h"

namespace vexilo {

void ColumnCells::make_categorical() {
    if (categorical_) return;
    categorical_ = true;
    first_text_row_ = numbers_.size();
    views_.reserve(std::max(reserve_hint_, numbers_.size() + 1));
    for (double number : numbers_) {
        char text[format_double_capacity];
        add_text(std::string_view(text, format_double(number, text)));
    }
    numbers_ = WorkVector<double>();
}

void ColumnCells::make_categorical_after(std::size_t skipped) {
    if (categorical_) return;
    make_categorical();
    first_text_row_ += skipped;
}

void ColumnCells::add_text(std::string_view text) {
    make_categorical();
    buffer_.insert(buffer_.end(), text.begin(), text.end());
    owned_.push_back({views_.size(), text.size()});
    views_.emplace_back();
}

void ColumnCells::add_view(std::string_view text) {
    make_categorical();
    views_.push_back(text);
}

void ColumnCells::add_code_points(const char* data, std::size_t count) {
    make_categorical();
    const std::size_t start = buffer_.size();
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint32_t point = load_unaligned<std::uint32_t>(data + 4 * i);
        if (point < 0x80) {
            buffer_.push_back(static_cast<char>(point));
        } else if (point < 0x800) {
            buffer_.push_back(static_cast<char>(0xC0 | (point >> 6)));
            buffer_.push_back(static_cast<char>(0x80 | (point & 0x3F)));
        } else if (point >= 0xD800 && point <= 0xDFFF) {
            // Passed through as ED xx xx, which the lenient decoding reads as three bad bytes.
            constexpr std::string_view replaced = "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD";
            buffer_.insert(buffer_.end(), replaced.begin(), replaced.end());
        } else if (point < 0x10000) {
            buffer_.push_back(static_cast<char>(0xE0 | (point >> 12)));
            buffer_.push_back(static_cast<char>(0x80 | ((point >> 6) & 0x3F)));
            buffer_.push_back(static_cast<char>(0x80 | (point & 0x3F)));
        } else {
            buffer_.push_back(static_cast<char>(0xF0 | (point >> 18)));
            buffer_.push_back(static_cast<char>(0x80 | ((point >> 12) & 0x3F)));
            buffer_.push_back(static_cast<char>(0x80 | ((point >> 6) & 0x3F)));
            buffer_.push_back(static_cast<char>(0x80 | (point & 0x3F)));
        }
    }
    owned_.push_back({views_.size(), buffer_.size() - start});
    views_.emplace_back();
}

void ColumnCells::finish() {
    if (!categorical_) return;
    // The buffer no longer grows, so views into it stay valid from here on.
    // An empty buffer may have no address at all; its (empty) views still need a valid one.
    const char* const base = buffer_.empty() ? "" : buffer_.data();
    std::size_t offset = 0;
    for (const OwnedText& text : owned_) {
        views_[text.index] = std::string_view(base + offset, text.size);
        offset += text.size;
    }
    owned_ = WorkVector<OwnedText>();
}

void ColumnCells::release_views() noexcept { views_ = WorkVector<std::string_view>(); }

void ColumnCells::release() noexcept {
    numbers_ = WorkVector<double>();
    owned_ = WorkVector<OwnedText>();
    buffer_ = WorkVector<char>();
    views_ = WorkVector<std::string_view>();
}

}  // namespace vexilo

// One column of a table as it is collected before encoding: numbers while every cell is one,
// texts from the first cell that is not. Interpreter-free.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>
#include <vector>

#include "engine/work_vector.h"

namespace vexilo {

// The cells of one column. Numbers are kept while the column is numeric; the first text turns it
// categorical, rendering the numbers collected so far as texts. Texts that had to be produced
// (copies, rendered numbers, code points) live in one growing buffer per column; texts added as
// views stay where the caller keeps them. After finish() the column may be read, and released,
// on any thread; before, it belongs to the thread that collects it.
class ColumnCells {
public:
    // reserve_hint: how many cells to make room for at once.
    explicit ColumnCells(std::size_t reserve_hint) noexcept : reserve_hint_(reserve_hint) {}

    bool categorical() const noexcept { return categorical_; }

    // Appends a number to a numeric column. The caller adds numbers only while the column is
    // numeric.
    void add_number(double value) { numbers_.push_back(value); }

    // Turns a numeric column categorical: each number collected so far becomes its rendered text
    // (format_double), in order. Nothing for a column that already is.
    void make_categorical();

    // As make_categorical, for a column whose first `skipped` numbers were written elsewhere (into
    // the output table) instead of being added here: they count toward first_text_row().
    void make_categorical_after(std::size_t skipped);

    // Appends a text, copied into the column's buffer (the column turning categorical first).
    void add_text(std::string_view text);

    // Appends a text viewed in place (the column turning categorical first): its memory must
    // stay valid and unchanged until release().
    void add_view(std::string_view text);

    // Appends a cell of count UCS4 code points (native order, any alignment, trailing NULs
    // already dropped, each at most 0x10FFFF) as UTF-8, a lone surrogate becoming three U+FFFD,
    // as the lenient round trip of such a text gives. Turns the column categorical.
    void add_code_points(const char* data, std::size_t count);

    // Says that the column's texts are distinct but for missing-value markers (a collector that
    // deduplicated them itself), so their numbering need not look for repeats.
    void mark_texts_distinct() noexcept { texts_distinct_ = true; }
    bool texts_distinct() const noexcept { return texts_distinct_; }

    // How many texts a categorical column has collected; before finish() only.
    std::size_t entry_count() const noexcept { return views_.size(); }

    // For a categorical column, how many numbers it collected before it turned: the row of the
    // cell that turned it, and the index of that cell's text in texts().
    std::size_t first_text_row() const noexcept { return first_text_row_; }

    // Ends the collection: builds the views of a categorical column.
    void finish();

    // The numbers of a numeric column and the texts of a categorical one, valid after finish()
    // until release().
    std::span<const double> numbers() const noexcept { return numbers_; }
    std::span<const std::string_view> texts() const noexcept { return views_; }

    // Frees the collected cells. Any thread.
    void release() noexcept;

    // Frees the list of texts() but keeps the texts the column owns, which views made of it
    // before still show. Any thread.
    void release_views() noexcept;

private:
    // A text in the column's buffer: its view (empty until finish(), since the buffer may still
    // move) and its length. Owned texts lie in the buffer one after another in the order of views.
    struct OwnedText {
        std::size_t index;
        std::size_t size;
    };

    std::size_t reserve_hint_;
    bool categorical_ = false;
    bool texts_distinct_ = false;
    std::size_t first_text_row_ = 0;
    WorkVector<double> numbers_;
    WorkVector<std::string_view> views_;  // texts viewed in place; owned texts from finish()
    WorkVector<OwnedText> owned_;
    WorkVector<char> buffer_;  // no small-buffer storage: views survive moving the column
};

}  // namespace vexilo

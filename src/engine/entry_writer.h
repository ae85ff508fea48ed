// The entries of one text column read from memory that holds no interpreter object, and the
// writing of its rows' entry indices into the output table: shared by the readers of Arrow texts
// and of category codes. Interpreter-free.
#pragma once

#include <cstddef>
#include <limits>
#include <string_view>

#include "engine/column_entries.h"
#include "engine/expected.h"
#include "engine/text_index.h"
#include "engine/utf8.h"

namespace vexilo::detail {

// The entries of one text column and the writing of its rows. Missing cells get entries of their
// own, made when first needed, so that entries are made in the order of the first row they cover:
// a column with an entry per row then has entry i at row i, as encode_table expects.
class EntryWriter {
public:
    // index, when given, numbers the texts of the column: the entries of missing cells are added
    // to it too (under a kind of their own), so that its numbers are the entries' indices.
    // The entries are distinct texts (the texts of missing cells apart), which their numbering
    // is told.
    // check_utf8: the texts come from memory that may break UTF-8's rules (Arrow buffers), so
    // each one an entry is made for is checked.
    EntryWriter(MissingCell missing, const ColumnTarget& target, TextIndex* index,
                bool check_utf8) noexcept
        : missing_(missing),
          target_(target),
          index_(index),
          seen_text_(target.cells.categorical()),
          check_utf8_(check_utf8) {
        target_.cells.mark_texts_distinct();
    }

    // An entry for a text viewed in the column's memory; returns its index. With an index, the
    // caller has added the text to it (after text_at(row)).
    std::size_t add_view(std::size_t row, std::string_view text) {
        text_at(row);
        // Noted rather than returned, so that the lookup loops stay free of error paths; the
        // collection fails at its end.
        if (check_utf8_ && invalid_row_ == none && !is_valid_utf8(text)) invalid_row_ = row;
        target_.cells.add_view(text);
        return count_++;
    }

    // The collection's outcome: the first row whose text is not UTF-8 fails it.
    Outcome outcome() const {
        if (invalid_row_ == none) return Unit{};
        Error error = make_error(ErrorKind::invalid_text, "a text is not valid UTF-8");
        error.row = invalid_row_;
        return error;
    }

    // Called before the entry of the first text (at row) is made.
    void text_at(std::size_t row) {
        if (seen_text_) return;
        seen_text_ = true;
        if (leading_missing_ == 0) return;
        // The missing cells before the first text were numbers when it came: they read as the
        // rendered NaN. All of them lie before row.
        target_.cells.make_categorical_after(leading_missing_);
        const std::size_t entry = add_text("NaN");
        for (std::size_t before = 0; before < row; ++before) write(before, entry);
    }

    bool seen_text() const noexcept { return seen_text_; }
    const ColumnTarget& target() const noexcept { return target_; }

    void write(std::size_t row, std::size_t entry) noexcept {
        target_.first[row * target_.stride] = static_cast<double>(entry);
    }

    // A missing cell at row.
    void missing(std::size_t row) {
        if (missing_ == MissingCell::NotAvailable) {
            if (not_available_ == none) {
                text_at(row);
                not_available_ = add_text("<NA>");
            }
            return write(row, not_available_);
        }
        if (!seen_text_) {
            // Numeric so far: a NaN now, rewritten should a text come.
            target_.first[row * target_.stride] = std::numeric_limits<double>::quiet_NaN();
            ++leading_missing_;
            return;
        }
        if (later_nan_ == none) later_nan_ = add_text("nan");
        write(row, later_nan_);
    }

private:
    // The kind under which the texts of missing cells are numbered in the index.
    static constexpr unsigned missing_kind = 1;

    std::size_t add_text(std::string_view text) {
        if (index_) index_->find_or_add(text, missing_kind);
        target_.cells.add_text(text);
        return count_++;
    }

    static constexpr std::size_t none = std::numeric_limits<std::size_t>::max();

    MissingCell missing_;
    const ColumnTarget& target_;
    TextIndex* index_;
    std::size_t count_ = 0;
    std::size_t leading_missing_ = 0;
    bool seen_text_ = false;
    bool check_utf8_ = false;
    std::size_t invalid_row_ = none;
    // The entries of missing cells, once made.
    std::size_t not_available_ = none;
    std::size_t later_nan_ = none;
};

}  // namespace vexilo::detail

// Entries of category columns: codes mapped through a table of the categories that occur, or, for
// categories in the order their numbering gives, entries in category order. Interpreter-free.
#include "engine/category_codes.h"

#include <limits>
#include <optional>
#include <string_view>
#include <type_traits>
#include <vector>

#include "engine/entry_writer.h"
#include "engine/label_encode.h"  // is_missing_marker
#include "engine/unaligned_load.h"

namespace vexilo {
namespace {

using detail::EntryWriter;

// The error of a category code at row that names no category.
Error stray_code(std::size_t row) {
    Error error = make_error(ErrorKind::stray_code, "a category code names no category");
    error.row = row;
    return error;
}

// Index: the type that holds an entry number (the narrowest that fits keeps the table of
// occurring categories in the cache).
template <class Code, class Index>
Outcome collect_codes(const ColumnMemory& codes, std::size_t rows,
                      std::span<const std::string_view> categories, EntryWriter& writer) {
    constexpr Index unassigned = std::numeric_limits<Index>::max();
    std::vector<Index> entries(categories.size(), unassigned);
    for (std::size_t row = 0; row < rows; ++row) {
        const Code code = load_unaligned<Code>(codes.cell(row));
        if (code == -1) {
            writer.missing(row);
            continue;
        }
        if (code < 0 || static_cast<std::uint64_t>(code) >= categories.size()) {
            return stray_code(row);
        }
        Index& entry = entries[static_cast<std::size_t>(code)];
        if (entry == unassigned) {
            const auto index = static_cast<std::size_t>(code);
            entry = static_cast<Index>(writer.add_view(row, categories[index]));
        }
        writer.write(row, entry);
    }
    return Unit{};
}

template <class Code>
Outcome collect_codes(const ColumnMemory& codes, std::size_t rows,
                      std::span<const std::string_view> categories, EntryWriter& writer) {
    // Entries are at most the categories and the two texts of missing cells.
    if (categories.size() < std::numeric_limits<std::uint32_t>::max() - 2) {
        return collect_codes<Code, std::uint32_t>(codes, rows, categories, writer);
    }
    return collect_codes<Code, std::size_t>(codes, rows, categories, writer);
}

// True when texts are in strictly ascending byte order and none is a missing-value marker: the
// order in which their numbering gives codes.
bool ascending_texts(std::span<const std::string_view> texts) noexcept {
    for (std::size_t i = 0; i < texts.size(); ++i) {
        if (is_missing_marker(texts[i]) || (i > 0 && !(texts[i - 1] < texts[i]))) return false;
    }
    return true;
}

enum class InOrder { done, stray_code, not_done };

// collect_category_codes for categories in the order their numbering gives (ascending_texts):
// the occurring categories become entries in category order, then the entries of missing cells,
// so that each text's entry is its code and the table's entry indices need no rewriting. Two
// passes over the codes: which categories occur (and where missing cells lie), then the rows.
// NotDone, having written nothing, when the first-met order must be kept: for a column without
// any text, or with an entry per row (which encode_table reads as the rows' own, in row order).
template <class Code, class Index>
InOrder collect_in_category_order(const ColumnMemory& codes, std::size_t rows,
                                  std::span<const std::string_view> categories, MissingCell missing,
                                  const ColumnTarget& target, std::size_t& stray_row) {
    const auto code_at = [&](std::size_t row) { return load_unaligned<Code>(codes.cell(row)); };
    constexpr Index absent = std::numeric_limits<Index>::max();
    std::vector<Index> entries(categories.size(), absent);
    std::size_t first_text_row = rows;
    bool missing_before = false;  // a missing cell before the first text, and after it
    bool missing_after = false;
    for (std::size_t row = 0; row < rows; ++row) {
        const Code code = code_at(row);
        if (code == -1) {
            (first_text_row == rows ? missing_before : missing_after) = true;
            continue;
        }
        if (code < 0 || static_cast<std::uint64_t>(code) >= categories.size()) {
            stray_row = row;
            return InOrder::stray_code;
        }
        if (first_text_row == rows) first_text_row = row;
        entries[static_cast<std::size_t>(code)] = 0;
    }
    if (target.cells.categorical()) {
        // The column turned before these rows: every missing cell reads as one after a text.
        missing_after = missing_after || missing_before;
        missing_before = false;
        first_text_row = 0;
    }
    std::size_t count = 0;
    for (Index& entry : entries) {
        if (entry != absent) entry = static_cast<Index>(count++);
    }
    const bool not_available = missing == MissingCell::NotAvailable;
    const std::size_t missing_entries =
        not_available ? (missing_before || missing_after) : missing_before + missing_after;
    if (count == 0 || count + missing_entries == rows) return InOrder::not_done;

    ColumnCells& cells = target.cells;
    // Float NaN cells before the first text were numbers until it came (pandas' NA is none).
    if (missing_before && !not_available) cells.make_categorical_after(first_text_row);
    for (std::size_t c = 0; c < categories.size(); ++c) {
        if (entries[c] != absent) cells.add_view(categories[c]);
    }
    // Missing cells before the first text were numbers when it came: they read as the rendered
    // NaN; those after it as str() of a NaN. pandas' NA reads "<NA>" wherever it lies.
    double before = 0;
    double after = 0;
    if (not_available) {
        if (missing_before || missing_after) {
            cells.add_text("<NA>");
            before = after = static_cast<double>(count);
        }
    } else {
        std::size_t next = count;
        if (missing_before) {
            cells.add_text("NaN");
            before = static_cast<double>(next++);
        }
        if (missing_after) {
            cells.add_text("nan");
            after = static_cast<double>(next);
        }
    }
    cells.mark_texts_distinct();
    for (std::size_t row = 0; row < rows; ++row) {
        const Code code = code_at(row);
        target.first[row * target.stride] =
            code == -1 ? (row < first_text_row ? before : after)
                       : static_cast<double>(entries[static_cast<std::size_t>(code)]);
    }
    return InOrder::done;
}

template <class Code>
InOrder collect_in_category_order(const ColumnMemory& codes, std::size_t rows,
                                  std::span<const std::string_view> categories, MissingCell missing,
                                  const ColumnTarget& target, std::size_t& stray_row) {
    if (categories.size() < std::numeric_limits<std::uint32_t>::max() - 2) {
        return collect_in_category_order<Code, std::uint32_t>(codes, rows, categories, missing,
                                                              target, stray_row);
    }
    return collect_in_category_order<Code, std::size_t>(codes, rows, categories, missing, target,
                                                        stray_row);
}

}  // namespace

Outcome collect_category_codes(const ColumnMemory& codes, std::size_t rows,
                               std::span<const std::string_view> categories, MissingCell missing,
                               const ColumnTarget& target) {
    std::optional<Outcome> outcome;
    // pandas' codes are signed integers of one to eight bytes.
    visit_integer(codes.kind, [&]<StorageKind K>(Storage<K>) {
        using Code = element_of<K>;
        if constexpr (std::is_signed_v<Code>) {
            if (ascending_texts(categories)) {
                std::size_t stray_row = 0;
                const InOrder done = collect_in_category_order<Code>(codes, rows, categories,
                                                                     missing, target, stray_row);
                if (done == InOrder::done) {
                    outcome.emplace(Unit{});
                    return;
                }
                if (done == InOrder::stray_code) {
                    outcome.emplace(stray_code(stray_row));
                    return;
                }
            }
            EntryWriter writer(missing, target, nullptr, false);
            outcome.emplace(collect_codes<Code>(codes, rows, categories, writer));
        }
    });
    if (!outcome) return make_error(ErrorKind::unsupported, "category codes of no signed kind");
    return std::move(*outcome);
}

}  // namespace vexilo

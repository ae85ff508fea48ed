// The table-level step that applies a learned encoding: every column looked up in parallel, the
// columns of distinct entries by entry, then rewritten in blocks of rows. Interpreter-free.
#include "engine/transform_table.h"

#include <algorithm>
#include <bit>  // std::bit_cast
#include <cstdint>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/format_double.h"
#include "engine/frozen_texts.h"
#include "engine/internal_failure.h"
#include "engine/label_encode.h"  // missing_code, is_missing_marker

namespace vexilo {
namespace {

// Rows of all entry-index columns rewritten before moving on, as in encode_table.
constexpr std::size_t rewrite_block_rows = 512;

// The code of an unseen entry while unseen cells are counted (UnknownPolicy::Kind::Error), until
// its rows are rewritten: a NaN whose payload no lookup returns, so that the rewrite finds the
// unseen cells in the codes it loads anyway.
constexpr std::uint64_t unseen_mark_bits = 0x7FF8'0000'0005'EE17;
const double unseen_mark = std::bit_cast<double>(unseen_mark_bits);

// The unseen cells of a range of rows: how many, and the first of them.
struct Unseen {
    std::size_t count = 0;
    std::size_t first_row = 0;
    std::string first_text;

    void note(std::size_t row, std::string_view text) {
        if (count++ == 0) {
            first_row = row;
            first_text = text;
        }
    }

    // Adds the unseen cells of a range that comes after every range added so far.
    void add_later(Unseen&& later) {
        if (later.count == 0) return;
        if (count == 0) {
            first_row = later.first_row;
            first_text = std::move(later.first_text);
        }
        count += later.count;
    }
};

// The codes of cells' texts in one column's learned forward map.
class ColumnLookup {
public:
    ColumnLookup(const ForwardMap& forward, UnknownPolicy unknown) noexcept
        : forward_(forward),
          unknown_code_(unknown.kind == UnknownPolicy::Kind::Code ? unknown.code : missing_code) {}

    // Calls write(i, code, unseen) for every i in [begin, end), in order, with the code of the
    // text text_of(i): its learned code, NaN for a missing-value marker (learned or not), and the
    // unknown policy's code for an unseen text (unseen then true). text_of may be called more
    // than once for an i.
    template <class TextOf, class Write>
    void codes(std::size_t begin, std::size_t end, const TextOf& text_of,
               const Write& write) const {
        forward_.find_each(
            end - begin, [&](std::size_t i) { return text_of(begin + i); },
            [&](std::size_t i, ForwardMap::const_iterator entry) {
                if (entry != forward_.end()) {
                    write(begin + i,
                          entry->second ? static_cast<double>(*entry->second) : missing_code,
                          false);
                } else if (is_missing_marker(text_of(begin + i))) {
                    write(begin + i, missing_code, false);
                } else {
                    write(begin + i, unknown_code_, true);
                }
            });
    }

private:
    const ForwardMap& forward_;
    double unknown_code_;
};

// Codes rows cells of one column into out[row * stride]; text_of(row, scratch) gives each cell's
// text, possibly written into scratch (format_double_capacity chars). The cell may be the one
// text_of reads: it is read before it is written.
template <class TextOf>
Unseen code_rows(std::size_t rows, const ColumnLookup& lookup, double* out, std::size_t stride,
                 const TextOf& text_of, pool::ThreadPool& pool) {
    std::vector<Unseen> parts =
        pool.parallel_map_ranges<Unseen>(rows, [&](std::size_t begin, std::size_t end) {
            Unseen part;
            char scratch[format_double_capacity];
            const auto text = [&](std::size_t row) { return text_of(row, scratch); };
            lookup.codes(begin, end, text, [&](std::size_t row, double code, bool unseen) {
                if (unseen) part.note(row, text(row));
                out[row * stride] = code;
            });
            return part;
        });
    Unseen total;
    for (Unseen& part : parts) total.add_later(std::move(part));
    return total;
}

std::string_view rendered(double number, char* scratch) noexcept {
    return std::string_view(scratch, format_double(number, scratch));
}

// An entry-index column's code per entry (unseen_mark for an unseen entry when unseen cells are
// counted), ahead of the rewrite of its rows.
struct EntryCodes {
    ColumnIndex col = 0;
    std::vector<double> codes;
};

struct ColumnOutcome {
    ColumnIndex col = 0;
    std::optional<Error> error;
    std::optional<EntryCodes> entries;  // an entry-index column still to be rewritten
    ColumnCells* cells = nullptr;       // of an entry-index column
};

// A column that needs more than a copy: one the state lists (forward), one collected as
// categorical (cells), or both.
struct ColumnTask {
    ColumnIndex col = 0;
    const ForwardMap* forward = nullptr;
    ColumnCells* cells = nullptr;
};

Error unseen_error(ColumnIndex col, Unseen&& unseen) {
    Error error =
        make_error(ErrorKind::unseen_text, "a text not seen when the encoding was learned");
    error.column = col;
    error.row = unseen.first_row;
    error.count = unseen.count;
    error.text = std::move(unseen.first_text);
    return error;
}

Error text_in_numeric_column(ColumnIndex col, std::size_t row, std::string_view text) {
    Error error = make_error(ErrorKind::text_in_numeric_column, "a text in a column of numbers");
    error.column = col;
    error.row = row;
    error.text = std::string(text);
    return error;
}

// The rewrite of one entry-index column's rows: each cell's entry index becomes the entry's code.
struct Rewrite {
    double* out;
    std::span<const double> codes;
    std::span<const std::string_view> texts;

    // Rows [first, last); with count_unseen, an unseen_mark code is noted in unseen and written as
    // the missing code.
    template <bool count_unseen>
    void run(std::size_t first, std::size_t last, std::size_t stride, Unseen& unseen) const {
        for (std::size_t row = first; row < last; ++row) {
            double& cell = out[row * stride];
            const auto entry = static_cast<std::size_t>(cell);
            VX_ASSERT(entry < codes.size(), "a cell of the table names no entry");
            const double code = codes[entry];
            if constexpr (count_unseen) {
                if (std::bit_cast<std::uint64_t>(code) == unseen_mark_bits) {
                    unseen.note(row, texts[entry]);
                    cell = missing_code;
                    continue;
                }
            }
            cell = code;
        }
    }
};

class TableCoder {
public:
    TableCoder(Table& table, std::vector<ColumnTask> tasks, UnknownPolicy unknown,
               pool::ThreadPool& pool)
        : table_(table), tasks_(std::move(tasks)), unknown_(unknown), pool_(pool) {}

    Outcome run() {
        std::vector<ColumnOutcome> outcomes = pool_.parallel_filter_map<ColumnOutcome>(
            tasks_.size(), [&](std::size_t i) { return code_column(tasks_[i]); });
        rewrite_entries(outcomes);
        for (ColumnOutcome& outcome : outcomes) {  // ascending columns
            if (outcome.error) return std::move(*outcome.error);
        }
        return Unit{};
    }

private:
    double* column_start(ColumnIndex col) const noexcept {
        return table_.data.get() + col * table_.col_stride;
    }

    std::optional<ColumnOutcome> code_column(const ColumnTask& task) {
        const ColumnIndex col = task.col;
        double* const out = column_start(col);
        const std::size_t rows = table_.rows;
        const std::size_t stride = table_.row_stride;
        const bool per_row = task.cells && task.cells->texts().size() == rows;
        if (!task.forward) {
            ColumnCells& column = *task.cells;
            const std::size_t row = column.first_text_row();
            // A column of distinct entries names the row's entry in its cell.
            const std::size_t text = per_row ? row : static_cast<std::size_t>(out[row * stride]);
            VX_ASSERT(row < rows && text < column.texts().size(),
                      "a column's first text is a cell of the table");
            Error error = text_in_numeric_column(col, row, column.texts()[text]);
            column.release();
            return ColumnOutcome{col, std::move(error), std::nullopt, nullptr};
        }

        const ColumnLookup lookup(*task.forward, unknown_);
        if (task.cells && !per_row) {
            // Each distinct entry is looked up once; the rows follow in the block rewrite.
            const std::span<const std::string_view> texts = task.cells->texts();
            EntryCodes entries{col, std::vector<double>(texts.size())};
            const bool mark_unseen = unknown_.kind == UnknownPolicy::Kind::Error;
            pool_.parallel_for_ranges(texts.size(), [&](std::size_t begin, std::size_t end) {
                lookup.codes(
                    begin, end, [&](std::size_t entry) { return texts[entry]; },
                    [&](std::size_t entry, double code, bool unseen) {
                        entries.codes[entry] = unseen && mark_unseen ? unseen_mark : code;
                    });
            });
            return ColumnOutcome{col, std::nullopt, std::move(entries), task.cells};
        }

        Unseen unseen;
        if (task.cells) {
            const std::span<const std::string_view> texts = task.cells->texts();
            unseen = code_rows(
                rows, lookup, out, stride, [&](std::size_t row, char*) { return texts[row]; },
                pool_);
            task.cells->release();
        } else {
            // A listed column that holds only numbers, in the table already: they read as texts
            // the way the numbers before a column's first text do.
            unseen = code_rows(
                rows, lookup, out, stride,
                [&](std::size_t row, char* scratch) {
                    return rendered(out[row * stride], scratch);
                },
                pool_);
        }
        if (unseen.count == 0 || unknown_.kind != UnknownPolicy::Kind::Error) return std::nullopt;
        return ColumnOutcome{col, unseen_error(col, std::move(unseen)), std::nullopt, nullptr};
    }

    // Replaces the entry indices in the cells of every entry-index column by their entries' codes,
    // in blocks of rows across the columns: column by column, every pass over a row-major table
    // would read all of it.
    void rewrite_entries(std::vector<ColumnOutcome>& outcomes) {
        std::vector<ColumnOutcome*> pending;
        std::vector<Rewrite> rewrites;
        for (ColumnOutcome& outcome : outcomes) {
            if (!outcome.entries) continue;
            pending.push_back(&outcome);
            rewrites.push_back(
                {column_start(outcome.col), outcome.entries->codes, outcome.cells->texts()});
        }
        if (pending.empty()) return;
        const std::size_t stride = table_.row_stride;
        const bool count_unseen = unknown_.kind == UnknownPolicy::Kind::Error;
        std::vector<std::vector<Unseen>> parts = pool_.parallel_map_ranges<std::vector<Unseen>>(
            table_.rows, [&](std::size_t begin, std::size_t end) {
                std::vector<Unseen> found(rewrites.size());
                for (std::size_t first = begin; first < end; first += rewrite_block_rows) {
                    const std::size_t last = std::min(end, first + rewrite_block_rows);
                    for (std::size_t k = 0; k < rewrites.size(); ++k) {
                        if (count_unseen) {
                            rewrites[k].run<true>(first, last, stride, found[k]);
                        } else {
                            rewrites[k].run<false>(first, last, stride, found[k]);
                        }
                    }
                }
                return found;
            });
        for (std::size_t k = 0; k < pending.size(); ++k) {
            ColumnOutcome& outcome = *pending[k];
            Unseen unseen;
            for (std::vector<Unseen>& part : parts) unseen.add_later(std::move(part[k]));
            if (unseen.count > 0 && unknown_.kind == UnknownPolicy::Kind::Error) {
                outcome.error = unseen_error(outcome.col, std::move(unseen));
            }
            outcome.entries.reset();
            outcome.cells->release();
        }
    }

    Table& table_;
    std::vector<ColumnTask> tasks_;  // ascending columns
    UnknownPolicy unknown_;
    pool::ThreadPool& pool_;
};

}  // namespace

Outcome transform_table(CollectedTable& input, Table& table, const EncodingInfo& info,
                        UnknownPolicy unknown, pool::ThreadPool& pool) {
    for (ColumnIndex col : info.categorical_columns) {
        if (col >= table.cols) {
            Error error = make_error(ErrorKind::column_missing,
                                     "a column of the learned encoding is missing");
            error.column = col;
            error.count = table.cols;
            return error;
        }
    }
    // The listed columns, ascending, each once.
    std::vector<ColumnTask> listed;
    listed.reserve(info.categorical_columns.size());
    for (ColumnIndex col : info.categorical_columns) {
        const auto found = info.forward_maps.find(col);
        if (found == info.forward_maps.end()) {
            throw InternalFailure(std::string(frozen_text::no_entry_for_key));
        }
        listed.push_back(ColumnTask{col, &found->second, nullptr});
    }
    std::sort(listed.begin(), listed.end(),
              [](const ColumnTask& a, const ColumnTask& b) { return a.col < b.col; });
    listed.erase(
        std::unique(listed.begin(), listed.end(),
                    [](const ColumnTask& a, const ColumnTask& b) { return a.col == b.col; }),
        listed.end());
    // A table without rows has no cells to look at.
    if (table.rows == 0) return Unit{};

    // The listed columns and the categorical ones merged: nothing is kept for the other columns,
    // whose numbers are only copied.
    std::vector<ColumnTask> tasks;
    tasks.reserve(listed.size() + input.categorical.size());
    auto next = listed.begin();
    for (std::size_t i = 0; i < input.categorical.size(); ++i) {
        CollectedColumn& column = input.categorical[i];
        VX_ASSERT(column.col < table.cols && (i == 0 || input.categorical[i - 1].col < column.col),
                  "the collected columns are the table's");
        while (next != listed.end() && next->col < column.col) tasks.push_back(*next++);
        if (next != listed.end() && next->col == column.col) {
            tasks.push_back(ColumnTask{column.col, next++->forward, &column.cells});
        } else {
            tasks.push_back(ColumnTask{column.col, nullptr, &column.cells});
        }
    }
    tasks.insert(tasks.end(), next, listed.end());

    Outcome outcome = Unit{};
    TableCoder coder(table, std::move(tasks), unknown, pool);
    // The phases run as nested work of one job, as in encode_table.
    pool.run_inside([&] { outcome = coder.run(); });
    return outcome;
}

}  // namespace vexilo

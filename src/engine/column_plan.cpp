// Planned columns read on the pool, each thread taking the next column as it gets free.
// Interpreter-free.
#include "engine/column_plan.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <iterator>
#include <limits>
#include <optional>
#include <utility>

#include "engine/internal_failure.h"
#include "engine/unaligned_load.h"

namespace vexilo {
namespace {

// Writes NaN over the numbers of the rows whose mask byte is set.
void write_missing(const ColumnMemory& mask, std::size_t rows, double* out,
                   std::size_t stride) noexcept {
    for (std::size_t row = 0; row < rows; ++row) {
        if (load_unaligned<std::uint8_t>(mask.cell(row)) != 0) {
            out[row * stride] = std::numeric_limits<double>::quiet_NaN();
        }
    }
}

// Reads one planned column into its table column and cells.
Outcome read_column(const PlannedColumn& plan, ColumnCells& cells, Table& table) {
    double* const first = table.data.get() + plan.col * table.col_stride;
    const ColumnTarget target{first, table.row_stride, cells};
    Outcome outcome = Unit{};
    switch (plan.reader) {
        case PlannedColumn::Reader::numbers:
            VX_ASSERT(read_number_elements(plan.memory, 0, table.rows, first, table.row_stride),
                      "a planned column of numbers holds numbers");
            if (plan.mask.first) write_missing(plan.mask, table.rows, first, table.row_stride);
            break;
        case PlannedColumn::Reader::arrow_numbers:
            plan.arrow->read_numbers(0, table.rows, first, table.row_stride);
            break;
        case PlannedColumn::Reader::arrow_texts:
            outcome = collect_arrow_texts(*plan.arrow, plan.missing, target);
            break;
        case PlannedColumn::Reader::category:
            outcome = collect_category_codes(plan.memory, table.rows, plan.categories, plan.missing,
                                             target);
            break;
    }
    cells.finish();
    return outcome;
}

}  // namespace

Expected<std::vector<CollectedColumn>> read_planned_columns(std::span<const PlannedColumn> plans,
                                                            Table& table, pool::ThreadPool& pool) {
    std::vector<CollectedColumn> read;
    read.reserve(plans.size());
    for (const PlannedColumn& plan : plans) {
        read.push_back(CollectedColumn{plan.col, ColumnCells(0)});
        if (plan.turned_before) read.back().cells.make_categorical();
    }
    std::vector<std::optional<Error>> errors(plans.size());
    std::vector<std::size_t> order;  // positions in plans, text columns first
    for (const bool texts : {true, false}) {
        for (std::size_t i = 0; i < plans.size(); ++i) {
            if (plans[i].reads_texts() == texts) order.push_back(i);
        }
    }
    std::atomic<std::size_t> next{0};
    pool.parallel_for(std::min(order.size(), pool.thread_count()), [&](std::size_t) {
        // relaxed: the counter only hands out positions; the loop's end publishes the writes.
        for (std::size_t k; (k = next.fetch_add(1, std::memory_order_relaxed)) < order.size();) {
            const std::size_t i = order[k];
            Outcome outcome = read_column(plans[i], read[i].cells, table);
            if (!outcome) errors[i] = std::move(outcome).error();
        }
    });
    for (std::size_t i = 0; i < plans.size(); ++i) {
        if (!errors[i]) continue;
        Error error = std::move(*errors[i]);
        error.column = plans[i].col;
        return error;
    }
    std::vector<CollectedColumn> categorical;
    for (CollectedColumn& column : read) {
        if (column.cells.categorical()) categorical.push_back(std::move(column));
    }
    std::sort(categorical.begin(), categorical.end(),
              [](const CollectedColumn& a, const CollectedColumn& b) { return a.col < b.col; });
    return categorical;
}

std::vector<Expected<arrow::ArrowColumn>> open_arrow_columns(
    std::span<const arrow::ArrowChunks* const> chunks, pool::ThreadPool& pool) {
    std::vector<std::optional<Expected<arrow::ArrowColumn>>> opened(chunks.size());
    pool.parallel_for(chunks.size(), [&](std::size_t i) {
        opened[i].emplace(arrow::ArrowColumn::open(*chunks[i]));
    });
    std::vector<Expected<arrow::ArrowColumn>> columns;
    columns.reserve(chunks.size());
    for (auto& column : opened) columns.push_back(std::move(*column));
    return columns;
}

std::vector<CollectedColumn> merge_columns(std::vector<CollectedColumn> a,
                                           std::vector<CollectedColumn> b) {
    std::vector<CollectedColumn> merged;
    merged.reserve(a.size() + b.size());
    std::merge(std::make_move_iterator(a.begin()), std::make_move_iterator(a.end()),
               std::make_move_iterator(b.begin()), std::make_move_iterator(b.end()),
               std::back_inserter(merged),
               [](const CollectedColumn& x, const CollectedColumn& y) { return x.col < y.col; });
    return merged;
}

}  // namespace vexilo

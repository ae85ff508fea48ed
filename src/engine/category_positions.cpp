// Category positions: labels sorted by code once per column, then one lookup per cell on the pool.
// Interpreter-free.
#include "engine/category_positions.h"

#include <algorithm>
#include <atomic>
#include <utility>

#include "engine/internal_failure.h"

namespace vexilo {
namespace {

// The rows one task takes: enough that a task costs far more than handing it to a thread.
constexpr std::size_t block_rows = std::size_t{1} << 15;

// Positions of the cells [first, last) of column col, written as Index; returns the -1 count.
template <class Index>
std::size_t write_positions(const Table& table, std::size_t col, const CategoryLabels& categories,
                            Index* out, std::size_t first, std::size_t last) {
    const double* codes = table.data.get() + col * table.col_stride;
    const std::size_t stride = table.row_stride;
    std::size_t missing = 0;
    if (categories.codes.empty()) {
        // Codes 0 .. k-1: one range check gives the position of every code encoding made.
        const double limit = static_cast<double>(categories.labels.size());
        for (std::size_t r = first; r < last; ++r) {
            const double code = codes[r * stride];
            const std::int64_t at = code >= 0.0 && code < limit ? static_cast<std::int64_t>(code)
                                                                : categories.position(code);
            missing += at < 0;
            out[r] = static_cast<Index>(at);
        }
        return missing;
    }
    for (std::size_t r = first; r < last; ++r) {
        const std::int64_t at = categories.position(codes[r * stride]);
        missing += at < 0;
        out[r] = static_cast<Index>(at);
    }
    return missing;
}

}  // namespace

std::int64_t CategoryLabels::position(double code) const noexcept {
    if (is_missing_code(code)) return -1;
    const std::uint64_t key = code_key(code);
    if (codes.empty()) return key < labels.size() ? static_cast<std::int64_t>(key) : -1;
    const auto at = std::lower_bound(codes.begin(), codes.end(), key);
    if (at == codes.end() || *at != key) return -1;
    return static_cast<std::int64_t>(at - codes.begin());
}

std::optional<std::string_view> repeated_label(const CategoryLabels& categories) {
    std::vector<std::string_view> sorted = categories.labels;
    std::sort(sorted.begin(), sorted.end());
    const auto repeat = std::adjacent_find(sorted.begin(), sorted.end());
    if (repeat == sorted.end()) return std::nullopt;
    return *repeat;
}

CategoryLabels category_labels(const InverseMap& inverse) {
    CategoryLabels categories;
    const std::size_t count = inverse.size();
    // The codes are distinct, so when all are below count they are exactly 0 .. count-1.
    const bool positional = std::all_of(inverse.begin(), inverse.end(),
                                        [count](const auto& entry) { return entry.first < count; });
    if (positional) {
        categories.labels.resize(count);
        for (const auto& [code, label] : inverse) {
            categories.labels[static_cast<std::size_t>(code)] = label;
        }
        return categories;
    }
    std::vector<std::pair<std::uint64_t, std::string_view>> entries(inverse.begin(), inverse.end());
    std::sort(entries.begin(), entries.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    categories.labels.reserve(count);
    categories.codes.reserve(count);
    for (const auto& [code, label] : entries) {
        categories.codes.push_back(code);
        categories.labels.push_back(label);
    }
    return categories;
}

std::size_t position_width(std::size_t count) noexcept {
    if (count < 0x7f) return 1;
    if (count < 0x7fff) return 2;
    if (std::uint64_t{count} < 0x7fffffffULL) return 4;
    return 8;
}

std::vector<std::size_t> category_positions(const Table& table,
                                            std::span<const PositionColumn> columns,
                                            pool::ThreadPool& pool) {
    for (const PositionColumn& column : columns) {
        VX_ASSERT(column.col < table.cols, "a categorical column lies within its table");
        VX_ASSERT(column.width == 1 || column.width == 2 || column.width == 4 || column.width == 8,
                  "category positions are 1, 2, 4 or 8 bytes wide");
    }
    VX_ASSERT(table.data || table.rows == 0, "a table with rows has cells");
    const std::size_t blocks = (table.rows + block_rows - 1) / block_rows;
    std::vector<std::atomic<std::size_t>> missing(columns.size());
    pool.parallel_for(columns.size() * blocks, [&](std::size_t task) {
        const PositionColumn& column = columns[task / blocks];
        const std::size_t first = (task % blocks) * block_rows;
        const std::size_t last = std::min(table.rows, first + block_rows);
        std::size_t found = 0;
        switch (column.width) {
            case 1:
                found = write_positions(table, column.col, *column.categories,
                                        static_cast<std::int8_t*>(column.out), first, last);
                break;
            case 2:
                found = write_positions(table, column.col, *column.categories,
                                        static_cast<std::int16_t*>(column.out), first, last);
                break;
            case 4:
                found = write_positions(table, column.col, *column.categories,
                                        static_cast<std::int32_t*>(column.out), first, last);
                break;
            default:
                found = write_positions(table, column.col, *column.categories,
                                        static_cast<std::int64_t*>(column.out), first, last);
                break;
        }
        // relaxed: the counts are read after parallel_for returns, which orders every task's
        // writes before it.
        missing[task / blocks].fetch_add(found, std::memory_order_relaxed);
    });
    std::vector<std::size_t> counts(columns.size());
    for (std::size_t i = 0; i < columns.size(); ++i) counts[i] = missing[i].load();
    return counts;
}

}  // namespace vexilo

// The table-level encoding step: columns written and numbered in parallel, then the inverse maps.
// Interpreter-free.
#include "engine/encode_table.h"

#include <algorithm>
#include <memory>
#include <optional>
#include <span>
#include <utility>

#include "engine/internal_failure.h"
#include "engine/label_encode.h"

namespace vexilo {
namespace {

// The output buffer's address, shared by every column task. Each task writes only the cells of
// its own column, so the tasks need no lock; the holder's count is the only shared update.
struct SendPtr {
    double* cells;
};

struct CategoricalColumn {
    ColumnIndex col;
    ForwardMap forward;
    InverseMap inverse;
};

// Rows of all categorical columns rewritten before moving on, in encode_scanned.
constexpr std::size_t rewrite_block_rows = 512;

// Each column written straight into the table, the categorical ones through label_encode.
std::vector<CategoricalColumn> encode_columns(std::vector<ColumnCells>& columns, Table& table,
                                              pool::ThreadPool& pool) {
    const std::size_t stride = table.row_stride;
    const auto target = std::make_shared<const SendPtr>(SendPtr{table.data.get()});
    return pool.parallel_filter_map<CategoricalColumn>(
        columns.size(), [&, target](std::size_t col) -> std::optional<CategoricalColumn> {
            ColumnCells& column = columns[col];
            double* const out = target->cells + col * table.col_stride;
            // The output is not zeroed: every row of every column must be written.
            VX_ASSERT((column.categorical() ? column.texts().size() : column.numbers().size()) ==
                          table.rows,
                      "a column of the table lost cells");
            if (!column.categorical()) {
                const std::span<const double> numbers = column.numbers();
                pool.parallel_for(numbers.size(),
                                  [&](std::size_t row) { out[row * stride] = numbers[row]; });
                column.release();
                return std::nullopt;
            }
            ForwardMap forward = label_encode_into(column.texts(), out, stride, pool);
            column.release();
            InverseMap inverse = build_inverse_map(forward, pool);
            return CategoricalColumn{col, std::move(forward), std::move(inverse)};
        });
}

// Numeric columns are already in place; each categorical column's cells hold their entry indices.
// The columns' entries are numbered in parallel, then the indices are replaced by codes in one
// pass over blocks of rows, since column by column every pass over a row-major table would read
// all of it.
std::vector<CategoricalColumn> encode_scanned(std::vector<ColumnCells>& columns, Table& table,
                                              pool::ThreadPool& pool) {
    struct Numbered {
        ColumnIndex col;
        LabelEncoding encoding;  // codes per entry; none when the codes went straight to the table
    };
    const std::size_t stride = table.row_stride;
    const auto target = std::make_shared<const SendPtr>(SendPtr{table.data.get()});
    const auto column_start = [&, target](ColumnIndex col) {
        return target->cells + col * table.col_stride;
    };
    std::vector<Numbered> numbered = pool.parallel_filter_map<Numbered>(
        columns.size(), [&, target](std::size_t col) -> std::optional<Numbered> {
            ColumnCells& cells = columns[col];
            if (!cells.categorical()) return std::nullopt;
            LabelEncoding encoding;
            if (cells.texts().size() == table.rows) {
                // An entry per row, in row order: the codes of the entries are those of the rows.
                encoding.forward_map =
                    label_encode_into(cells.texts(), column_start(col), stride, pool);
            } else {
                encoding = label_encode(cells.texts(), pool);
            }
            cells.release();
            return Numbered{col, std::move(encoding)};
        });
    if (numbered.empty()) return {};

    pool.parallel_for_ranges(table.rows, [&, target](std::size_t begin, std::size_t end) {
        for (std::size_t first = begin; first < end; first += rewrite_block_rows) {
            const std::size_t last = std::min(end, first + rewrite_block_rows);
            for (const Numbered& column : numbered) {
                const std::span<const double> codes = column.encoding.codes;
                if (codes.empty()) continue;
                double* const out = column_start(column.col);
                for (std::size_t row = first; row < last; ++row) {
                    double& cell = out[row * stride];
                    const auto entry = static_cast<std::size_t>(cell);
                    VX_ASSERT(entry < codes.size(), "a cell of the table names no entry");
                    cell = codes[entry];
                }
            }
        }
    });

    return pool.parallel_filter_map<CategoricalColumn>(
        numbered.size(), [&](std::size_t i) -> std::optional<CategoricalColumn> {
            Numbered& column = numbered[i];
            column.encoding.codes = std::vector<double>();
            InverseMap inverse = build_inverse_map(column.encoding.forward_map, pool);
            return CategoricalColumn{column.col, std::move(column.encoding.forward_map),
                                     std::move(inverse)};
        });
}

EncodingInfo assemble(std::vector<CategoricalColumn> categorical) {
    EncodingInfo info;
    info.categorical_columns.reserve(categorical.size());
    info.forward_maps.reserve(categorical.size());
    info.inverse_maps.reserve(categorical.size());
    for (CategoricalColumn& column : categorical) {  // ascending: the filter-map keeps index order
        info.categorical_columns.push_back(column.col);
        info.forward_maps.emplace(column.col, std::move(column.forward));
        info.inverse_maps.emplace(column.col, std::move(column.inverse));
    }
    return info;
}

}  // namespace

EncodingInfo encode_table(CollectedTable& input, Table& table, pool::ThreadPool& pool) {
    // A table without rows has no cells to collect, hence no categorical column.
    if (table.rows == 0) return EncodingInfo{};
    VX_ASSERT(input.columns.size() == table.cols, "the collected columns are the table's");
    if (input.columns.empty()) return EncodingInfo{};
    std::vector<CategoricalColumn> categorical;
    // The phases run as nested work of one job, so the workers pass straight from one to the
    // next instead of being handed and woken for each.
    pool.run_inside([&] {
        categorical = input.form == CellForm::PerRow ? encode_columns(input.columns, table, pool)
                                                     : encode_scanned(input.columns, table, pool);
    });
    return assemble(std::move(categorical));
}

}  // namespace vexilo

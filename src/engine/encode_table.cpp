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
    InverseMap inverse;  // empty until built, when the inverse maps are left for later
};

// Rows of all categorical columns rewritten before moving on, in encode_columns.
constexpr std::size_t rewrite_block_rows = 512;

// True when every entry's code is its own index (a collector made its entries in the order of
// their codes): the table's cells then hold their codes already.
bool codes_are_entries(std::span<const double> codes) noexcept {
    for (std::size_t entry = 0; entry < codes.size(); ++entry) {
        if (codes[entry] != static_cast<double>(entry)) return false;
    }
    return true;
}

// Numeric columns are already in place. The columns' entries are numbered in parallel: a column
// with an entry per row gets its codes written straight into its cells; in the others, the
// cells' entry indices are replaced by codes afterwards in one pass over blocks of rows, since
// column by column every pass over a row-major table would read all of it.
std::vector<CategoricalColumn> encode_columns(std::vector<CollectedColumn>& columns, Table& table,
                                              bool inverse_maps, pool::ThreadPool& pool) {
    struct Numbered {
        ColumnIndex col;
        LabelEncoding encoding;  // codes per entry; none when the table holds the codes already
    };
    const std::size_t stride = table.row_stride;
    const auto target = std::make_shared<const SendPtr>(SendPtr{table.data.get()});
    const auto column_start = [&, target](ColumnIndex col) {
        return target->cells + col * table.col_stride;
    };
    std::vector<Numbered> numbered = pool.parallel_filter_map<Numbered>(
        columns.size(), [&, target](std::size_t i) -> std::optional<Numbered> {
            CollectedColumn& column = columns[i];
            ColumnCells& cells = column.cells;
            VX_ASSERT(column.col < table.cols && cells.categorical(),
                      "a column of the table lost cells");
            LabelEncoding encoding;
            const Repeats repeats =
                cells.texts_distinct() ? Repeats::OnlyMarkers : Repeats::Possible;
            if (has_entry_per_row(column, table.rows)) {
                // Entry r is row r's: the codes of the entries are those of the rows.
                encoding.forward_map = label_encode_into(
                    cells.texts(), column_start(column.col), stride, pool,
                    [&] { cells.release_views(); }, repeats);
            } else {
                encoding = label_encode(cells.texts(), pool, repeats);
                if (codes_are_entries(encoding.codes)) encoding.codes = std::vector<double>();
            }
            cells.release();
            return Numbered{column.col, std::move(encoding)};
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
            InverseMap inverse =
                inverse_maps ? build_inverse_map(column.encoding.forward_map, pool) : InverseMap();
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
    return encode_table_forward(input, table, true, pool);
}

EncodingInfo encode_table_forward(CollectedTable& input, Table& table, bool inverse_maps,
                                  pool::ThreadPool& pool) {
    // A table without rows has no cells to collect, hence no categorical column.
    if (table.rows == 0) return EncodingInfo{};
    for (std::size_t i = 1; i < input.categorical.size(); ++i) {
        VX_ASSERT(input.categorical[i - 1].col < input.categorical[i].col,
                  "the collected columns are the table's");
    }
    // A table of numbers is complete already.
    if (input.categorical.empty()) return EncodingInfo{};
    std::vector<CategoricalColumn> categorical;
    // The phases run as nested work of one job, so the workers pass straight from one to the
    // next instead of being handed and woken for each.
    pool.run_inside(
        [&] { categorical = encode_columns(input.categorical, table, inverse_maps, pool); });
    return assemble(std::move(categorical));
}

void add_inverse_maps(EncodingInfo& info, pool::ThreadPool& pool) {
    const std::vector<ColumnIndex>& columns = info.categorical_columns;
    std::vector<InverseMap> inverse(columns.size());
    pool.run_inside([&] {
        pool.parallel_for(columns.size(), [&](std::size_t i) {
            inverse[i] = build_inverse_map(info.forward_maps.at(columns[i]), pool);
        });
    });
    for (std::size_t i = 0; i < columns.size(); ++i) {
        info.inverse_maps.at(columns[i]) = std::move(inverse[i]);
    }
}

}  // namespace vexilo

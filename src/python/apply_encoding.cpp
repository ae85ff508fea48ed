// Encoder.transform's reading and coding: the float64 fast path or the table's collection, then
// transform_table, its failures turned into ValueErrors that name what went wrong.
#include "python/apply_encoding.h"

#include <cstddef>
#include <optional>
#include <utility>

#include "python/collect_table.h"
#include "python/engine_error.h"
#include "python/signal_check.h"

namespace vexilo::py {
namespace {

// The work of coding a table of rows x cols cells under info, in cells: the table's, plus the
// entries of every listed forward map whose index its first lookup builds.
std::size_t coding_work(std::size_t rows, std::size_t cols, const EncodingInfo& info) {
    std::size_t work = table_cells(rows, cols);
    for (const ColumnIndex col : info.categorical_columns) {
        const auto forward = info.forward_maps.find(col);
        if (forward == info.forward_maps.end() || forward->second.indexed()) continue;
        const std::size_t entries = forward->second.size();
        work = work > static_cast<std::size_t>(-1) - entries ? static_cast<std::size_t>(-1)
                                                             : work + entries;
    }
    return work;
}

}  // namespace

Result<Conversion> apply_encoding(PyObject* obj, const EncodingInfo& info, UnknownPolicy unknown,
                                  std::optional<std::size_t> learned_columns,
                                  std::span<const ColumnTurn> turns) {
    TableInput input = VX_TRY(table_input(obj));
    const OutputKind& out = input.out;
    // Numbers read as texts need their cells, which a copy of a float64 array no longer has.
    std::optional<Table> copied =
        turns.empty() && !input.arrow ? VX_TRY(copy_float_array(obj)) : std::optional<Table>();
    Outcome coded = Unit{};
    Table table;
    if (copied) {
        // The numbers of a float64 array are in the table already, as a reader leaves the
        // numeric columns it reads.
        table = std::move(*copied);
        CollectedTable numbers;
        VX_TRY(run_on_pool(coding_work(table.rows, table.cols, info),
                           [&] { coded = transform_table(numbers, table, info, unknown); }));
    } else {
        Collection collected = VX_TRY(collect_input(obj, input, turns));
        VX_TRY(run_on_pool(coding_work(collected.table.rows, collected.table.cols, info), [&] {
            coded = transform_table(collected.columns, collected.table, info, unknown);
        }));
        table = std::move(collected.table);
    }
    if (!coded) return transform_error(coded.error(), out, table.cols, learned_columns);
    return Conversion{std::move(input.out), std::move(table), std::nullopt};
}

}  // namespace vexilo::py

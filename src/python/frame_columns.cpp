// A pandas frame's columns read from their memory: object columns by the scan on the calling
// thread, the planned ones by the engine on the worker pool, then merged by column.
#include "python/frame_columns.h"

#include <utility>
#include <vector>

#include "engine/column_plan.h"
#include "python/engine_error.h"
#include "python/frame_plan.h"
#include "python/object_scan.h"
#include "python/pandas_arrays.h"
#include "python/signal_check.h"
#include "python/table_allocation.h"

namespace vexilo::py {
namespace {

// True when some column turned before the first row is one of numbers in memory, whose cells'
// texts only the frame's values hold.
bool numbers_turned_before(const FramePlan& plan, std::span<const ColumnTurn> turns) {
    for (std::size_t col = 0; col < turns.size(); ++col) {
        const FrameColumn& column = plan.columns[col];
        const bool numbers =
            !column.objects && (column.planned.reader == PlannedColumn::Reader::numbers ||
                                column.planned.reader == PlannedColumn::Reader::arrow_numbers);
        if (turns[col] == ColumnTurn::Before && numbers) return true;
    }
    return false;
}

}  // namespace

Result<std::optional<Collection>> collect_frame_columns(PyObject* frame, std::size_t rows,
                                                        std::size_t cols, const OutputKind& out,
                                                        std::span<const ColumnTurn> turns) {
    using Collected = std::optional<Collection>;
    const std::optional<Pandas> pandas = VX_TRY(Pandas::of_frame(frame));
    if (!pandas) return Collected();
    std::optional<FramePlan> plan = VX_TRY(plan_frame(frame, rows, cols, *pandas, out));
    if (!plan || numbers_turned_before(*plan, turns)) return Collected();
    // pandas keeps a frame's columns one by one: a column-major table takes each as a block.
    Table table = VX_TRY(new_table(rows, cols, Layout::ColumnMajor));

    ScanSource objects;
    std::vector<ColumnTurn> scanned_turns;
    std::vector<PlannedColumn> planned;
    for (FrameColumn& column : plan->columns) {
        const bool before = !turns.empty() && turns[column.planned.col] == ColumnTurn::Before;
        if (column.objects) {
            objects.add_column(std::move(column.memory_array), column.memory, column.planned.col);
            if (!turns.empty()) scanned_turns.push_back(turns[column.planned.col]);
        } else {
            // Arrow texts and categories then read every missing cell as one after a text.
            column.planned.turned_before = before;
            planned.push_back(column.planned);
        }
    }
    std::optional<std::vector<CollectedColumn>> scanned =
        VX_TRY(scan_columns(objects, rows, table, pandas->missing(), plan->pins, scanned_turns));
    if (!scanned) return Collected();
    std::optional<Expected<std::vector<CollectedColumn>>> read;
    VX_TRY(run_on_pool(table_cells(rows, planned.size()),
                       [&] { read.emplace(read_planned_columns(planned, table)); }));
    if (!*read) {
        // A stray category code: the frame's values say what pandas makes of it.
        if (read->error().kind == ErrorKind::stray_code) return Collected();
        return to_python_error(read->error(), out);
    }

    Collection collected;
    collected.arrow = std::move(plan->arrow);
    collected.pins = std::move(plan->pins);
    collected.table = std::move(table);
    collected.columns.categorical = merge_columns(std::move(*scanned), std::move(*read).value());
    return Collected(std::move(collected));
}

}  // namespace vexilo::py

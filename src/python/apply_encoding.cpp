// Encoder.transform's reading and coding: the float64 fast path or the object-array collection,
// then transform_table, its failures turned into ValueErrors that name what went wrong.
#include "python/apply_encoding.h"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "python/encode_object_array.h"
#include "python/signal_check.h"

namespace vexilo::py {
namespace {

// The column counts of the table being coded and, where known, of the one the state was learned
// from.
struct TableWidths {
    std::size_t table;
    std::optional<std::size_t> learned;
};

// Python's repr of a UTF-8 text ('blue'), invalid bytes replaced.
Result<std::string> quoted(std::string_view text) {
    PyRef value = VX_TRY(checked(
        PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace")));
    PyRef repr = VX_TRY(checked(PyObject_Repr(value.get())));
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(repr.get(), &size);
    if (!utf8) return PyErr::fetch();
    return std::string(utf8, static_cast<std::size_t>(size));
}

// "column 2", or for a frame "column 2 ('colour')".
Result<std::string> column_label(ColumnIndex col, const OutputKind& out) {
    std::string label = "column " + std::to_string(col);
    if (out.kind == OutputKind::Kind::DataFrame && col < out.column_names.size()) {
        label += " (" + VX_TRY(quoted(out.column_names[col])) + ")";
    }
    return label;
}

// What the engine's error means for this table: a text in a column at or beyond the learned
// table's width is an extra column rather than a numeric column, when that width is known.
Result<std::string> failure_message(const TransformError& error, const OutputKind& out,
                                    const TableWidths& widths) {
    std::string message;
    switch (error.kind) {
        case TransformError::Kind::ColumnMissing:
            message = "the learned encoding lists column " + std::to_string(error.column) +
                      " as categorical, but the table has " + std::to_string(error.count) +
                      " columns";
            break;
        case TransformError::Kind::TextInNumericColumn:
            if (widths.learned && error.column >= *widths.learned) {
                message = "the table has " + std::to_string(widths.table) +
                          " columns, more than the " + std::to_string(*widths.learned) +
                          " of the learned encoding: " + VX_TRY(column_label(error.column, out)) +
                          " holds the text " + VX_TRY(quoted(error.text)) + " at row " +
                          std::to_string(error.row);
                break;
            }
            message = VX_TRY(column_label(error.column, out)) + " holds the text " +
                      VX_TRY(quoted(error.text)) + " at row " + std::to_string(error.row) +
                      ", but the learned encoding has it as a column of numbers";
            break;
        case TransformError::Kind::UnseenText:
            message = VX_TRY(column_label(error.column, out)) + " holds " +
                      VX_TRY(quoted(error.text)) + " at row " + std::to_string(error.row) +
                      ", a text not seen when the encoding was learned (unseen cells in the "
                      "column: " +
                      std::to_string(error.count) + ")";
            break;
    }
    return message;
}

// The ValueError for error, or the error of making its message.
PyErr transform_failure(const TransformError& error, const OutputKind& out,
                        const TableWidths& widths) {
    Result<std::string> message = failure_message(error, out, widths);
    if (!message) return std::move(message).error();
    return PyErr::make(PyExc_ValueError, message.value());
}

}  // namespace

Result<Conversion> apply_encoding(PyObject* obj, const EncodingInfo& info, UnknownPolicy unknown,
                                  std::optional<std::size_t> learned_columns,
                                  std::span<const ColumnTurn> turns) {
    OutputKind out = VX_TRY(output_kind_of(obj));
    // Numbers read as texts need their cells, which a copy of a float64 array no longer has.
    std::optional<Table> copied =
        turns.empty() ? VX_TRY(copy_float_array(obj)) : std::optional<Table>();
    std::optional<TransformError> error;
    Table table;
    if (copied) {
        // The numbers of a float64 array are in the table already, as the scan leaves the
        // numeric columns it reads.
        table = std::move(*copied);
        CollectedTable numbers{{}, {}, CellForm::EntryIndices};
        VX_TRY(run_on_pool([&] { error = transform_table(numbers, table, info, unknown); }));
    } else {
        CollectedObjectArray collected =
            VX_TRY(collect_object_array(obj, out.kind == OutputKind::Kind::DataFrame, turns));
        VX_TRY(run_on_pool(
            [&] { error = transform_table(collected.columns, collected.table, info, unknown); }));
        table = std::move(collected.table);
    }
    if (error) return transform_failure(*error, out, TableWidths{table.cols, learned_columns});
    return Conversion{std::move(out), std::move(table), std::nullopt};
}

}  // namespace vexilo::py

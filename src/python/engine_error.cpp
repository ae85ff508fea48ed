// Engine errors as ValueErrors, with the texts that name what went wrong and where.
#include "python/engine_error.h"

#include <string>
#include <string_view>

namespace vexilo::py {
namespace {

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

Result<std::string> message_of(const Error& error, const OutputKind& out) {
    const std::string row = std::to_string(error.row);
    switch (error.kind) {
        case ErrorKind::column_missing:
            return "the learned encoding lists column " + std::to_string(error.column) +
                   " as categorical, but the table has " + std::to_string(error.count) + " columns";
        case ErrorKind::text_in_numeric_column:
            return VX_TRY(column_label(error.column, out)) + " holds the text " +
                   VX_TRY(quoted(error.text)) + " at row " + row +
                   ", but the learned encoding has it as a column of numbers";
        case ErrorKind::unseen_text:
            return VX_TRY(column_label(error.column, out)) + " holds " +
                   VX_TRY(quoted(error.text)) + " at row " + row +
                   ", a text not seen when the encoding was learned (unseen cells in the "
                   "column: " +
                   std::to_string(error.count) + ")";
        case ErrorKind::invalid_text:
            return VX_TRY(column_label(error.column, out)) + " holds a text that is not valid " +
                   "UTF-8 at row " + row + "; nothing was learned from the table";
        case ErrorKind::stray_code:
        case ErrorKind::invalid_memory:
            return VX_TRY(column_label(error.column, out)) +
                   " is held in memory that breaks its format (" + error.message +
                   "); nothing was read from the table";
        case ErrorKind::unsupported:
        case ErrorKind::producer_failed:
        case ErrorKind::invalid_state:
            break;
    }
    return error.message;
}

}  // namespace

// "column 2", or for a table with column names "column 2 ('colour')".
Result<std::string> column_label(std::size_t col, const OutputKind& out) {
    std::string label = "column " + std::to_string(col);
    if (out.kind != OutputKind::Kind::NdArray && col < out.column_names.size()) {
        label += " (" + VX_TRY(quoted(out.column_names[col])) + ")";
    }
    return label;
}

PyErr to_python_error(const Error& error, const OutputKind& out) {
    Result<std::string> message = message_of(error, out);
    if (!message) return std::move(message).error();
    return PyErr::make(PyExc_ValueError, message.value());
}

PyErr to_python_error(const Error& error) { return to_python_error(error, OutputKind{}); }

PyErr transform_error(const Error& error, const OutputKind& out, std::size_t table_columns,
                      std::optional<std::size_t> learned_columns) {
    if (error.kind != ErrorKind::text_in_numeric_column || !learned_columns ||
        error.column < *learned_columns) {
        return to_python_error(error, out);
    }
    Result<std::string> message = [&]() -> Result<std::string> {
        return "the table has " + std::to_string(table_columns) + " columns, more than the " +
               std::to_string(*learned_columns) +
               " of the learned encoding: " + VX_TRY(column_label(error.column, out)) +
               " holds the text " + VX_TRY(quoted(error.text)) + " at row " +
               std::to_string(error.row);
    }();
    if (!message) return std::move(message).error();
    return PyErr::make(PyExc_ValueError, message.value());
}

}  // namespace vexilo::py

// The cell rule: float() and str() of a cell, with the shortcuts that need no call for the plain
// types, and the lenient reading of texts that have no UTF-8 form.
#include "python/cell_rule.h"

#include <limits>
#include <string_view>

#include "python/error_policy.h"

namespace vexilo::py {
namespace {

// float() of a cell that needs Python for it: a number, nothing when the cell does not convert
// (its exception discarded), or an interrupt raised by the cell's own code.
Result<std::optional<double>> python_number(PyObject* cell) {
    const double value = PyFloat_AsDouble(cell);
    if (value == -1.0 && PyErr_Occurred()) {
        if (auto interrupt = discard_pending_error()) return std::move(*interrupt);
        return std::optional<double>();
    }
    return std::optional<double>(value);
}

// A text with lone surrogates has no UTF-8 form: pass them through, then decode the bytes
// leniently, each invalid sequence becoming U+FFFD.
Status append_lenient_text(ColumnCells& column, PyObject* text) {
    PyRef bytes = PyRef::steal(PyUnicode_AsEncodedString(text, "utf-8", "surrogatepass"));
    if (!bytes) return interrupt_or_throw(PyErr::fetch(), unhandled_error);
    PyRef clean = PyRef::steal(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(bytes.get()),
                                                    PyBytes_GET_SIZE(bytes.get()), "replace"));
    Py_ssize_t size = 0;
    const char* utf8 = clean ? PyUnicode_AsUTF8AndSize(clean.get(), &size) : nullptr;
    if (!utf8) return interrupt_or_throw(PyErr::fetch(), unhandled_error);
    column.add_text(std::string_view(utf8, static_cast<std::size_t>(size)));
    return Unit{};
}

// Appends the text of a cell that is not a number: a str's own text (viewed and pinned with
// pins), "None" for None, else str() of the cell.
Status append_text(ColumnCells& column, PyRef cell, Pins* pins) {
    PyObject* const object = cell.get();
    if (PyUnicode_CheckExact(object)) {
        // str() of an exact str is the object itself: take its text without a call.
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(object, &size);
        if (!utf8) {
            if (auto interrupt = discard_pending_error()) return std::move(*interrupt);
            return append_lenient_text(column, object);
        }
        const std::string_view text(utf8, static_cast<std::size_t>(size));
        if (pins) {
            column.add_view(text);
            pins->push_back(std::move(cell));
        } else {
            column.add_text(text);
        }
        return Unit{};
    }
    if (object == Py_None) {
        column.add_text("None");
        return Unit{};
    }
    PyRef text = PyRef::steal(PyObject_Str(object));
    if (!text) return interrupt_or_throw(PyErr::fetch(), str_failure);
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size);
    if (!utf8) {
        if (auto interrupt = discard_pending_error()) return std::move(*interrupt);
        return append_lenient_text(column, text.get());
    }
    column.add_text(std::string_view(utf8, static_cast<std::size_t>(size)));
    return Unit{};
}

}  // namespace

Status append_cell(ColumnCells& column, PyRef cell, Pins* pins) {
    if (!column.categorical()) {
        const PlainCell plain = classify_cell(cell.get(), nullptr);
        if (plain.kind == CellClass::number) {
            column.add_number(plain.number);
            return Unit{};
        }
        if (plain.kind == CellClass::needs_python) {
            const std::optional<double> number = VX_TRY(python_number(cell.get()));
            if (number) {
                column.add_number(*number);
                return Unit{};
            }
        }
    }
    return append_text(column, std::move(cell), pins);
}

Status append_missing_number(ColumnCells& column) {
    constexpr double missing = std::numeric_limits<double>::quiet_NaN();
    if (!column.categorical()) {
        column.add_number(missing);
        return Unit{};
    }
    PyRef number = PyRef::steal(PyFloat_FromDouble(missing));
    if (!number) return interrupt_or_throw(PyErr::fetch(), unhandled_error);
    return append_cell(column, std::move(number), nullptr);
}

}  // namespace vexilo::py

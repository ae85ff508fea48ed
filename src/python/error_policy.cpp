// Stops, interrupts and checked table allocation for the conversion of the caller's table.
#include "python/conversion_support.h"

#include <limits>
#include <memory>

#include "engine/internal_failure.h"

namespace vexilo::py {

bool is_interrupt(const PyErr& error) noexcept { return !error.matches(PyExc_Exception); }

std::string describe(const PyErr& error) {
    std::string text = type_qualname(error.value());
    PyRef message = PyRef::steal(PyObject_Str(error.value()));
    Py_ssize_t size = 0;
    const char* utf8 = message ? PyUnicode_AsUTF8AndSize(message.get(), &size) : nullptr;
    if (!utf8) {
        PyErr_Clear();  // an exception that cannot print itself is still described by its type
        return text;
    }
    if (size > 0) {
        text += ": ";
        text.append(utf8, static_cast<std::size_t>(size));
    }
    return text;
}

PyErr stop(PyErr error, std::string_view what) {
    if (is_interrupt(error)) return error;
    std::string message(what);
    message += ": ";
    message += describe(error);
    throw InternalFailure(message);
}

std::optional<PyErr> discard_pending_error() {
    PyErr error = PyErr::fetch();
    if (is_interrupt(error)) return error;
    return std::nullopt;
}

Result<Table> uninitialised_table(std::size_t rows, std::size_t cols, bool column_major) {
    constexpr std::size_t most_cells = std::numeric_limits<std::size_t>::max() / sizeof(double);
    if (rows != 0 && cols > most_cells / rows) {
        return PyErr::make(PyExc_MemoryError, "a table of " + std::to_string(rows) + " x " +
                                                  std::to_string(cols) +
                                                  " cells does not fit in memory");
    }
    Table table;
    // Every cell is written by the caller, so the buffer is not zeroed first.
    table.data = allocate_cells(rows * cols);
    table.rows = rows;
    table.cols = cols;
    table.row_stride = column_major ? 1 : cols;
    table.col_stride = column_major ? rows : 1;
    return table;
}

}  // namespace vexilo::py

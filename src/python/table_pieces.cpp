// Pieces of a table: each piece read as collect_table reads it, with each column's turn set from
// outside; texts handed over as sorted lists in two bytes objects.
#include "python/table_pieces.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/column_turn.h"
#include "engine/text_list.h"
#include "python/collect_table.h"
#include "python/encoder.h"
#include "python/read_table.h"
#include "python/signal_check.h"

namespace vexilo::py {
namespace {

// The turns argument: per column, None (the piece decides), 0 (the column turned before the
// piece's first row) or the piece's row count (it turns after its last row). rows of the other
// values are checked against the table once its shape is known.
struct Turns {
    std::vector<ColumnTurn> turns;  // empty when every column decides for itself
    std::vector<std::size_t> after_rows;
};

Result<Turns> parse_turns(PyObject* argument) {
    Turns parsed;
    if (!argument || argument == Py_None) return parsed;
    PyRef items = VX_TRY(checked(PySequence_Fast(argument, "turns must be a sequence")));
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(items.get());
    bool any = false;
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* const item = PySequence_Fast_GET_ITEM(items.get(), i);
        if (item == Py_None) {
            parsed.turns.push_back(ColumnTurn::Natural);
            continue;
        }
        if (!PyLong_Check(item)) {
            return PyErr::make(PyExc_TypeError,
                               "a turn must be None or an int, not '" + type_qualname(item) + "'");
        }
        const std::size_t row = PyLong_AsSize_t(item);
        if (row == static_cast<std::size_t>(-1) && PyErr_Occurred()) return PyErr::fetch();
        any = true;
        if (row == 0) {
            parsed.turns.push_back(ColumnTurn::Before);
        } else {
            parsed.turns.push_back(ColumnTurn::After);
            parsed.after_rows.push_back(row);
        }
    }
    if (!any) parsed.turns.clear();  // the table read as a whole
    return parsed;
}

// A column turns before the first row (0) or after the last (the row count), nowhere between.
Status check_turn_rows(const Turns& turns, std::size_t rows) {
    for (std::size_t row : turns.after_rows) {
        if (row != rows) {
            return PyErr::make(PyExc_ValueError,
                               "a column can turn at row 0 or at the row count (" +
                                   std::to_string(rows) + "), not at row " + std::to_string(row));
        }
    }
    return Unit{};
}

Result<PyRef> bytes_of(const char* data, std::size_t size) {
    return checked(PyBytes_FromStringAndSize(data, static_cast<Py_ssize_t>(size)));
}

// (bytes, ends): the text list as two bytes objects.
Result<PyRef> text_list_object(const TextList& list) {
    PyRef bytes = VX_TRY(bytes_of(list.bytes.data(), list.bytes.size()));
    PyRef ends = VX_TRY(bytes_of(reinterpret_cast<const char*>(list.ends.data()),
                                 list.ends.size() * sizeof(std::uint64_t)));
    return checked(PyTuple_Pack(2, bytes.get(), ends.get()));
}

// A view of a (bytes, ends) pair (borrowed: the objects must outlive the view), checked to be well
// formed; what names the argument in messages.
Result<TextListView> text_list_view(PyObject* object, const char* what) {
    const auto invalid = [&](const std::string& why) {
        return PyErr::make(PyExc_ValueError, std::string(what) + " " + why);
    };
    if (!PyTuple_Check(object) || PyTuple_GET_SIZE(object) != 2 ||
        !PyBytes_Check(PyTuple_GET_ITEM(object, 0)) ||
        !PyBytes_Check(PyTuple_GET_ITEM(object, 1))) {
        return invalid("is not a text list: a tuple of two bytes objects (texts, ends)");
    }
    PyObject* const bytes = PyTuple_GET_ITEM(object, 0);
    PyObject* const ends = PyTuple_GET_ITEM(object, 1);
    const auto ends_size = static_cast<std::size_t>(PyBytes_GET_SIZE(ends));
    if (ends_size % sizeof(std::uint64_t) != 0) {
        return invalid("has ends that are not a whole number of 64-bit offsets");
    }
    const TextListView view(std::string_view(PyBytes_AS_STRING(bytes),
                                             static_cast<std::size_t>(PyBytes_GET_SIZE(bytes))),
                            PyBytes_AS_STRING(ends), ends_size / sizeof(std::uint64_t));
    if (!view.well_formed()) {
        return invalid("has ends that decrease or do not end at the last byte of its texts");
    }
    return view;
}

Result<std::vector<bool>> requested_columns(PyObject* argument, std::size_t cols) {
    if (!argument || argument == Py_None) return std::vector<bool>(cols, true);
    std::vector<bool> requested(cols, false);
    PyRef items = VX_TRY(checked(PySequence_Fast(argument, "columns must be a sequence")));
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(items.get()); ++i) {
        const std::size_t col = PyLong_AsSize_t(PySequence_Fast_GET_ITEM(items.get(), i));
        if (col == static_cast<std::size_t>(-1) && PyErr_Occurred()) return PyErr::fetch();
        if (col >= cols) {
            return PyErr::make(PyExc_ValueError, "column " + std::to_string(col) +
                                                     " is not among the table's " +
                                                     std::to_string(cols));
        }
        requested[col] = true;
    }
    return requested;
}

}  // namespace

Result<PyRef> table_texts(PyObject* table, PyObject* turns_argument, PyObject* columns_argument) {
    const Turns turns = VX_TRY(parse_turns(turns_argument));
    const OutputKind out = VX_TRY(output_kind_of(table));
    Collection collected = VX_TRY(collect_table(table, out, turns.turns));
    const std::size_t rows = collected.table.rows;
    const std::size_t cols = collected.table.cols;
    VX_TRY(check_turn_rows(turns, rows));
    const std::vector<bool> requested = VX_TRY(requested_columns(columns_argument, cols));

    // Only the categorical columns are collected as columns, in ascending order.
    const std::vector<CollectedColumn>& columns = collected.columns.categorical;
    std::vector<TextList> lists;
    VX_TRY(run_on_pool([&] { lists = column_text_lists(columns, requested); }));

    PyRef result = VX_TRY(checked(PyList_New(static_cast<Py_ssize_t>(cols))));
    for (std::size_t col = 0; col < cols; ++col) {
        PyList_SET_ITEM(result.get(), static_cast<Py_ssize_t>(col), Py_NewRef(Py_None));
    }
    for (std::size_t i = 0; i < columns.size(); ++i) {
        const CollectedColumn& column = columns[i];
        PyRef first = VX_TRY(checked(PyLong_FromSize_t(column.cells.first_text_row())));
        PyRef texts = PyRef::borrow(Py_None);
        if (requested[column.col]) texts = VX_TRY(text_list_object(lists[i]));
        PyRef item = VX_TRY(checked(PyTuple_Pack(2, first.get(), texts.get())));
        // The list's own reference to None is dropped; the item's taken over.
        PyList_SetItem(result.get(), static_cast<Py_ssize_t>(column.col), item.release());
    }
    return result;
}

Result<PyRef> merge_texts(PyObject* argument) {
    // The sequence keeps the lists alive: nothing below runs Python code that could change it.
    PyRef items = VX_TRY(checked(PySequence_Fast(argument, "lists must be a sequence")));
    std::vector<TextListView> lists;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(items.get()); ++i) {
        lists.push_back(VX_TRY(text_list_view(PySequence_Fast_GET_ITEM(items.get(), i),
                                              ("text list " + std::to_string(i)).c_str())));
    }
    TextList merged;
    VX_TRY(run_on_pool([&] { merged = merge_text_lists(lists); }));
    return text_list_object(merged);
}

// width: the column count of the table the texts came from, or None (or absent) where unknown.
Result<PyRef> encoder_from_texts(PyObject* texts, PyObject* width) {
    std::optional<std::size_t> learned_columns;
    if (width && width != Py_None) {
        const std::size_t count = PyLong_AsSize_t(width);
        if (count == static_cast<std::size_t>(-1) && PyErr_Occurred()) return PyErr::fetch();
        learned_columns = count;
    }
    if (!PyDict_Check(texts)) {
        return PyErr::make(PyExc_TypeError,
                           "texts must be a dict from column index to text list, not '" +
                               type_qualname(texts) + "'");
    }
    // The dict keeps the bytes alive: nothing below runs Python code that could change it.
    std::vector<std::pair<ColumnIndex, std::vector<std::string_view>>> columns;
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(texts, &position, &key, &value)) {
        if (!PyLong_CheckExact(key)) {
            return PyErr::make(PyExc_TypeError,
                               "a column index must be an int, not '" + type_qualname(key) + "'");
        }
        const std::size_t col = PyLong_AsSize_t(key);
        if (col == static_cast<std::size_t>(-1) && PyErr_Occurred()) return PyErr::fetch();
        const TextListView list = VX_TRY(text_list_view(value, "a column's text list"));
        std::vector<std::string_view> views(list.size());
        for (std::size_t i = 0; i < list.size(); ++i) views[i] = list[i];
        columns.emplace_back(col, std::move(views));
    }
    std::sort(columns.begin(), columns.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    EncodingInfo info;
    VX_TRY(run_on_pool([&] { info = encoding_from_texts(columns); }));
    return new_encoder_with(std::move(info), learned_columns);
}

Result<PyRef> transform_table_piece(PyObject* encoder, PyObject* table, PyObject* turns_argument,
                                    PyObject* unknown) {
    const Turns turns = VX_TRY(parse_turns(turns_argument));
    PyRef codes = VX_TRY(transform_piece(encoder, table, turns.turns, unknown));
    // The row count is known once the table is read; turns within it were read as after it.
    PyRef shape = VX_TRY(checked(PyObject_GetAttrString(codes.get(), "shape")));
    const std::size_t rows = PyLong_AsSize_t(PyTuple_GetItem(shape.get(), 0));
    if (rows == static_cast<std::size_t>(-1) && PyErr_Occurred()) return PyErr::fetch();
    VX_TRY(check_turn_rows(turns, rows));
    return codes;
}

}  // namespace vexilo::py

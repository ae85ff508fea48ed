// Building a learned state from given labels and codes: the maps that encoding would have built,
// had it numbered the labels in the given way.
#include "python/encoder_from_labels.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/encoding_info.h"
#include "engine/label_encode.h"  // is_missing_marker
#include "python/encoder.h"

namespace vexilo::py {
namespace {

// Codes stay exact as doubles up to 2**53.
constexpr std::uint64_t largest_code = std::uint64_t{1} << 53;

Result<std::optional<std::size_t>> column_count(PyObject* argument) {
    if (!argument || argument == Py_None) return std::optional<std::size_t>();
    const std::size_t count = PyLong_AsSize_t(argument);
    if (count == static_cast<std::size_t>(-1) && PyErr_Occurred()) return PyErr::fetch();
    return std::optional<std::size_t>(count);
}

Result<ColumnIndex> column_key(PyObject* key) {
    if (!PyLong_CheckExact(key)) {
        return PyErr::make(PyExc_TypeError,
                           "a column index must be an int, not '" + type_qualname(key) + "'");
    }
    const std::size_t col = PyLong_AsSize_t(key);
    if (col == static_cast<std::size_t>(-1) && PyErr_Occurred()) return PyErr::fetch();
    return col;
}

Result<std::uint64_t> code_at(PyObject* codes, Py_ssize_t i, ColumnIndex col) {
    PyObject* const item = PyTuple_GET_ITEM(codes, i);
    if (!PyLong_Check(item) || PyBool_Check(item)) {
        return PyErr::make(PyExc_TypeError, "a code must be an int, not '" + type_qualname(item) +
                                                "' (column " + std::to_string(col) + ")");
    }
    const unsigned long long code = PyLong_AsUnsignedLongLong(item);
    if (PyErr_Occurred() || code > largest_code) {
        PyErr_Clear();
        return PyErr::make(PyExc_ValueError, "column " + std::to_string(col) +
                                                 " has a code that is negative or past 2**53");
    }
    return static_cast<std::uint64_t>(code);
}

// The forward map of one column: labels (a sequence) by position or by codes (a sequence or null).
Result<ForwardMap> forward_map_of(ColumnIndex col, PyObject* labels, PyObject* codes) {
    const std::string where = " (column " + std::to_string(col) + ")";
    // Tuples of their own: turning codes into one may run Python code, which could change a
    // list of labels.
    PyRef label_items = VX_TRY(checked(PySequence_Tuple(labels)));
    PyRef code_items;
    if (codes) code_items = VX_TRY(checked(PySequence_Tuple(codes)));
    const Py_ssize_t count = PyTuple_GET_SIZE(label_items.get());
    if (codes && PyTuple_GET_SIZE(code_items.get()) != count) {
        return PyErr::make(PyExc_ValueError,
                           "column " + std::to_string(col) + " has not as many codes as labels");
    }
    // The tuples keep their items alive, and nothing below runs Python code.
    ForwardMap forward;
    forward.reserve(static_cast<std::size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* const item = PyTuple_GET_ITEM(label_items.get(), i);
        if (!PyUnicode_Check(item)) {
            return PyErr::make(PyExc_TypeError,
                               "a label must be a str, not '" + type_qualname(item) + "'" + where);
        }
        Py_ssize_t size = 0;
        const char* data = PyUnicode_AsUTF8AndSize(item, &size);
        if (!data) return PyErr::fetch();
        const std::string_view text(data, static_cast<std::size_t>(size));
        if (is_missing_marker(text)) {
            return PyErr::make(PyExc_ValueError, "the label '" + std::string(text) +
                                                     "' is a missing-value marker, which gets "
                                                     "no code" +
                                                     where);
        }
        const std::uint64_t code =
            code_items ? VX_TRY(code_at(code_items.get(), i, col)) : static_cast<std::uint64_t>(i);
        if (!forward.try_emplace(text, code).second) {
            return PyErr::make(PyExc_ValueError,
                               "the label '" + std::string(text) + "' is given twice" + where);
        }
    }
    return forward;
}

}  // namespace

Result<PyRef> encoder_from_labels(PyObject* labels, PyObject* codes, PyObject* columns) {
    const std::optional<std::size_t> learned_columns = VX_TRY(column_count(columns));
    if (!PyDict_Check(labels)) {
        return PyErr::make(PyExc_TypeError,
                           "labels must be a dict from column index to labels, not '" +
                               type_qualname(labels) + "'");
    }
    if (codes == Py_None) codes = nullptr;
    if (codes && !PyDict_Check(codes)) {
        return PyErr::make(
            PyExc_TypeError,
            "codes must be a dict from column index to codes, not '" + type_qualname(codes) + "'");
    }
    std::vector<std::pair<ColumnIndex, ForwardMap>> maps;
    // The items are taken first, with references of their own: turning a value into a sequence
    // may run its Python code, which could change either dict.
    PyRef items = VX_TRY(checked(PyDict_Items(labels)));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
        PyObject* const item = PyList_GET_ITEM(items.get(), i);
        PyObject* const key = PyTuple_GET_ITEM(item, 0);
        const ColumnIndex col = VX_TRY(column_key(key));
        PyRef column_codes;
        if (codes) {
            // Held at once: the lookup may compare other keys through their Python code.
            PyObject* const found = PyDict_GetItemWithError(codes, key);
            if (!found) {
                if (PyErr_Occurred()) return PyErr::fetch();
                return PyErr::make(PyExc_ValueError,
                                   "codes has no entry for column " + std::to_string(col));
            }
            column_codes = PyRef::borrow(found);
        }
        maps.emplace_back(
            col, VX_TRY(forward_map_of(col, PyTuple_GET_ITEM(item, 1), column_codes.get())));
    }
    std::sort(maps.begin(), maps.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    EncodingInfo info;
    info.categorical_columns.reserve(maps.size());
    for (auto& [col, forward] : maps) {
        info.categorical_columns.push_back(col);
        info.inverse_maps.emplace(col, invert_forward_map(forward));
        info.forward_maps.emplace(col, std::move(forward));
    }
    return new_encoder_with(std::move(info), learned_columns);
}

}  // namespace vexilo::py

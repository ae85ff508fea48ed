// The labels of each learned column in code order, placed by code when the codes are 0 .. k-1.
#include "python/learned_categories.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "python/label_column.h"  // new_str

namespace vexilo::py {
namespace {

using Label = std::pair<std::uint64_t, std::string_view>;

std::vector<Label> labels_of(const EncodingInfo& info, ColumnIndex col) {
    std::vector<Label> labels;
    if (const auto inverse = info.inverse_maps.find(col); inverse != info.inverse_maps.end()) {
        labels.reserve(inverse->second.size());
        for (const auto& [code, label] : inverse->second) labels.emplace_back(code, label);
    } else if (const auto forward = info.forward_maps.find(col);
               forward != info.forward_maps.end()) {
        for (const auto& [label, code] : forward->second) {
            if (code) labels.emplace_back(*code, label);
        }
    }
    return labels;
}

// The labels as a list by code when their codes are exactly 0 .. k-1.
Result<std::optional<PyRef>> positional_list(const std::vector<Label>& labels) {
    std::vector<std::string_view> by_code(labels.size());
    std::vector<bool> placed(labels.size(), false);
    for (const auto& [code, label] : labels) {
        if (code >= labels.size() || placed[static_cast<std::size_t>(code)]) {
            return std::optional<PyRef>();
        }
        placed[static_cast<std::size_t>(code)] = true;
        by_code[static_cast<std::size_t>(code)] = label;
    }
    PyRef list = VX_TRY(checked(PyList_New(static_cast<Py_ssize_t>(labels.size()))));
    Py_ssize_t slot = 0;
    for (std::string_view label : by_code) {
        PyList_SET_ITEM(list.get(), slot++, VX_TRY(new_str(label)).release());
    }
    return std::optional<PyRef>(std::move(list));
}

Result<PyRef> code_dict(std::vector<Label> labels) {
    std::sort(labels.begin(), labels.end(),
              [](const Label& a, const Label& b) { return a.first < b.first; });
    PyRef dict = VX_TRY(checked(PyDict_New()));
    for (const auto& [code, label] : labels) {
        PyRef key = VX_TRY(checked(PyLong_FromUnsignedLongLong(code)));
        PyRef value = VX_TRY(new_str(label));
        if (PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) return PyErr::fetch();
    }
    return dict;
}

// The labels of an inverse map that holds the codes 0 .. k-1 in that order (as encoding builds
// it) as a list, straight from the map; nothing for any other map.
Result<std::optional<PyRef>> list_in_map_order(const InverseMap& inverse) {
    std::uint64_t expected = 0;
    for (const auto& entry : inverse) {
        if (entry.first != expected++) return std::optional<PyRef>();
    }
    PyRef list = VX_TRY(checked(PyList_New(static_cast<Py_ssize_t>(inverse.size()))));
    Py_ssize_t slot = 0;
    for (const auto& entry : inverse) {
        PyList_SET_ITEM(list.get(), slot++, VX_TRY(new_str(entry.second)).release());
    }
    return std::optional<PyRef>(std::move(list));
}

Result<PyRef> column_categories(const EncodingInfo& info, ColumnIndex col) {
    if (const auto inverse = info.inverse_maps.find(col); inverse != info.inverse_maps.end()) {
        std::optional<PyRef> list = VX_TRY(list_in_map_order(inverse->second));
        if (list) return std::move(*list);
    }
    const std::vector<Label> labels = labels_of(info, col);
    std::optional<PyRef> list = VX_TRY(positional_list(labels));
    if (list) return std::move(*list);
    return code_dict(labels);
}

}  // namespace

std::size_t learned_label_count(const EncodingInfo& info, ColumnIndex col) noexcept {
    if (const auto inverse = info.inverse_maps.find(col); inverse != info.inverse_maps.end()) {
        return inverse->second.size();
    }
    const auto forward = info.forward_maps.find(col);
    if (forward == info.forward_maps.end()) return 0;
    std::size_t count = 0;
    for (const auto& entry : forward->second) {
        if (entry.second) ++count;
    }
    return count;
}

Result<PyRef> fresh_categories(PyObject* categories) {
    PyRef result = VX_TRY(checked(PyDict_New()));
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* labels = nullptr;
    while (PyDict_Next(categories, &position, &key, &labels)) {
        PyRef copy = PyList_CheckExact(labels)
                         ? VX_TRY(checked(PyList_GetSlice(labels, 0, PY_SSIZE_T_MAX)))
                         : VX_TRY(checked(PyDict_Copy(labels)));
        if (PyDict_SetItem(result.get(), key, copy.get()) < 0) return PyErr::fetch();
    }
    return result;
}

Result<PyRef> learned_categories(const EncodingInfo* info) {
    PyRef result = VX_TRY(checked(PyDict_New()));
    if (!info) return result;
    for (const ColumnIndex col : info->categorical_columns) {
        PyRef key = VX_TRY(checked(PyLong_FromSize_t(col)));
        const int present = PyDict_Contains(result.get(), key.get());
        if (present < 0) return PyErr::fetch();
        if (present) continue;  // a restored state may list a column twice
        PyRef value = VX_TRY(column_categories(*info, col));
        if (PyDict_SetItem(result.get(), key.get(), value.get()) < 0) return PyErr::fetch();
    }
    return result;
}

}  // namespace vexilo::py

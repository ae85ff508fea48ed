// The shared pieces of decoding categorical columns: label texts and the checked listed maps.
#include "python/label_column.h"

#include <algorithm>

#include "engine/frozen_texts.h"
#include "engine/internal_failure.h"

namespace vexilo::py {

Result<PyRef> new_str(std::string_view text) {
    return checked(
        PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr));
}

namespace {

// The decimal text of value + 1, which a restored state's largest index does not leave room for
// in the size type.
std::string decimal_successor(std::size_t value) {
    std::string text = std::to_string(value);
    for (auto digit = text.rbegin(); digit != text.rend(); ++digit) {
        if (*digit != '9') {
            ++*digit;
            return text;
        }
        *digit = '0';
    }
    return "1" + text;
}

// The ValueError for a table too narrow for the listed column beyond it.
PyErr too_few_columns(const EncodingInfo& info, const Table& table, ColumnIndex beyond) {
    const ColumnIndex widest =
        *std::max_element(info.categorical_columns.begin(), info.categorical_columns.end());
    return PyErr::make(PyExc_ValueError,
                       "the table has " + std::to_string(table.cols) + " columns, fewer than the " +
                           decimal_successor(widest) +
                           " that the learned categorical columns need (the learned encoding "
                           "lists column " +
                           std::to_string(beyond) + " as categorical)");
}

}  // namespace

Result<std::vector<ListedMap>> listed_maps(const EncodingInfo& info, const Table& table,
                                           const std::vector<std::string>* names) {
    std::vector<ListedMap> maps;
    for (const ColumnIndex column : info.categorical_columns) {
        const auto inverse = info.inverse_maps.find(column);
        if (inverse == info.inverse_maps.end())
            throw InternalFailure(std::string(frozen_text::no_entry_for_key));
        if (table.rows > 0 && column >= table.cols) return too_few_columns(info, table, column);
        if (names && column >= names->size()) {
            throw InternalFailure(std::string(frozen_text::index_out_of_bounds) +
                                  std::to_string(names->size()) + " but the index is " +
                                  std::to_string(column));
        }
        // Without rows an index beyond the table has no cell to decode.
        if (column < table.cols) maps.push_back(ListedMap{column, &inverse->second});
    }
    // A restored state may list a column more than once, or out of order.
    const auto by_column = [](const ListedMap& a, const ListedMap& b) { return a.col < b.col; };
    if (!std::is_sorted(maps.begin(), maps.end(), by_column)) {
        std::stable_sort(maps.begin(), maps.end(), by_column);
    }
    maps.erase(std::unique(maps.begin(), maps.end(),
                           [](const ListedMap& a, const ListedMap& b) { return a.col == b.col; }),
               maps.end());
    return maps;
}

}  // namespace vexilo::py

// Encoding with counts: read_table's codes and learned state, the codes counted on the pool.
#include "python/encode_counting.h"

#include <cstring>
#include <utility>
#include <vector>

#include "engine/code_counts.h"
#include "python/build_result.h"
#include "python/encoder.h"
#include "python/learned_categories.h"
#include "python/read_table.h"
#include "python/signal_check.h"

namespace vexilo::py {
namespace {

Result<PyRef> int64_array(const std::vector<std::int64_t>& values) {
    npy_intp dims[1] = {static_cast<npy_intp>(values.size())};
    PyRef array = VX_TRY(checked(PyArray_SimpleNew(1, dims, NPY_INT64)));
    if (!values.empty()) {
        std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())), values.data(),
                    values.size() * sizeof(std::int64_t));
    }
    return array;
}

}  // namespace

Result<PyRef> encode_counting(PyObject* table) {
    Conversion conversion = VX_TRY(read_table(table, StringEncoding::Label));
    VX_TRY(check_signals());
    // The float fast path learns nothing: its state says that no column is categorical.
    EncodingInfo info =
        conversion.encoding_info ? std::move(*conversion.encoding_info) : EncodingInfo{};
    std::vector<CountedColumn> counted;
    counted.reserve(info.categorical_columns.size());
    for (const ColumnIndex col : info.categorical_columns) {
        counted.push_back(CountedColumn{col, learned_label_count(info, col)});
    }
    std::vector<std::vector<std::int64_t>> counts;
    VX_TRY(run_on_pool([&] { counts = count_codes(conversion.table, counted); }));

    PyRef categorical = VX_TRY(checked(PyList_New(static_cast<Py_ssize_t>(counted.size()))));
    PyRef count_dict = VX_TRY(checked(PyDict_New()));
    for (std::size_t i = 0; i < counted.size(); ++i) {
        PyRef col = VX_TRY(checked(PyLong_FromSize_t(counted[i].col)));
        PyRef column_counts = VX_TRY(int64_array(counts[i]));
        if (PyDict_SetItem(count_dict.get(), col.get(), column_counts.get()) < 0) {
            return PyErr::fetch();
        }
        PyList_SET_ITEM(categorical.get(), static_cast<Py_ssize_t>(i), col.release());
    }
    const std::size_t cols = conversion.table.cols;
    PyRef codes = VX_TRY(build_result(std::move(conversion.table), OutputKind{}, nullptr));
    PyRef encoder = VX_TRY(new_encoder_with(std::move(info), cols));
    return checked(
        PyTuple_Pack(4, encoder.get(), codes.get(), categorical.get(), count_dict.get()));
}

}  // namespace vexilo::py

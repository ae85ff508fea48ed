// The DataFrame result: one float64 block adopted by the frame, decoded columns set by position.
#include "python/result_frame.h"

#include <algorithm>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "python/category_frame.h"
#include "python/float_array.h"
#include "python/label_column.h"
#include "python/numpy_array.h"
#include "python/signal_check.h"

namespace vexilo::py {
namespace {

// Sets dict[key] = value. Returns the interpreter's error on failure.
Status set_item(const PyRef& dict, const char* key, PyObject* value) {
    if (PyDict_SetItemString(dict.get(), key, value) < 0) return PyErr::fetch();
    return Unit{};
}

// The column labels of the last frame made, as the Index pandas builds from them: building that
// Index costs pandas several times what the rest of a small frame does, while a view of it
// (Index.view: a new Index over the same labels, with a name and attributes of its own) costs
// almost nothing. One entry, for callers that make frames of the same columns call after call;
// any thread, under its mutex, which is never held while Python code runs. Its references live
// as long as the process, as the Encoder type does (the module refuses subinterpreters).
struct ColumnLabels {
    std::mutex mutex;
    std::vector<std::string> names;
    PyObject* index_type = nullptr;  // strong: pandas' Index, so that a reloaded pandas misses
    PyObject* index = nullptr;       // strong: index_type(names)
};
ColumnLabels last_labels;

Result<PyRef> new_column_labels(PyObject* index_type, const std::vector<std::string>& names) {
    PyRef list = VX_TRY(checked(PyList_New(static_cast<Py_ssize_t>(names.size()))));
    for (std::size_t i = 0; i < names.size(); ++i) {
        PyRef name = VX_TRY(new_str(names[i]));
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), name.release());
    }
    return checked(PyObject_CallOneArg(index_type, list.get()));
}

// A new Index of the column labels names, equal to the one pandas' DataFrame makes of a list of
// them.
Result<PyRef> column_labels(const PyRef& pandas, const std::vector<std::string>& names) {
    PyRef index_type = VX_TRY(checked(PyObject_GetAttrString(pandas.get(), "Index")));
    PyRef index;
    {
        std::lock_guard lock(last_labels.mutex);
        if (last_labels.index && last_labels.index_type == index_type.get() &&
            last_labels.names == names) {
            index = PyRef::borrow(last_labels.index);
        }
    }
    if (!index) {
        index = VX_TRY(new_column_labels(index_type.get(), names));
        PyRef previous_index = PyRef::borrow(index.get());
        PyRef previous_type = PyRef::borrow(index_type.get());
        std::vector<std::string> kept = names;  // copied first: the swap below cannot fail
        {
            std::lock_guard lock(last_labels.mutex);
            last_labels.names.swap(kept);
            previous_index =
                PyRef::steal(std::exchange(last_labels.index, previous_index.release()));
            previous_type =
                PyRef::steal(std::exchange(last_labels.index_type, previous_type.release()));
        }
        // The entries replaced are released here, outside the lock: that may run Python code.
    }
    PyRef view_name = VX_TRY(new_str("view"));
    PyObject* view_args[] = {index.get()};
    return checked(PyObject_VectorcallMethod(view_name.get(), view_args, 1, nullptr));
}

// The keyword arguments of the frame's construction: the column labels, and copy=False.
Result<PyRef> frame_keywords(const PyRef& pandas, const std::vector<std::string>& names) {
    PyRef columns = VX_TRY(column_labels(pandas, names));
    PyRef keywords = VX_TRY(checked(PyDict_New()));
    VX_TRY(set_item(keywords, "columns", columns.get()));
    VX_TRY(set_item(keywords, "copy", Py_False));
    return keywords;
}

// The float block: made column-major, the layout pandas keeps it in, so the frame adopts it
// (copy=False) instead of copying it once more. Listed columns are left zero: their labels
// replace them.
Result<PyRef> float_block(const Table& table, const EncodingInfo* info) {
    // The listed columns within the table, ascending, each once; not checked yet.
    std::vector<ColumnIndex> listed_columns;
    if (info) {
        for (const ColumnIndex column : info->categorical_columns) {
            if (column < table.cols) listed_columns.push_back(column);
        }
        std::sort(listed_columns.begin(), listed_columns.end());
        listed_columns.erase(std::unique(listed_columns.begin(), listed_columns.end()),
                             listed_columns.end());
    }
    npy_intp dims[2] = {static_cast<npy_intp>(table.rows), static_cast<npy_intp>(table.cols)};
    PyRef numbers = VX_TRY(checked(PyArray_ZEROS(2, dims, NPY_DOUBLE, 1)));
    double* out = array_data<double>(numbers);
    // In blocks of rows, so that a row-major table is read from cache rather than once per column.
    constexpr std::size_t block_rows = 256;
    for (std::size_t first = 0; first < table.rows; first += block_rows) {
        const std::size_t last = std::min(table.rows, first + block_rows);
        std::size_t listed = 0;  // listed columns before c
        for (std::size_t c = 0; c < table.cols; ++c) {
            if (listed < listed_columns.size() && listed_columns[listed] == c) {
                ++listed;
                continue;
            }
            double* column = out + c * table.rows;
            for (std::size_t r = first; r < last; ++r) column[r] = table.at(r, c);
        }
    }
    return numbers;
}

// One object array of str labels (None for NaN and unknown codes) per listed column, in the order
// of maps.
Result<std::vector<PyRef>> label_arrays(const Table& table, const std::vector<ListedMap>& maps) {
    std::vector<PyRef> values(maps.size());
    std::vector<PyObject**> cells(maps.size(), nullptr);
    for (std::size_t i = 0; i < maps.size(); ++i) {
        npy_intp length = static_cast<npy_intp>(table.rows);
        values[i] = VX_TRY(checked(PyArray_SimpleNew(1, &length, NPY_OBJECT)));
        cells[i] = array_data<PyObject*>(values[i]);
    }
    // Declared after the arrays: on an early return they settle before the arrays are released.
    std::vector<std::optional<LabelColumn>> labels(maps.size());
    for (std::size_t i = 0; i < maps.size(); ++i) {
        labels[i].emplace(*maps[i].inverse, Py_None, table.rows);
        if (table.rows / 2 >= maps[i].inverse->size()) VX_TRY(labels[i]->make_all());
    }
    // In blocks of rows, column by column within a block, as in decoded_array; pending signal
    // handlers run every few thousand cells.
    SignalCountdown signals;
    for (std::size_t first = 0; first < table.rows; first += decode_block_rows) {
        const std::size_t last = std::min(table.rows, first + decode_block_rows);
        for (std::size_t i = 0; i < maps.size(); ++i) {
            LabelColumn& column = *labels[i];
            const std::size_t c = maps[i].col;
            for (std::size_t r = first; r < last; ++r) {
                const double code = table.at(r, c);
                PyObject* label = column.take(code);
                cells[i][r] = label ? label : VX_TRY(column.make(code));
            }
            VX_TRY(signals.count(last - first));
        }
    }
    for (std::optional<LabelColumn>& column : labels) column->settle();
    return values;
}

// Puts each label array in place of its column of df (maps[i].col for values[i]), by position.
// Wrapped as object Series: a bare object array of strings would be inferred as a str column.
Status set_label_columns(const PyRef& pandas, const PyRef& df, const std::vector<ListedMap>& maps,
                         const std::vector<PyRef>& values) {
    PyRef series = VX_TRY(checked(PyObject_GetAttrString(pandas.get(), "Series")));
    PyRef series_keywords = VX_TRY(checked(PyDict_New()));
    PyRef object_name = VX_TRY(new_str("object"));
    VX_TRY(set_item(series_keywords, "dtype", object_name.get()));
    VX_TRY(set_item(series_keywords, "copy", Py_False));
    PyRef isetitem = VX_TRY(new_str("isetitem"));
    for (std::size_t i = 0; i < values.size(); ++i) {
        PyObject* series_args[] = {values[i].get()};
        PyRef column = VX_TRY(
            checked(PyObject_VectorcallDict(series.get(), series_args, 1, series_keywords.get())));
        PyRef position = VX_TRY(checked(PyLong_FromSize_t(maps[i].col)));
        PyObject* set_args[] = {df.get(), position.get(), column.get()};
        VX_TRY(checked(PyObject_VectorcallMethod(isetitem.get(), set_args, 3, nullptr)));
    }
    return Unit{};
}

}  // namespace

Result<PyRef> category_frame(const Table& table, const std::vector<std::string>& names,
                             const EncodingInfo& info) {
    PyRef pandas_name = VX_TRY(new_str("pandas"));
    PyRef pandas = VX_TRY(checked(PyImport_Import(pandas_name.get())));
    PyRef keywords = VX_TRY(frame_keywords(pandas, names));
    PyRef numbers = VX_TRY(float_block(table, &info));
    PyRef constructor = VX_TRY(checked(PyObject_GetAttrString(pandas.get(), "DataFrame")));
    PyObject* frame_args[] = {numbers.get()};
    PyRef df =
        VX_TRY(checked(PyObject_VectorcallDict(constructor.get(), frame_args, 1, keywords.get())));
    if (info.categorical_columns.empty()) return df;
    const std::vector<ListedMap> maps = VX_TRY(listed_maps(info, table, &names));
    VX_TRY(set_category_columns(pandas, df, table, maps));
    return df;
}

Result<PyRef> result_frame(Table table, const std::vector<std::string>& names,
                           const EncodingInfo* info, bool as_category) {
    if (info && as_category) return category_frame(table, names, *info);
    PyRef pandas_name = VX_TRY(new_str("pandas"));
    PyRef pandas = VX_TRY(checked(PyImport_Import(pandas_name.get())));
    PyRef keywords = VX_TRY(frame_keywords(pandas, names));
    // A column-major table with nothing to decode is the block itself: the array adopts its buffer.
    PyRef numbers = !info && table.is_col_major() ? VX_TRY(float_array(std::move(table)))
                                                  : VX_TRY(float_block(table, info));
    PyRef constructor = VX_TRY(checked(PyObject_GetAttrString(pandas.get(), "DataFrame")));
    PyObject* frame_args[] = {numbers.get()};
    PyRef df =
        VX_TRY(checked(PyObject_VectorcallDict(constructor.get(), frame_args, 1, keywords.get())));
    if (!info || info->categorical_columns.empty()) return df;

    const std::vector<ListedMap> maps = VX_TRY(listed_maps(*info, table, &names));
    const std::vector<PyRef> values = VX_TRY(label_arrays(table, maps));
    VX_TRY(set_label_columns(pandas, df, maps, values));
    return df;
}

}  // namespace vexilo::py

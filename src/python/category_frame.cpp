// Category columns of a DataFrame: positions into NumPy integer arrays on the pool, then one
// Categorical.from_codes per column over a list of its labels.
#include "python/category_frame.h"

#include <cstddef>
#include <string>
#include <string_view>

#include "engine/category_positions.h"
#include "python/pandas_arrays.h"
#include "python/read_table.h"
#include "python/result_frame.h"
#include "python/signal_check.h"

namespace vexilo::py {
namespace {

int numpy_type_of_width(std::size_t width) noexcept {
    switch (width) {
        case 1:
            return NPY_INT8;
        case 2:
            return NPY_INT16;
        case 4:
            return NPY_INT32;
        default:
            return NPY_INT64;
    }
}

// A new list of a str per category label.
Result<PyRef> label_list(const CategoryLabels& categories) {
    PyRef list = VX_TRY(checked(PyList_New(static_cast<Py_ssize_t>(categories.labels.size()))));
    for (std::size_t i = 0; i < categories.labels.size(); ++i) {
        PyRef label = VX_TRY(new_str(categories.labels[i]));
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), label.release());
    }
    return list;
}

Status set_item(const PyRef& dict, const char* key, PyObject* value) {
    if (PyDict_SetItemString(dict.get(), key, value) < 0) return PyErr::fetch();
    return Unit{};
}

// A Table over a NumPy array's doubles, for routines that only read it: the buffer is let go,
// never freed, when the view ends. The array must outlive the view.
class BorrowedTable {
public:
    BorrowedTable(double* cells, std::size_t rows, std::size_t cols, std::size_t row_stride,
                  std::size_t col_stride) noexcept {
        table_.data.reset(cells);
        table_.rows = rows;
        table_.cols = cols;
        table_.row_stride = row_stride;
        table_.col_stride = col_stride;
    }
    BorrowedTable(const BorrowedTable&) = delete;
    BorrowedTable& operator=(const BorrowedTable&) = delete;
    ~BorrowedTable() { static_cast<void>(table_.data.release()); }

    const Table& get() const noexcept { return table_; }

private:
    Table table_;
};

// True when every column of frame is of NumPy's float64 dtype (native byte order).
Result<bool> all_float64(PyObject* frame) {
    PyRef dtypes = VX_TRY(checked(PyObject_GetAttrString(frame, "dtypes")));
    PyRef listed = VX_TRY(checked(PyObject_CallMethod(dtypes.get(), "tolist", nullptr)));
    if (!PyList_Check(listed.get())) return false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(listed.get()); ++i) {
        PyObject* dtype = PyList_GET_ITEM(listed.get(), i);
        if (!PyArray_DescrCheck(dtype)) return false;
        const auto* descr = reinterpret_cast<PyArray_Descr*>(dtype);
        if (descr->type_num != NPY_DOUBLE || !PyArray_ISNBO(descr->byteorder)) return false;
    }
    return true;
}

// True from pandas 3, where copy-on-write is always on: a frame that shares a block with another
// copies it before either writes, so a result may share the caller's number columns.
Result<bool> always_copies_on_write(const PyRef& pandas) {
    PyRef version = VX_TRY(checked(PyObject_GetAttrString(pandas.get(), "__version__")));
    const char* text = PyUnicode_Check(version.get()) ? PyUnicode_AsUTF8(version.get()) : "";
    if (!text) return PyErr::fetch();
    int major = 0;
    for (; *text >= '0' && *text <= '9' && major < 1000; ++text) major = 10 * major + (*text - '0');
    return major >= 3;
}

// The result of decoding frame (borrowed), whose cells table views, under copy-on-write: a frame
// over frame's own columns, relabelled as decode labels its results (names, the default index),
// its listed columns then replaced by category columns. The number columns are shared with the
// caller's frame until either is written.
Result<PyRef> shared_category_frame(const PyRef& pandas, PyObject* frame, const Table& table,
                                    const std::vector<std::string>& names,
                                    const EncodingInfo& info) {
    PyRef constructor = VX_TRY(checked(PyObject_GetAttrString(pandas.get(), "DataFrame")));
    PyRef keywords = VX_TRY(checked(PyDict_New()));
    VX_TRY(set_item(keywords, "copy", Py_False));
    PyObject* args[] = {frame};
    PyRef df = VX_TRY(checked(PyObject_VectorcallDict(constructor.get(), args, 1, keywords.get())));
    PyRef columns = VX_TRY(checked(PyList_New(static_cast<Py_ssize_t>(names.size()))));
    for (std::size_t i = 0; i < names.size(); ++i) {
        PyRef name = VX_TRY(new_str(names[i]));
        PyList_SET_ITEM(columns.get(), static_cast<Py_ssize_t>(i), name.release());
    }
    if (PyObject_SetAttrString(df.get(), "columns", columns.get()) < 0) return PyErr::fetch();
    PyRef range_index = VX_TRY(checked(PyObject_GetAttrString(pandas.get(), "RangeIndex")));
    PyRef rows = VX_TRY(checked(PyLong_FromSize_t(table.rows)));
    PyRef index = VX_TRY(checked(PyObject_CallOneArg(range_index.get(), rows.get())));
    if (PyObject_SetAttrString(df.get(), "index", index.get()) < 0) return PyErr::fetch();
    if (info.categorical_columns.empty()) return df;
    const std::vector<ListedMap> maps = VX_TRY(listed_maps(info, table, &names));
    VX_TRY(set_category_columns(pandas, df, table, maps));
    return df;
}

}  // namespace

Result<std::optional<PyRef>> float_frame_categories(PyObject* obj, const EncodingInfo& info) {
    if (PyArray_Check(obj) || !VX_TRY(is_pandas_frame(obj))) return std::optional<PyRef>();
    if (!VX_TRY(all_float64(obj))) return std::optional<PyRef>();
    const OutputKind out = VX_TRY(output_kind_of(obj));
    PyRef values = VX_TRY(checked(PyObject_CallMethod(obj, "to_numpy", nullptr)));
    if (!PyArray_Check(values.get())) return std::optional<PyRef>();
    auto* array = reinterpret_cast<PyArrayObject*>(values.get());
    if (PyArray_NDIM(array) != 2 || PyArray_TYPE(array) != NPY_DOUBLE ||
        !PyArray_ISALIGNED(array) || PyArray_ISBYTESWAPPED(array)) {
        return std::optional<PyRef>();
    }
    const npy_intp* dims = PyArray_DIMS(array);
    const npy_intp* strides = PyArray_STRIDES(array);
    constexpr npy_intp cell = sizeof(double);
    if (dims[0] <= 0 || dims[1] <= 0 || strides[0] < 0 || strides[1] < 0 ||
        strides[0] % cell != 0 || strides[1] % cell != 0 ||
        static_cast<std::size_t>(dims[1]) != out.column_names.size()) {
        return std::optional<PyRef>();
    }
    const BorrowedTable table(static_cast<double*>(PyArray_DATA(array)),
                              static_cast<std::size_t>(dims[0]), static_cast<std::size_t>(dims[1]),
                              static_cast<std::size_t>(strides[0] / cell),
                              static_cast<std::size_t>(strides[1] / cell));
    PyRef pandas = VX_TRY(checked(PyImport_ImportModule("pandas")));
    if (VX_TRY(always_copies_on_write(pandas))) {
        return std::optional<PyRef>(
            VX_TRY(shared_category_frame(pandas, obj, table.get(), out.column_names, info)));
    }
    return std::optional<PyRef>(VX_TRY(category_frame(table.get(), out.column_names, info)));
}

Status check_distinct_categories(const std::vector<ListedMap>& maps) {
    for (const ListedMap& map : maps) {
        const std::optional<std::string_view> repeated =
            repeated_label(category_labels(*map.inverse));
        if (!repeated) continue;
        PyRef label = VX_TRY(new_str(*repeated));
        PyRef quoted = VX_TRY(checked(PyObject_Repr(label.get())));
        const char* text = PyUnicode_AsUTF8(quoted.get());
        if (!text) return PyErr::fetch();
        return PyErr::make(PyExc_ValueError,
                           "column " + std::to_string(map.col) + " of the learned state gives " +
                               text +
                               " to more than one code, and categories must be distinct: decode "
                               "it without as_category");
    }
    return Unit{};
}

Status set_category_columns(const PyRef& pandas, const PyRef& df, const Table& table,
                            const std::vector<ListedMap>& maps) {
    VX_TRY(check_distinct_categories(maps));
    std::vector<CategoryLabels> categories;
    categories.reserve(maps.size());
    std::vector<PyRef> codes(maps.size());
    std::vector<PositionColumn> positions;
    positions.reserve(maps.size());
    for (std::size_t i = 0; i < maps.size(); ++i) {
        categories.push_back(category_labels(*maps[i].inverse));
        const std::size_t width = position_width(categories.back().labels.size());
        npy_intp length = static_cast<npy_intp>(table.rows);
        codes[i] = VX_TRY(checked(PyArray_SimpleNew(1, &length, numpy_type_of_width(width))));
        positions.push_back(
            PositionColumn{maps[i].col, &categories.back(), width,
                           PyArray_DATA(reinterpret_cast<PyArrayObject*>(codes[i].get()))});
    }
    VX_TRY(run_on_pool([&] { category_positions(table, positions, pool::global_pool()); }));

    PyRef categorical = VX_TRY(checked(PyObject_GetAttrString(pandas.get(), "Categorical")));
    PyRef from_codes = VX_TRY(checked(PyObject_GetAttrString(categorical.get(), "from_codes")));
    PyRef series = VX_TRY(checked(PyObject_GetAttrString(pandas.get(), "Series")));
    // Every code is -1 or a category's position by construction: pandas need not check them.
    PyRef from_codes_keywords = VX_TRY(checked(PyDict_New()));
    VX_TRY(set_item(from_codes_keywords, "validate", Py_False));
    // A Series over the Categorical, not the Categorical itself: isetitem copies a bare array.
    PyRef series_keywords = VX_TRY(checked(PyDict_New()));
    VX_TRY(set_item(series_keywords, "copy", Py_False));
    PyRef isetitem = VX_TRY(checked(PyUnicode_InternFromString("isetitem")));
    for (std::size_t i = 0; i < maps.size(); ++i) {
        PyRef labels = VX_TRY(label_list(categories[i]));
        PyObject* from_codes_args[] = {codes[i].get(), labels.get()};
        PyRef values = VX_TRY(checked(PyObject_VectorcallDict(from_codes.get(), from_codes_args, 2,
                                                              from_codes_keywords.get())));
        PyObject* series_args[] = {values.get()};
        PyRef column = VX_TRY(
            checked(PyObject_VectorcallDict(series.get(), series_args, 1, series_keywords.get())));
        PyRef position = VX_TRY(checked(PyLong_FromSize_t(maps[i].col)));
        PyObject* set_args[] = {df.get(), position.get(), column.get()};
        VX_TRY(checked(PyObject_VectorcallMethod(isetitem.get(), set_args, 3, nullptr)));
    }
    return Unit{};
}

}  // namespace vexilo::py

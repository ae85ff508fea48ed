// Output construction: float64 arrays and frames, and the decoding of categorical columns into
// object arrays and object frame columns.
#include "python/output.h"

#include <cmath>  // std::isnan
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "internal_failure.h"

namespace vexilo::py {
namespace {

constexpr const char* buffer_capsule_name = "vexilo.table_buffer";
// 2^64: every double at or above it saturates to the largest key.
constexpr double key_limit = 18446744073709551616.0;

void free_table_buffer(PyObject* capsule) {
    delete[] static_cast<double*>(PyCapsule_GetPointer(capsule, buffer_capsule_name));
}

Result<PyRef> new_str(std::string_view text) {
    return checked(
        PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr));
}

PyArrayObject* as_array(const PyRef& array) {
    return reinterpret_cast<PyArrayObject*>(array.get());
}

template <class T>
T* array_data(const PyRef& array) {
    return static_cast<T*>(PyArray_DATA(as_array(array)));
}

// The cell values of one decoded column. A label becomes a str the first time its code is met,
// and that one str is shared by every cell carrying the code; cells without a label share
// `missing`. Owns a reference to every value it hands out, so callers take their own per cell.
class LabelColumn {
public:
    LabelColumn(const InverseMap& inverse, PyObject* missing)
        : inverse_(&inverse), missing_(missing), dense_(inverse.size()) {}

    // The value for a cell holding code (borrowed from this column), or the error of making its
    // str.
    Result<PyObject*> value(double code) {
        if (std::isnan(code)) return missing_;
        const std::uint64_t key = code_key(code);
        if (key < dense_.size()) {
            const PyRef& cached = dense_[static_cast<std::size_t>(key)];
            if (cached) return cached.get();
        }
        return first_sight(key);
    }

private:
    Result<PyObject*> first_sight(std::uint64_t key) {
        if (key >= dense_.size()) {
            auto cached = sparse_.find(key);
            if (cached != sparse_.end()) return cached->second.get();
        }
        const auto label = inverse_->find(key);
        PyRef made =
            label == inverse_->end() ? PyRef::borrow(missing_) : VX_TRY(new_str(label->second));
        PyObject* result = made.get();
        if (key < dense_.size()) {
            dense_[static_cast<std::size_t>(key)] = std::move(made);
        } else {
            sparse_.emplace(key, std::move(made));
        }
        return result;
    }

    const InverseMap* inverse_;
    PyObject* missing_;  // borrowed: outlives the column
    // Encoding numbers a column's labels 0 .. k-1, so the codes below the map's size are looked up
    // by position; other codes (only a restored state has them) go through the hash map.
    std::vector<PyRef> dense_;
    HashMap<std::uint64_t, PyRef> sparse_;
};

// The inverse map of each listed column, checked in stored order, each column's checks in the
// order decoding meets them: no inverse map, then (when there are rows) an index beyond the
// table, then, for frames, an index beyond the column names. Entry c is column c's map, or null
// when c is not listed.
std::vector<const InverseMap*> listed_maps(const EncodingInfo& info, const Table& table,
                                           const std::vector<std::string>* names) {
    std::vector<const InverseMap*> maps(table.cols, nullptr);
    for (const ColumnIndex column : info.categorical_columns) {
        const auto inverse = info.inverse_maps.find(column);
        if (inverse == info.inverse_maps.end()) throw InternalFailure("no entry found for key");
        if (table.rows > 0 && column >= table.cols) {
            throw InternalFailure("ndarray: index out of bounds");
        }
        if (names && column >= names->size()) {
            throw InternalFailure("index out of bounds: the len is " +
                                  std::to_string(names->size()) + " but the index is " +
                                  std::to_string(column));
        }
        // Without rows an index beyond the table has no cell to decode.
        if (column < table.cols) maps[column] = &inverse->second;
    }
    return maps;
}

// The NdArray result with a state: an object array of Python floats whose listed columns hold
// str labels, "NaN" for NaN and for codes without a label. Laid out in the memory order of the
// table's float copy (column-major only for a column-major table that is not also row-major).
Result<PyRef> decoded_array(const Table& table, const EncodingInfo& info) {
    const std::vector<const InverseMap*> maps = listed_maps(info, table, nullptr);
    PyRef nan_text = VX_TRY(new_str("NaN"));
    std::vector<std::optional<LabelColumn>> labels(table.cols);
    for (std::size_t c = 0; c < table.cols; ++c) {
        if (maps[c]) labels[c].emplace(*maps[c], nan_text.get());
    }

    const bool column_major = !table.is_row_major() && table.is_col_major();
    npy_intp dims[2] = {static_cast<npy_intp>(table.rows), static_cast<npy_intp>(table.cols)};
    // NumPy zero-fills new object arrays, so an early error return releases only the cells set.
    PyRef array = VX_TRY(checked(PyArray_New(&PyArray_Type, 2, dims, NPY_OBJECT, nullptr, nullptr,
                                             0, column_major ? 1 : 0, nullptr)));
    PyObject** cell = array_data<PyObject*>(array);
    const std::size_t outer = column_major ? table.cols : table.rows;
    const std::size_t inner = column_major ? table.rows : table.cols;
    for (std::size_t o = 0; o < outer; ++o) {
        for (std::size_t i = 0; i < inner; ++i, ++cell) {
            const std::size_t r = column_major ? i : o;
            const std::size_t c = column_major ? o : i;
            const double code = table.at(r, c);
            if (labels[c]) {
                PyObject* label = VX_TRY(labels[c]->value(code));
                *cell = PyRef::borrow(label).release();  // the array owns one reference per cell
            } else {
                PyRef number = VX_TRY(checked(PyFloat_FromDouble(code)));
                *cell = number.release();
            }
        }
    }
    return array;
}

// A listed frame column being decoded: its labels and its new 1-D object array.
struct DecodedColumn {
    std::size_t column;
    LabelColumn labels;
    PyRef values;
};

// The DataFrame result: float64 columns with the column names and pandas' default index; with a
// state, every listed column replaced by an object column of str labels (None for NaN and for
// codes without a label). Each column is placed by position, so repeated names stay apart.
Result<PyRef> frame(const Table& table, const std::vector<std::string>& names,
                    const EncodingInfo* info) {
    PyRef pandas_name = VX_TRY(new_str("pandas"));
    PyRef pandas = VX_TRY(checked(PyImport_Import(pandas_name.get())));
    PyRef columns = VX_TRY(checked(PyList_New(static_cast<Py_ssize_t>(names.size()))));
    for (std::size_t i = 0; i < names.size(); ++i) {
        PyRef name = VX_TRY(new_str(names[i]));
        PyList_SET_ITEM(columns.get(), static_cast<Py_ssize_t>(i), name.release());
    }
    PyRef keywords = VX_TRY(checked(PyDict_New()));
    if (PyDict_SetItemString(keywords.get(), "columns", columns.get()) < 0) return PyErr::fetch();
    if (PyDict_SetItemString(keywords.get(), "copy", Py_False) < 0) return PyErr::fetch();

    // The float block is made column-major, the layout pandas keeps it in, so the frame adopts it
    // (copy=False) instead of copying it once more. Listed columns are left zero: their labels
    // replace them below.
    std::vector<bool> listed(table.cols, false);
    if (info) {
        for (const ColumnIndex column : info->categorical_columns) {
            if (column < table.cols) listed[column] = true;
        }
    }
    npy_intp dims[2] = {static_cast<npy_intp>(table.rows), static_cast<npy_intp>(table.cols)};
    PyRef numbers = VX_TRY(checked(PyArray_ZEROS(2, dims, NPY_DOUBLE, 1)));
    double* out = array_data<double>(numbers);
    for (std::size_t c = 0; c < table.cols; ++c, out += table.rows) {
        if (listed[c]) continue;
        for (std::size_t r = 0; r < table.rows; ++r) out[r] = table.at(r, c);
    }
    PyRef constructor = VX_TRY(checked(PyObject_GetAttrString(pandas.get(), "DataFrame")));
    PyObject* frame_args[] = {numbers.get()};
    PyRef df =
        VX_TRY(checked(PyObject_VectorcallDict(constructor.get(), frame_args, 1, keywords.get())));
    if (!info || info->categorical_columns.empty()) return df;

    const std::vector<const InverseMap*> maps = listed_maps(*info, table, &names);
    std::vector<DecodedColumn> decoded;
    for (std::size_t c = 0; c < table.cols; ++c) {
        if (!maps[c]) continue;
        npy_intp length = static_cast<npy_intp>(table.rows);
        PyRef values = VX_TRY(checked(PyArray_SimpleNew(1, &length, NPY_OBJECT)));
        decoded.push_back({c, LabelColumn(*maps[c], Py_None), std::move(values)});
    }
    // Row by row, so the table is read in its (row-major) order once for all decoded columns.
    for (std::size_t r = 0; r < table.rows; ++r) {
        for (DecodedColumn& column : decoded) {
            PyObject* label = VX_TRY(column.labels.value(table.at(r, column.column)));
            array_data<PyObject*>(column.values)[r] = PyRef::borrow(label).release();
        }
    }

    // Wrapped as object Series: a bare object array of strings would be inferred as a str column.
    PyRef series = VX_TRY(checked(PyObject_GetAttrString(pandas.get(), "Series")));
    PyRef series_keywords = VX_TRY(checked(PyDict_New()));
    PyRef object_name = VX_TRY(new_str("object"));
    if (PyDict_SetItemString(series_keywords.get(), "dtype", object_name.get()) < 0) {
        return PyErr::fetch();
    }
    if (PyDict_SetItemString(series_keywords.get(), "copy", Py_False) < 0) return PyErr::fetch();
    PyRef isetitem = VX_TRY(new_str("isetitem"));
    for (DecodedColumn& column : decoded) {
        PyObject* series_args[] = {column.values.get()};
        PyRef values = VX_TRY(
            checked(PyObject_VectorcallDict(series.get(), series_args, 1, series_keywords.get())));
        PyRef position = VX_TRY(checked(PyLong_FromSize_t(column.column)));
        PyObject* set_args[] = {df.get(), position.get(), values.get()};
        VX_TRY(checked(PyObject_VectorcallMethod(isetitem.get(), set_args, 3, nullptr)));
    }
    return df;
}

}  // namespace

std::uint64_t code_key(double code) noexcept {
    if (code < 0.0) return 0;
    if (code >= key_limit) return std::numeric_limits<std::uint64_t>::max();
    return static_cast<std::uint64_t>(code);
}

Result<PyRef> float_array(Table table) {
    npy_intp dims[2] = {static_cast<npy_intp>(table.rows), static_cast<npy_intp>(table.cols)};
    const bool row_major = table.is_row_major();
    if (table.data && (row_major || table.is_col_major())) {
        // Contiguous: the new array adopts the buffer; a capsule owns it and frees it with the
        // array.
        PyRef owner = VX_TRY(
            checked(PyCapsule_New(table.data.get(), buffer_capsule_name, free_table_buffer)));
        double* data = table.data.release();
        PyRef array =
            VX_TRY(checked(PyArray_New(&PyArray_Type, 2, dims, NPY_DOUBLE, nullptr, data, 0,
                                       row_major ? NPY_ARRAY_CARRAY : NPY_ARRAY_FARRAY, nullptr)));
        // Steals the capsule's reference even when it fails.
        if (PyArray_SetBaseObject(as_array(array), owner.release()) < 0) return PyErr::fetch();
        return array;
    }
    PyRef array = VX_TRY(checked(PyArray_SimpleNew(2, dims, NPY_DOUBLE)));
    double* out = array_data<double>(array);
    for (std::size_t r = 0; r < table.rows; ++r) {
        for (std::size_t c = 0; c < table.cols; ++c) *out++ = table.at(r, c);
    }
    return array;
}

Result<PyRef> arr_to_out(Table table, OUT out, const EncodingInfo* encoding_info) {
    if (out.kind == OUT::Kind::DataFrame) return frame(table, out.column_names, encoding_info);
    if (!encoding_info) return float_array(std::move(table));
    return decoded_array(table, *encoding_info);
}

}  // namespace vexilo::py

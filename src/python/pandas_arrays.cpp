// pandas' classes and private attributes, looked up in the pandas already imported.
#include "python/pandas_arrays.h"

#include <cmath>  // std::isnan
#include <utility>

#include "python/error_policy.h"

namespace vexilo::py {
namespace {

// An attribute that may be absent: a null reference then.
Result<PyRef> optional_attribute(PyObject* object, const char* name) {
    std::optional<PyRef> value = VX_TRY(attribute(object, name));
    return value ? std::move(*value) : PyRef();
}

bool is_type(PyObject* object, const PyRef& type) noexcept {
    return type && reinterpret_cast<PyObject*>(Py_TYPE(object)) == type.get();
}

// NA is read as a cell only when it is what the cell-by-cell reading takes it for: no number
// (float() fails), with the text str() gives it. Returns false when a step fails.
Result<bool> read_missing_scalar(PyObject* na, MissingScalar& missing) {
    if (PyFloat_AsDouble(na) != -1.0 || !PyErr_Occurred()) return true;
    if (auto interrupt = discard_pending_error()) return std::move(*interrupt);
    PyRef text = PyRef::steal(PyObject_Str(na));
    Py_ssize_t size = 0;
    const char* utf8 = text ? PyUnicode_AsUTF8AndSize(text.get(), &size) : nullptr;
    if (!utf8) {
        VX_TRY(nothing_unless_interrupt<bool>());
        return false;
    }
    missing.text.assign(utf8, static_cast<std::size_t>(size));
    missing.object = na;
    return true;
}

// The pandas already imported, when frame is exactly its DataFrame. Nothing is imported here: a
// frame of pandas' own type exists only once pandas is.
Maybe<PyRef> pandas_of_frame(PyObject* frame) {
    PyRef name = PyRef::steal(PyUnicode_FromString("pandas"));
    if (!name) return nothing_unless_interrupt<PyRef>();
    PyRef pandas = PyRef::steal(PyImport_GetModule(name.get()));
    if (!pandas) return nothing_unless_interrupt<PyRef>();
    PyRef frame_type = VX_TRY(optional_attribute(pandas.get(), "DataFrame"));
    if (!is_type(frame, frame_type)) return std::optional<PyRef>();
    return std::optional<PyRef>(std::move(pandas));
}

}  // namespace

Maybe<PyRef> attribute(PyObject* object, const char* name) {
    PyRef value = PyRef::steal(PyObject_GetAttrString(object, name));
    if (!value) return nothing_unless_interrupt<PyRef>();
    return std::optional<PyRef>(std::move(value));
}

Result<bool> is_pandas_frame(PyObject* frame) { return VX_TRY(pandas_of_frame(frame)).has_value(); }

Result<bool> is_pandas_instance(PyObject* obj) {
    PyRef name = PyRef::steal(PyUnicode_FromString("pandas"));
    if (!name) return PyErr::fetch();
    PyRef pandas = PyRef::steal(PyImport_GetModule(name.get()));
    if (!pandas) {
        if (auto interrupt = discard_pending_error()) return std::move(*interrupt);
        return false;
    }
    for (const char* type_name : {"DataFrame", "Series"}) {
        std::optional<PyRef> type = VX_TRY(attribute(pandas.get(), type_name));
        if (!type || !PyType_Check(type->get())) continue;
        const int found = PyObject_IsInstance(obj, type->get());
        if (found < 0) {
            if (auto interrupt = discard_pending_error()) return std::move(*interrupt);
            continue;
        }
        if (found == 1) return true;
    }
    return false;
}

Maybe<Pandas> Pandas::of_frame(PyObject* frame) {
    std::optional<PyRef> pandas = VX_TRY(pandas_of_frame(frame));
    if (!pandas) return std::optional<Pandas>();
    Pandas found;
    PyRef arrays = VX_TRY(optional_attribute(pandas->get(), "arrays"));
    if (arrays) {
        found.arrow_strings_ = VX_TRY(optional_attribute(arrays.get(), "ArrowStringArray"));
        found.arrow_arrays_ = VX_TRY(optional_attribute(arrays.get(), "ArrowExtensionArray"));
        found.python_strings_ = VX_TRY(optional_attribute(arrays.get(), "StringArray"));
        found.categorical_ = VX_TRY(optional_attribute(arrays.get(), "Categorical"));
        found.integers_ = VX_TRY(optional_attribute(arrays.get(), "IntegerArray"));
        found.floats_ = VX_TRY(optional_attribute(arrays.get(), "FloatingArray"));
        found.booleans_ = VX_TRY(optional_attribute(arrays.get(), "BooleanArray"));
    }
    PyRef na = VX_TRY(optional_attribute(pandas->get(), "NA"));
    if (!na) return std::optional<Pandas>(std::move(found));
    if (!VX_TRY(read_missing_scalar(na.get(), found.missing_))) return std::optional<Pandas>();
    found.na_ = std::move(na);
    return std::optional<Pandas>(std::move(found));
}

PandasArray Pandas::kind_of(PyObject* array) const noexcept {
    if (PyArray_CheckExact(array)) return PandasArray::numpy;
    if (is_type(array, python_strings_)) return PandasArray::python_strings;
    if (is_type(array, arrow_strings_) || is_type(array, arrow_arrays_)) return PandasArray::arrow;
    if (is_type(array, categorical_)) return PandasArray::categorical;
    if (is_type(array, integers_) || is_type(array, floats_) || is_type(array, booleans_)) {
        return PandasArray::masked_numbers;
    }
    return PandasArray::other;
}

Maybe<MissingCell> Pandas::missing_cell(PyObject* array) const {
    std::optional<PyRef> dtype = VX_TRY(attribute(array, "dtype"));
    if (!dtype) return std::optional<MissingCell>();
    std::optional<PyRef> value = VX_TRY(attribute(dtype->get(), "na_value"));
    if (!value) return std::optional<MissingCell>();
    if (missing_.object && value->get() == missing_.object) {
        return std::optional<MissingCell>(MissingCell::NotAvailable);
    }
    if (PyFloat_CheckExact(value->get()) && std::isnan(PyFloat_AS_DOUBLE(value->get()))) {
        return std::optional<MissingCell>(MissingCell::NotANumber);
    }
    return std::optional<MissingCell>();
}

Result<bool> Pandas::holds_typed_numbers(PyObject* array) const {
    const PandasArray kind = kind_of(array);
    if (kind == PandasArray::masked_numbers) return true;
    if (kind != PandasArray::arrow) return false;
    std::optional<PyRef> dtype = VX_TRY(attribute(array, "dtype"));
    if (!dtype) return false;
    // The NumPy kind of the dtype's values: 'i', 'u', 'f' or 'b' for the Arrow numbers.
    std::optional<PyRef> letter = VX_TRY(attribute(dtype->get(), "kind"));
    if (!letter || !PyUnicode_CheckExact(letter->get()) ||
        PyUnicode_GET_LENGTH(letter->get()) != 1) {
        return false;
    }
    const Py_UCS4 code = PyUnicode_READ_CHAR(letter->get(), 0);
    return code == 'i' || code == 'u' || code == 'f' || code == 'b';
}

Result<MissingNumbers> Pandas::missing_numbers_of(PyObject* frame, std::size_t cols) {
    MissingNumbers found;
    const std::optional<Pandas> pandas = VX_TRY(of_frame(frame));
    if (!pandas || !pandas->missing_.object) return found;
    const std::optional<StoredColumns> stored = VX_TRY(StoredColumns::of_frame(frame));
    if (!stored) return found;
    std::vector<bool> columns(cols);
    bool any = false;
    for (std::size_t col = 0; col < cols; ++col) {
        const std::optional<PyRef> array = VX_TRY(stored->array(col));
        if (!array) return found;
        columns[col] = VX_TRY(pandas->holds_typed_numbers(array->get()));
        any = any || columns[col];
    }
    if (!any) return found;
    found.object = PyRef::borrow(pandas->na_.get());
    found.columns = std::move(columns);
    return found;
}

Maybe<StoredColumns> StoredColumns::of_frame(PyObject* frame) {
    std::optional<PyRef> accessor = VX_TRY(attribute(frame, "_get_column_array"));
    if (!accessor) return std::optional<StoredColumns>();
    return std::optional<StoredColumns>(StoredColumns(std::move(*accessor)));
}

Maybe<PyRef> StoredColumns::array(std::size_t col) const {
    PyRef index = PyRef::steal(PyLong_FromSize_t(col));
    PyRef array = index ? PyRef::steal(PyObject_CallOneArg(accessor_.get(), index.get())) : PyRef();
    if (!array) return nothing_unless_interrupt<PyRef>();
    return std::optional<PyRef>(std::move(array));
}

}  // namespace vexilo::py

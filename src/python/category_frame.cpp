// Category columns of a DataFrame: positions into NumPy integer arrays on the pool, then one
// Categorical.from_codes per column over a list of its labels.
#include "python/category_frame.h"

#include <cstddef>

#include "engine/category_positions.h"
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

}  // namespace

Status set_category_columns(const PyRef& pandas, const PyRef& df, const Table& table,
                            const std::vector<ListedMap>& maps) {
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

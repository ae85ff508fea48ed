// What vexilo knows of pandas' private layout: the frame type and array classes of the pandas
// already imported, the accessor of a frame's stored column by position, and the attributes that
// hold each kind of array's memory (object cells, category codes and categories, a nullable
// array's data and mask, how its values give a missing cell). Nothing here imports pandas.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "engine/column_entries.h"  // MissingCell
#include "python/cell_rule.h"
#include "python/py_err.h"

namespace vexilo::py {

// A failed step of finding out how to read a frame: nothing (the failure discarded); an interrupt
// is returned.
template <class T>
using Maybe = Result<std::optional<T>>;

// The kinds of pandas arrays whose memory is read.
enum class PandasArray {
    numpy,           // a NumPy array (exactly that type)
    python_strings,  // str and string in Python storage: an object array of the cells
    arrow,           // str and string in Arrow storage, and any ArrowDtype
    categorical,     // codes into categories
    masked_numbers,  // nullable integers, floats and booleans: data and a mask
    other,
};

// The pandas that frame's type comes from, as far as reading its arrays needs it. A class pandas
// lacks stays null and matches no array.
class Pandas {
public:
    // The pandas already imported, when frame is exactly its DataFrame; nothing otherwise, or when
    // a step fails (an interrupt is returned). Calling thread, interpreter held.
    static Maybe<Pandas> of_frame(PyObject* frame);

    // Which kind of array array (borrowed) is, by its exact type.
    PandasArray kind_of(PyObject* array) const noexcept;

    // pandas' NA as the cell readers read it: its object only when it is what the cell-by-cell
    // reading takes it for (no number, with the text str() gives it).
    const MissingScalar& missing() const noexcept { return missing_; }

    // How the frame's values give a missing cell of array: pandas' NA or a float NaN; nothing when
    // the array's dtype says neither.
    Maybe<MissingCell> missing_cell(PyObject* array) const;

    // True when array (borrowed) holds typed numbers: a nullable number array, or an Arrow array
    // whose dtype's kind is that of integers, floats or booleans. Only an interrupt fails.
    Result<bool> holds_typed_numbers(PyObject* array) const;

    // The missing numbers of frame's values, for a pandas frame of cols columns: pandas' NA, and
    // the columns whose arrays hold typed numbers. None is marked for any other frame, a frame
    // without such a column, or when a step fails (discarded; an interrupt is returned). Runs
    // pandas' code. Calling thread, interpreter held.
    static Result<MissingNumbers> missing_numbers_of(PyObject* frame, std::size_t cols);

private:
    PyRef arrow_strings_;   // ArrowStringArray: str and string in Arrow storage
    PyRef arrow_arrays_;    // ArrowExtensionArray: any ArrowDtype
    PyRef python_strings_;  // StringArray: str and string in Python storage
    PyRef categorical_;
    PyRef integers_;
    PyRef floats_;
    PyRef booleans_;
    PyRef na_;
    MissingScalar missing_;
};

// True when frame is exactly the DataFrame of the pandas already imported. Only an interrupt
// fails. Calling thread, interpreter held.
Result<bool> is_pandas_frame(PyObject* frame);

// True when pandas is already imported and obj is an instance of its DataFrame or Series, a
// subclass's too; nothing is imported for the question. Only an interrupt is returned. Calling
// thread, interpreter held.
Result<bool> is_pandas_instance(PyObject* obj);

// The attribute name of object, or nothing (the failure discarded; an interrupt is returned).
Maybe<PyRef> attribute(PyObject* object, const char* name);

// The arrays pandas stores a frame's columns in, by position, through the frame's own accessor of
// its stored columns: public ways to a column make a Series, and pandas keeps a record of every
// such view of its blocks.
class StoredColumns {
public:
    static Maybe<StoredColumns> of_frame(PyObject* frame);
    // The array of column col (a new reference), or nothing (an interrupt is returned).
    Maybe<PyRef> array(std::size_t col) const;

private:
    explicit StoredColumns(PyRef accessor) noexcept : accessor_(std::move(accessor)) {}
    PyRef accessor_;
};

// The parts of pandas' arrays: the object cells of a Python-storage string array; a categorical's
// codes and the values of its categories; a nullable array's data and mask.
inline constexpr const char* object_cells_attribute = "_ndarray";
inline constexpr const char* codes_attribute = "_codes";
inline constexpr const char* categories_attribute = "categories";
inline constexpr const char* index_values_attribute = "_values";
inline constexpr const char* masked_data_attribute = "_data";
inline constexpr const char* mask_attribute = "_mask";

}  // namespace vexilo::py

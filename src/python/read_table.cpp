// Input conversion: dispatch on the type's name, a frame's column names, the float64 fast path,
// and for every other table its collection and the engine's encoding step.
#include "python/read_table.h"

#include <unistd.h>  // write

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <system_error>
#include <vector>

#include "engine/frozen_texts.h"
#include "engine/internal_failure.h"
#include "python/collect_table.h"
#include "python/error_policy.h"
#include "python/pandas_arrays.h"
#include "python/signal_check.h"
#include "python/table_allocation.h"

namespace vexilo::py {
namespace {

using Names = std::vector<std::string>;

// Room made for the column names at once, whatever length the columns object claims.
constexpr std::size_t names_reserve_limit = 4096;

Result<std::string> type_name(PyObject* obj) {
    PyRef name = VX_TRY(checked(PyType_GetName(Py_TYPE(obj))));
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(name.get(), &size);
    if (!text) return PyErr::fetch();
    return std::string(text, static_cast<std::size_t>(size));
}

// Writes "<name>\n" to file descriptor 1 itself, past any buffering or redirection of sys.stdout.
// A closed descriptor drops the line; any other failure is an internal failure.
void print_refused_type(const std::string& name) {
    const std::string line = name + "\n";
    const char* next = line.data();
    std::size_t left = line.size();
    while (left > 0) {
        const ssize_t written = ::write(1, next, left);
        if (written < 0) {
            const int error = errno;
            if (error == EINTR) continue;
            if (error == EBADF) return;
            throw InternalFailure(std::string(frozen_text::failed_printing) +
                                  std::generic_category().message(error));
        }
        next += written;
        left -= static_cast<std::size_t>(written);
    }
}

// The room to make for the names of sequence: its length, capped. The length only sizes the
// reservation, so a failing one counts as 0; only an interrupt is returned.
Result<std::size_t> names_reserve(PyObject* sequence) {
    const Py_ssize_t length = PyObject_Size(sequence);
    if (length < 0) {
        if (auto interrupt = discard_pending_error()) return std::move(*interrupt);
        return std::size_t{0};
    }
    return std::min(static_cast<std::size_t>(length), names_reserve_limit);
}

// The labels as texts when every one is a str; nothing otherwise (the reason discarded, unless
// it is an interrupt, which is returned).
Result<std::optional<Names>> text_labels(PyObject* columns) {
    const auto not_texts = [] { return nothing_unless_interrupt<Names>(); };
    if (PyUnicode_Check(columns) || !PySequence_Check(columns)) return std::optional<Names>();
    Names names;
    names.reserve(VX_TRY(names_reserve(columns)));
    PyRef iterator = PyRef::steal(PyObject_GetIter(columns));
    if (!iterator) return not_texts();
    while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
        if (!PyUnicode_Check(item.get())) return std::optional<Names>();
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(item.get(), &size);
        if (!text) return not_texts();
        names.emplace_back(text, static_cast<std::size_t>(size));
    }
    if (PyErr_Occurred()) return not_texts();
    return std::optional<Names>(std::move(names));
}

// The error of reading the label at position as an integer, with a note saying what the labels
// must be and which one is not; an interrupt is returned as it is.
PyErr not_an_integer_label(PyErr error, std::size_t position, PyObject* label) {
    if (is_interrupt(error)) return error;
    PyRef repr = PyRef::steal(PyObject_Repr(label));
    const char* text = repr ? PyUnicode_AsUTF8(repr.get()) : nullptr;
    std::string shown;
    if (text) {
        shown = text;
    } else {
        if (auto interrupt = discard_pending_error()) return std::move(*interrupt);
        shown = "a '" + type_qualname(label) + "' object";
    }
    const std::string note =
        "the column labels must be all str or all integers of 64 bits, and the label at "
        "position " +
        std::to_string(position) + " is " + shown;
    return std::move(error).with_note(note.c_str());
}

// The labels of columns.tolist() as signed 64-bit integers in decimal.
Result<Names> integer_labels(PyObject* columns) {
    PyRef labels = VX_TRY(checked(PyObject_CallMethod(columns, "tolist", nullptr)));
    if (PyUnicode_Check(labels.get())) {
        return PyErr::make(PyExc_TypeError, frozen_text::cannot_extract_str);
    }
    if (!PySequence_Check(labels.get())) {
        std::string message = "'";  // built by appends: GCC 12 misreads "..." + std::string&&
        message += type_qualname(labels.get());
        message += "' object is not a sequence";
        return PyErr::make(PyExc_TypeError, message);
    }
    Names names;
    names.reserve(VX_TRY(names_reserve(labels.get())));
    PyRef iterator = VX_TRY(checked(PyObject_GetIter(labels.get())));
    while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
        const long long label = PyLong_AsLongLong(item.get());
        if (label == -1 && PyErr_Occurred()) {
            return not_an_integer_label(PyErr::fetch(), names.size(), item.get());
        }
        names.push_back(std::to_string(label));
    }
    if (PyErr_Occurred()) return PyErr::fetch();
    return names;
}

// Collects obj and encodes it on the worker pool while the caller waits with the interpreter held,
// running pending signal handlers every pool poll interval (a handler's exception cancels the
// work). Returns the table and a complete EncodingInfo, or the failures of collect_table or a
// signal handler's exception, having kept nothing.
Result<Conversion> learn(PyObject* obj, TableInput input) {
    Collection collected = VX_TRY(collect_input(obj, input));
    OutputKind out = std::move(input.out);
    EncodingInfo info;
    // The learned labels are at most the table's cells: both steps run where its size says.
    const std::size_t cells = table_cells(collected.table.rows, collected.table.cols);
    VX_TRY(run_on_pool(
        cells, [&] { info = encode_table_forward(collected.columns, collected.table, false); }));
    // The maps hold copies of the texts: the objects that kept the cells' texts valid may go
    // before the inverse maps take their room.
    collected.pins = Pins();
    VX_TRY(run_on_pool(cells, [&] { add_inverse_maps(info); }));
    return Conversion{std::move(out), std::move(collected.table), std::move(info)};
}

Result<Names> column_names(PyObject* frame) {
    PyRef columns = VX_TRY(checked(PyObject_GetAttrString(frame, "columns")));
    std::optional<Names> texts = VX_TRY(text_labels(columns.get()));
    if (texts) return std::move(*texts);
    return integer_labels(columns.get());
}

// True when obj's type comes from a module whose name starts with prefix (its __module__: "dask"
// takes "dask.dataframe" and "dask_expr"), which is never imported for the question.
Result<bool> type_module_starts_with(PyObject* obj, const char* prefix) {
    PyRef module = PyRef::steal(
        PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__module__"));
    if (!module) {
        if (auto interrupt = discard_pending_error()) return std::move(*interrupt);
        return false;
    }
    if (!PyUnicode_Check(module.get())) return false;
    PyRef start = VX_TRY(checked(PyUnicode_FromString(prefix)));
    const Py_ssize_t starts = PyUnicode_Tailmatch(module.get(), start.get(), 0, PY_SSIZE_T_MAX, -1);
    if (starts < 0) return PyErr::fetch();
    return starts == 1;
}

Result<bool> is_dask_object(PyObject* obj) { return type_module_starts_with(obj, "dask"); }

}  // namespace

Result<std::optional<Table>> copy_float_array(PyObject* obj) {
    if (!PyArray_Check(obj)) return std::optional<Table>();
    PyArrayObject* const array = reinterpret_cast<PyArrayObject*>(obj);
    if (PyArray_NDIM(array) != 2) return std::optional<Table>();
    // A new reference, even to a builtin descriptor.
    PyRef float64 = PyRef::steal(reinterpret_cast<PyObject*>(PyArray_DescrFromType(NPY_DOUBLE)));
    if (!float64) return PyErr::fetch();
    if (!PyArray_EquivTypes(PyArray_DESCR(array),
                            reinterpret_cast<PyArray_Descr*>(float64.get()))) {
        return std::optional<Table>();
    }

    const std::size_t rows = static_cast<std::size_t>(PyArray_DIM(array, 0));
    const std::size_t cols = static_cast<std::size_t>(PyArray_DIM(array, 1));
    const bool c_order = PyArray_IS_C_CONTIGUOUS(array);
    const bool f_order = !c_order && PyArray_IS_F_CONTIGUOUS(array);
    Table table = VX_TRY(new_table(rows, cols, f_order ? Layout::ColumnMajor : Layout::RowMajor));
    if (rows == 0 || cols == 0) return std::optional<Table>(std::move(table));
    const char* const base = PyArray_BYTES(array);
    if (c_order || f_order) {
        std::memcpy(table.data.get(), base, rows * cols * sizeof(double));
        return std::optional<Table>(std::move(table));
    }
    const npy_intp row_step = PyArray_STRIDE(array, 0);
    const npy_intp col_step = PyArray_STRIDE(array, 1);
    double* out = table.data.get();
    for (std::size_t r = 0; r < rows; ++r) {
        const char* row = base + static_cast<npy_intp>(r) * row_step;
        for (std::size_t c = 0; c < cols; ++c) {
            std::memcpy(out++, row + static_cast<npy_intp>(c) * col_step, sizeof(double));
        }
    }
    return std::optional<Table>(std::move(table));
}

Result<OutputKind> output_kind_of(PyObject* obj) {
    const std::string name = VX_TRY(type_name(obj));
    OutputKind out;
    if (name == "DataFrame" && VX_TRY(is_dask_object(obj))) {
        // Taken for a pandas frame, a Dask frame's reads would run its lazy graph cell by cell.
        return PyErr::make(PyExc_TypeError,
                           "a Dask DataFrame is read by vexilo.dask, not here: use "
                           "vexilo.dask.encode(ddf) or vexilo.dask.transform(ddf, encoder), or "
                           "pass a computed pandas DataFrame (ddf.compute(), or a partition)");
    }
    if (name == "DataFrame") {
        out.kind = OutputKind::Kind::DataFrame;
        // Read before the fast-path test: a frame whose columns cannot be read fails here.
        out.column_names = VX_TRY(column_names(obj));
    } else if (name != "ndarray" && name != "memmap") {
        print_refused_type(name);
        return PyErr::make(PyExc_TypeError,
                           "Unsupported type: '" + name +
                               "'. Supported types are: " + "numpy.ndarray, pandas.DataFrame");
    }
    return out;
}

Result<TableInput> table_input(PyObject* obj) {
    // NumPy arrays, and pandas' objects (subclasses of its frames and series included) and
    // Dask's, keep their own routes even where they offer an Arrow stream (a pandas Series does,
    // of a column, and is refused as before).
    if (!PyArray_Check(obj) && !VX_TRY(type_in_package(obj, "pandas")) &&
        !VX_TRY(is_dask_object(obj)) && !VX_TRY(is_pandas_instance(obj))) {
        const std::string name = VX_TRY(type_name(obj));
        if (name == "LazyFrame" && VX_TRY(type_in_package(obj, "polars"))) {
            return PyErr::make(PyExc_TypeError,
                               "a polars LazyFrame holds no rows until it runs: pass "
                               "lazy_frame.collect(), a polars DataFrame");
        }
        std::optional<ArrowInput> arrow = VX_TRY(take_arrow_input(obj, name));
        if (arrow) {
            OutputKind out = arrow->out;
            return TableInput{std::move(out), std::move(arrow)};
        }
    }
    return TableInput{VX_TRY(output_kind_of(obj)), std::nullopt};
}

Result<Collection> collect_input(PyObject* obj, TableInput& input,
                                 std::span<const ColumnTurn> turns) {
    if (input.arrow) return collect_arrow_table(*input.arrow, turns);
    return collect_table(obj, input.out, turns);
}

Result<Conversion> read_table(PyObject* obj, StringEncoding) {
    // StringEncoding has one value, label, which learn implements.
    TableInput input = VX_TRY(table_input(obj));
    if (!input.arrow) {
        std::optional<Table> copied = VX_TRY(copy_float_array(obj));
        if (copied) return Conversion{std::move(input.out), std::move(*copied), std::nullopt};
    }
    return learn(obj, std::move(input));
}

}  // namespace vexilo::py

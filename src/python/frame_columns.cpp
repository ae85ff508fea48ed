// A pandas frame's columns found in pandas' own arrays and read from their memory: NumPy and
// Python-storage columns by the object scan on the calling thread, Arrow and category columns on
// the worker pool.
#include "python/frame_columns.h"

#include <algorithm>
#include <atomic>
#include <cmath>  // std::isnan
#include <iterator>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "engine/arrow_column.h"
#include "engine/column_entries.h"
#include "engine/encode_table.h"
#include "pool/pool.h"
#include "python/arrow_capsule.h"
#include "python/element_kind.h"
#include "python/error_policy.h"
#include "python/object_scan.h"
#include "python/table_allocation.h"

namespace vexilo::py {
namespace {

// What pandas offers for reading its arrays, from the pandas already imported (nothing is
// imported here: a frame of pandas' own type exists only once pandas is). A type pandas lacks
// stays null and matches no column.
struct Pandas {
    PyRef frame_type;
    PyRef arrow_strings;   // ArrowStringArray: str and string in Arrow storage
    PyRef arrow_arrays;    // ArrowExtensionArray: any ArrowDtype
    PyRef python_strings;  // StringArray: str and string in Python storage
    PyRef categorical;
    PyRef integers;
    PyRef floats;
    PyRef booleans;
    PyRef na;
    MissingScalar missing;  // pandas' NA; its object stays null unless it is surely no number
};

// How a column is read: objects by the scan on the calling thread, everything else on the pool.
// Arrow columns are told apart once their chunks are opened.
enum class Reader { Objects, Numbers, Arrow, ArrowTexts, ArrowNumbers, Category };

struct Plan {
    Reader reader = Reader::Objects;
    ColumnMemory memory;                 // Objects, Numbers
    PyRef memory_array;                  // Objects: the NumPy array memory lies in
    std::size_t arrow = 0;               // Arrow readers: the column in Source::arrow
    std::optional<MissingCell> missing;  // Arrow texts and categories
    vexilo::ColumnMemory codes;          // Category
    std::vector<std::string_view> categories;
};

// The Arrow memory of a column, and its reader once opened.
struct ArrowSource {
    arrow::ArrowChunks chunks;
    std::optional<arrow::ArrowColumn> column;
};

// Everything the reading points into, kept until the encoding is done: arrays, Arrow structures
// (released on the calling thread with the source) and the str objects whose texts are viewed.
struct Source {
    std::vector<PyRef> arrays;
    std::vector<ArrowSource> arrow;
    Pins pins;
    std::vector<Plan> plans;
};

template <class T>
using Maybe = Result<std::optional<T>>;

// Nothing, after a failed step of finding out how to read a frame; an interrupt is returned.
template <class T>
Maybe<T> nothing() {
    if (PyErr_Occurred()) {
        if (auto interrupt = discard_pending_error()) return std::move(*interrupt);
    }
    return std::optional<T>();
}

// The attribute name of object, or nothing (the failure discarded).
Maybe<PyRef> attribute(PyObject* object, const char* name) {
    PyRef value = PyRef::steal(PyObject_GetAttrString(object, name));
    if (!value) return nothing<PyRef>();
    return std::optional<PyRef>(std::move(value));
}

// An attribute that may be absent: a null reference then.
Result<PyRef> optional_attribute(PyObject* object, const char* name) {
    std::optional<PyRef> value = VX_TRY(attribute(object, name));
    return value ? std::move(*value) : PyRef();
}

Maybe<Pandas> find_pandas(PyObject* frame) {
    PyRef name = PyRef::steal(PyUnicode_FromString("pandas"));
    if (!name) return nothing<Pandas>();
    PyRef pandas = PyRef::steal(PyImport_GetModule(name.get()));
    if (!pandas) return nothing<Pandas>();
    Pandas found;
    found.frame_type = VX_TRY(optional_attribute(pandas.get(), "DataFrame"));
    if (reinterpret_cast<PyObject*>(Py_TYPE(frame)) != found.frame_type.get()) {
        return std::optional<Pandas>();
    }
    PyRef arrays = VX_TRY(optional_attribute(pandas.get(), "arrays"));
    if (arrays) {
        found.arrow_strings = VX_TRY(optional_attribute(arrays.get(), "ArrowStringArray"));
        found.arrow_arrays = VX_TRY(optional_attribute(arrays.get(), "ArrowExtensionArray"));
        found.python_strings = VX_TRY(optional_attribute(arrays.get(), "StringArray"));
        found.categorical = VX_TRY(optional_attribute(arrays.get(), "Categorical"));
        found.integers = VX_TRY(optional_attribute(arrays.get(), "IntegerArray"));
        found.floats = VX_TRY(optional_attribute(arrays.get(), "FloatingArray"));
        found.booleans = VX_TRY(optional_attribute(arrays.get(), "BooleanArray"));
    }
    // NA is read as a cell only when it is what the cell-by-cell reading takes it for: no number
    // (float() fails), with the text str() gives it.
    PyRef na = VX_TRY(optional_attribute(pandas.get(), "NA"));
    if (!na) return std::optional<Pandas>(std::move(found));
    if (PyFloat_AsDouble(na.get()) != -1.0 || !PyErr_Occurred()) {
        return std::optional<Pandas>(std::move(found));
    }
    if (auto interrupt = discard_pending_error()) return std::move(*interrupt);
    PyRef text = PyRef::steal(PyObject_Str(na.get()));
    Py_ssize_t size = 0;
    const char* utf8 = text ? PyUnicode_AsUTF8AndSize(text.get(), &size) : nullptr;
    if (!utf8) return nothing<Pandas>();
    found.missing.text.assign(utf8, static_cast<std::size_t>(size));
    found.missing.object = na.get();
    found.na = std::move(na);
    return std::optional<Pandas>(std::move(found));
}

bool is_type(PyObject* object, const PyRef& type) {
    return type && reinterpret_cast<PyObject*>(Py_TYPE(object)) == type.get();
}

// The memory of a one-dimensional NumPy array (exactly that type) of rows elements of a kind the
// scan reads.
std::optional<ColumnMemory> memory_of(PyObject* array, std::size_t rows) {
    if (!PyArray_CheckExact(array)) return std::nullopt;
    auto* const numpy = reinterpret_cast<PyArrayObject*>(array);
    if (PyArray_NDIM(numpy) != 1 || static_cast<std::size_t>(PyArray_DIM(numpy, 0)) != rows) {
        return std::nullopt;
    }
    const std::optional<ElementKind> kind = element_kind(PyArray_DESCR(numpy));
    if (!kind || !scannable(*kind)) return std::nullopt;
    return ColumnMemory{PyArray_BYTES(numpy), PyArray_STRIDE(numpy, 0), *kind};
}

// Reads an attribute holding a NumPy array of rows elements; keeps the array in source, and in
// held when given.
Maybe<ColumnMemory> array_attribute(Source& source, PyObject* object, const char* name,
                                    std::size_t rows, PyRef* held = nullptr) {
    std::optional<PyRef> array = VX_TRY(attribute(object, name));
    if (!array) return std::optional<ColumnMemory>();
    std::optional<ColumnMemory> memory = memory_of(array->get(), rows);
    if (memory) {
        if (held) *held = PyRef::borrow(array->get());
        source.arrays.push_back(std::move(*array));
    }
    return memory;
}

// How the frame's values give a missing cell of an array with this dtype: NA or a float NaN.
Maybe<MissingCell> missing_cell(PyObject* array, const Pandas& pandas) {
    std::optional<PyRef> dtype = VX_TRY(attribute(array, "dtype"));
    if (!dtype) return std::optional<MissingCell>();
    std::optional<PyRef> value = VX_TRY(attribute(dtype->get(), "na_value"));
    if (!value) return std::optional<MissingCell>();
    if (pandas.missing.object && value->get() == pandas.missing.object) {
        return std::optional<MissingCell>(MissingCell::NotAvailable);
    }
    if (PyFloat_CheckExact(value->get()) && std::isnan(PyFloat_AS_DOUBLE(value->get()))) {
        return std::optional<MissingCell>(MissingCell::NotANumber);
    }
    return std::optional<MissingCell>();
}

bool stores_views(const arrow::ArrowChunks& chunks) {
    const ArrowSchema& schema = chunks.schema();
    const ArrowSchema& values = schema.dictionary ? *schema.dictionary : schema;
    return values.format && std::string_view(values.format) == "vu";
}

// Takes the Arrow chunks behind array, to be opened later; false when it offers none.
Result<bool> take_arrow(Source& source, Plan& plan, PyObject* array, std::size_t rows,
                        const Pandas& pandas) {
    std::optional<arrow::ArrowChunks> chunks = VX_TRY(arrow_chunks(array, rows));
    if (!chunks) return false;
    plan.missing = VX_TRY(missing_cell(array, pandas));
    plan.reader = Reader::Arrow;
    plan.arrow = source.arrow.size();
    source.arrow.push_back(ArrowSource{std::move(*chunks), std::nullopt});
    return true;
}

// Opens every column's Arrow chunks, in parallel, and picks its reader: false when a column is
// not one that reads as its values do.
bool open_arrow_columns(Source& source, std::size_t rows) {
    pool::global_pool().parallel_for(source.arrow.size(), [&](std::size_t i) {
        Expected<arrow::ArrowColumn> opened = arrow::ArrowColumn::open(source.arrow[i].chunks);
        if (opened) source.arrow[i].column.emplace(std::move(opened).value());
    });
    for (Plan& plan : source.plans) {
        if (plan.reader != Reader::Arrow) continue;
        const ArrowSource& arrow = source.arrow[plan.arrow];
        if (!arrow.column || arrow.column->rows() != rows) return false;
        if (arrow.column->cell_type() == arrow::CellType::Number) {
            // With a missing cell the values hold NA, which turns the column categorical.
            if (arrow.column->null_count() != 0) return false;
            plan.reader = Reader::ArrowNumbers;
            continue;
        }
        // pandas makes no values of a string view column with missing cells.
        if (arrow.column->null_count() > 0 && stores_views(arrow.chunks)) return false;
        if (!plan.missing) return false;
        plan.reader = Reader::ArrowTexts;
    }
    return true;
}

// The text of every element of an object array of exact str, viewed in place and pinned.
Result<bool> str_texts(Source& source, PyObject* array, std::vector<std::string_view>& texts) {
    if (!PyArray_CheckExact(array)) return false;
    auto* const numpy = reinterpret_cast<PyArrayObject*>(array);
    if (PyArray_NDIM(numpy) != 1 || element_kind(PyArray_DESCR(numpy)) != ElementKind::Objects) {
        return false;
    }
    const auto count = static_cast<std::size_t>(PyArray_DIM(numpy, 0));
    for (std::size_t i = 0; i < count; ++i) {
        PyObject* const item = load_unaligned<PyObject*>(
            PyArray_BYTES(numpy) + static_cast<npy_intp>(i) * PyArray_STRIDE(numpy, 0));
        if (!item || !PyUnicode_CheckExact(item)) return false;
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(item, &size);
        if (!utf8) {
            // A text with lone surrogates: the cell-by-cell reading makes it leniently.
            if (auto interrupt = discard_pending_error()) return std::move(*interrupt);
            return false;
        }
        texts.emplace_back(utf8, static_cast<std::size_t>(size));
        source.pins.push_back(PyRef::borrow(item));
    }
    return true;
}

// The texts of a category's categories: str objects, or texts in Arrow or Python storage.
Result<bool> category_texts(Source& source, Plan& plan, PyObject* categories,
                            const Pandas& pandas) {
    std::optional<PyRef> values = VX_TRY(attribute(categories, "_values"));
    if (!values) return false;
    PyObject* const array = values->get();
    if (is_type(array, pandas.python_strings)) {
        std::optional<PyRef> objects = VX_TRY(attribute(array, "_ndarray"));
        return objects && VX_TRY(str_texts(source, objects->get(), plan.categories));
    }
    if (!is_type(array, pandas.arrow_strings)) return str_texts(source, array, plan.categories);
    const Py_ssize_t length = PyObject_Length(array);
    if (length < 0) {
        if (auto interrupt = discard_pending_error()) return std::move(*interrupt);
        return false;
    }
    const auto count = static_cast<std::size_t>(length);
    std::optional<arrow::ArrowChunks> chunks = VX_TRY(arrow_chunks(array, count));
    if (!chunks) return false;
    Expected<arrow::ArrowColumn> opened = arrow::ArrowColumn::open(*chunks);
    const arrow::ArrowColumn* column = opened ? &opened.value() : nullptr;
    if (!column || column->rows() != count || column->cell_type() != arrow::CellType::Text ||
        column->null_count() != 0) {
        return false;
    }
    source.arrow.push_back(ArrowSource{std::move(*chunks), std::nullopt});
    plan.categories.resize(count);
    auto absent = std::make_unique<bool[]>(count);
    column->read_texts(0, count, plan.categories.data(), absent.get());
    return true;
}

Result<bool> plan_category(Source& source, Plan& plan, PyObject* array, std::size_t rows,
                           const Pandas& pandas) {
    const std::optional<ColumnMemory> codes =
        VX_TRY(array_attribute(source, array, "_codes", rows));
    if (!codes) return false;
    switch (codes->kind) {
        case ElementKind::Int8:
            plan.codes.kind = StorageKind::int8;
            break;
        case ElementKind::Int16:
            plan.codes.kind = StorageKind::int16;
            break;
        case ElementKind::Int32:
            plan.codes.kind = StorageKind::int32;
            break;
        case ElementKind::Int64:
            plan.codes.kind = StorageKind::int64;
            break;
        default:
            return false;
    }
    plan.codes.first = codes->first;
    plan.codes.row_step = codes->row_step;
    std::optional<PyRef> categories = VX_TRY(attribute(array, "categories"));
    if (!categories || !VX_TRY(category_texts(source, plan, categories->get(), pandas))) {
        return false;
    }
    // The values take a missing category as a float NaN, whatever the categories.
    plan.reader = Reader::Category;
    plan.missing = MissingCell::NotANumber;
    return true;
}

// A nullable number array without a missing value reads as its data.
Result<bool> plan_masked(Source& source, Plan& plan, PyObject* array, std::size_t rows) {
    const std::optional<ColumnMemory> mask = VX_TRY(array_attribute(source, array, "_mask", rows));
    if (!mask || mask->kind != ElementKind::Bool) return false;
    for (std::size_t row = 0; row < rows; ++row) {
        if (load_unaligned<std::uint8_t>(mask->first +
                                         static_cast<std::ptrdiff_t>(row) * mask->row_step) != 0) {
            return false;
        }
    }
    const std::optional<ColumnMemory> data = VX_TRY(array_attribute(source, array, "_data", rows));
    if (!data || data->kind == ElementKind::Objects) return false;
    plan.reader = Reader::Numbers;
    plan.memory = *data;
    return true;
}

Result<bool> plan_column(Source& source, Plan& plan, PyObject* array, std::size_t rows,
                         const Pandas& pandas) {
    if (std::optional<ColumnMemory> memory = memory_of(array, rows)) {
        plan.reader = memory->kind == ElementKind::Objects ? Reader::Objects : Reader::Numbers;
        plan.memory = *memory;
        plan.memory_array = PyRef::borrow(array);
        return true;
    }
    if (is_type(array, pandas.python_strings)) {
        // The values hold the very objects of its backing array, missing cells included.
        const std::optional<ColumnMemory> objects =
            VX_TRY(array_attribute(source, array, "_ndarray", rows, &plan.memory_array));
        if (!objects || objects->kind != ElementKind::Objects) return false;
        plan.reader = Reader::Objects;
        plan.memory = *objects;
        return true;
    }
    if (is_type(array, pandas.arrow_strings) || is_type(array, pandas.arrow_arrays)) {
        return take_arrow(source, plan, array, rows, pandas);
    }
    if (is_type(array, pandas.categorical)) return plan_category(source, plan, array, rows, pandas);
    if (is_type(array, pandas.integers) || is_type(array, pandas.floats) ||
        is_type(array, pandas.booleans)) {
        return plan_masked(source, plan, array, rows);
    }
    return false;
}

// How to read every column of frame, or nothing when one of them is of another kind. A column's
// array comes from the frame's own accessor of its stored column, by position: public ways to a
// column make a Series, and pandas keeps a record of every such view of its blocks.
Maybe<Source> plan_columns(PyObject* frame, std::size_t rows, std::size_t cols,
                           const Pandas& pandas) {
    std::optional<PyRef> column_array = VX_TRY(attribute(frame, "_get_column_array"));
    if (!column_array) return std::optional<Source>();
    Source source;
    source.plans.resize(cols);
    for (std::size_t col = 0; col < cols; ++col) {
        PyRef index = PyRef::steal(PyLong_FromSize_t(col));
        PyRef array =
            index ? PyRef::steal(PyObject_CallOneArg(column_array->get(), index.get())) : PyRef();
        if (!array) return nothing<Source>();
        if (!VX_TRY(plan_column(source, source.plans[col], array.get(), rows, pandas))) {
            return nothing<Source>();
        }
        source.arrays.push_back(std::move(array));
    }
    return std::optional<Source>(std::move(source));
}

// Reads column col, planned for a reader that needs no interpreter, into its table column and
// cells; failed becomes 1 when a category code names no category.
void read_column(const Source& source, std::size_t col, ColumnCells& cells, Table& table,
                 char& failed) {
    const Plan& plan = source.plans[col];
    double* const first = table.data.get() + col * table.col_stride;
    const ColumnTarget target{first, table.row_stride, cells};
    switch (plan.reader) {
        case Reader::Numbers:
            visit_number_kind(plan.memory.kind, [&](auto element) {
                for (std::size_t row = 0; row < table.rows; ++row) {
                    first[row * table.row_stride] =
                        element.read(plan.memory.first +
                                     static_cast<std::ptrdiff_t>(row) * plan.memory.row_step);
                }
            });
            break;
        case Reader::ArrowTexts:
            failed = collect_arrow_texts(*source.arrow[plan.arrow].column, *plan.missing, target)
                         ? 0
                         : 1;
            break;
        case Reader::ArrowNumbers:
            source.arrow[plan.arrow].column->read_numbers(0, table.rows, first, table.row_stride);
            break;
        case Reader::Category:
            failed = collect_category_codes(plan.codes, table.rows, plan.categories, *plan.missing,
                                            target)
                         ? 0
                         : 1;
            break;
        case Reader::Objects:
        case Reader::Arrow:
            break;
    }
    cells.finish();
}

// Reads the columns that need no interpreter into the table, and the categorical ones among them
// also into columns. False when a category code names no category. Each thread takes the next
// column as it gets free: one text column can cost many times another (its texts' count and
// length decide), so fixed shares of the columns would leave threads idle. Text columns are taken
// first, so that the cheap number columns fill the gaps at the end. turns: one per column of the
// frame, or none.
bool read_on_pool(const Source& source, std::vector<CollectedColumn>& columns, Table& table,
                  std::span<const ColumnTurn> turns) {
    std::vector<std::size_t> native;
    for (std::size_t col = 0; col < source.plans.size(); ++col) {
        if (source.plans[col].reader != Reader::Objects) native.push_back(col);
    }
    std::vector<CollectedColumn> read;
    read.reserve(native.size());
    for (const std::size_t col : native) {
        read.push_back(CollectedColumn{col, ColumnCells(0)});
        // Arrow texts and categories then read every missing cell as one after a text.
        if (!turns.empty() && turns[col] == ColumnTurn::Before)
            read.back().cells.make_categorical();
    }
    std::vector<char> failed(native.size(), 0);
    std::vector<std::size_t> order;  // positions in native, text columns first
    for (const bool texts : {true, false}) {
        for (std::size_t i = 0; i < native.size(); ++i) {
            const Reader reader = source.plans[native[i]].reader;
            if ((reader == Reader::ArrowTexts || reader == Reader::Category) == texts) {
                order.push_back(i);
            }
        }
    }
    std::atomic<std::size_t> next{0};
    pool::ThreadPool& pool = pool::global_pool();
    pool.parallel_for(std::min(order.size(), pool.thread_count()), [&](std::size_t) {
        // relaxed: the counter only hands out positions; the loop's end publishes the writes.
        for (std::size_t k; (k = next.fetch_add(1, std::memory_order_relaxed)) < order.size();) {
            const std::size_t i = order[k];
            read_column(source, native[i], read[i].cells, table, failed[i]);
        }
    });
    if (std::find(failed.begin(), failed.end(), 1) != failed.end()) return false;
    // Merged with the scanned ones, by column.
    std::vector<CollectedColumn> merged;
    merged.reserve(columns.size() + read.size());
    auto scanned = columns.begin();
    for (CollectedColumn& column : read) {
        if (!column.cells.categorical()) continue;
        while (scanned != columns.end() && scanned->col < column.col) {
            merged.push_back(std::move(*scanned++));
        }
        merged.push_back(std::move(column));
    }
    merged.insert(merged.end(), std::make_move_iterator(scanned),
                  std::make_move_iterator(columns.end()));
    columns = std::move(merged);
    return true;
}

}  // namespace

Result<std::optional<CollectedObjectArray>> collect_frame_columns(
    PyObject* frame, std::size_t rows, std::size_t cols, std::span<const ColumnTurn> turns) {
    using Collected = std::optional<CollectedObjectArray>;
    const std::optional<Pandas> pandas = VX_TRY(find_pandas(frame));
    if (!pandas) return Collected();
    std::optional<Source> source = VX_TRY(plan_columns(frame, rows, cols, *pandas));
    if (!source || !open_arrow_columns(*source, rows)) return Collected();
    for (std::size_t col = 0; col < cols && !turns.empty(); ++col) {
        const Reader reader = source->plans[col].reader;
        // Numbers read as texts need their cells, which only the values hold.
        if (turns[col] == ColumnTurn::Before &&
            (reader == Reader::Numbers || reader == Reader::ArrowNumbers)) {
            return Collected();
        }
    }
    // pandas keeps a frame's columns one by one: a column-major table takes each as a block.
    Table table = VX_TRY(new_table(rows, cols, Layout::ColumnMajor));

    ScanSource objects;
    std::vector<ColumnTurn> scanned_turns;
    for (std::size_t col = 0; col < cols; ++col) {
        const Plan& plan = source->plans[col];
        if (plan.reader == Reader::Objects) {
            objects.add_column(PyRef::borrow(plan.memory_array.get()), plan.memory, col);
            if (!turns.empty()) scanned_turns.push_back(turns[col]);
        }
    }
    std::optional<std::vector<CollectedColumn>> columns =
        VX_TRY(scan_columns(objects, rows, table, pandas->missing, source->pins, scanned_turns));
    if (!columns || !read_on_pool(*source, *columns, table, turns)) return Collected();

    CollectedObjectArray collected;
    for (ArrowSource& arrow : source->arrow) collected.arrow.push_back(std::move(arrow.chunks));
    collected.pins = std::move(source->pins);
    collected.table = std::move(table);
    collected.columns = CollectedTable{std::move(*columns)};
    return Collected(std::move(collected));
}

}  // namespace vexilo::py

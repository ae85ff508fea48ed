// Output construction: float64 arrays and frames, and the decoding of categorical columns into
// object arrays and object frame columns.
#include "python/output.h"

#include <algorithm>  // std::count, std::max, std::min
#include <bit>        // std::bit_cast, std::bit_floor, std::countr_zero
#include <cmath>      // std::isnan
#include <cstddef>    // std::byte
#include <cstdint>
#include <cstring>  // std::memcpy
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>  // std::exchange
#include <vector>

#include "engine/internal_failure.h"

namespace vexilo::py {
namespace {

constexpr const char* buffer_capsule_name = "vexilo.table_buffer";
constexpr const char* decoded_capsule_name = "vexilo.decoded_cells";
// 2^64: every double at or above it saturates to the largest key.
constexpr double key_limit = 18446744073709551616.0;

// The rows a decoding loop takes at a time, column by column: few enough that their part of the
// table and of the result stays in the cache while the columns pass over them.
constexpr std::size_t decode_block_rows = 256;

// The lookup key of a code (never NaN): negatives give 0, values at or above 2^64 the largest
// key, everything else is truncated toward zero.
std::uint64_t code_key(double code) noexcept {
    if (code < 0.0) return 0;
    if (code >= key_limit) return std::numeric_limits<std::uint64_t>::max();
    return static_cast<std::uint64_t>(code);
}

void free_table_buffer(PyObject* capsule) {
    CellBufferDeleter()(static_cast<double*>(PyCapsule_GetPointer(capsule, buffer_capsule_name)));
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
// `missing`. Instead of taking a reference per cell, which on a column with many labels would
// miss the cache on nearly every cell, the column counts the cells it hands each value to and
// adds their references in one go (settle).
class LabelColumn {
public:
    // cells: how many cells will be decoded. When they are at least as many as the labels, the
    // inverse map is indexed by code once, in one pass over its entries, so that each code met
    // costs an array access instead of a hash lookup; otherwise every first sight is a lookup.
    LabelColumn(const InverseMap& inverse, PyObject* missing, std::size_t cells)
        : inverse_(&inverse), missing_(missing) {
        if (cells < inverse.size()) return;
        labels_.resize(inverse.size(), nullptr);
        slots_.resize(inverse.size());
        for (const auto& [code, label] : inverse) {
            // Encoding numbers the labels 0 .. k-1; other codes (only a restored state has
            // them) stay in the hash map.
            if (code < labels_.size()) labels_[static_cast<std::size_t>(code)] = &label;
        }
    }
    LabelColumn(const LabelColumn&) = delete;
    LabelColumn& operator=(const LabelColumn&) = delete;
    // Settles the cells handed out so far, so that a partly filled result is released safely.
    ~LabelColumn() { settle(); }

    // Makes the str of every indexed label at once, walking the inverse map in its storage order,
    // which is far kinder to the caches than making them in the random order cells meet them.
    // Worth it when the column has enough cells to meet nearly every label.
    Status make_all() {
        if (slots_.empty()) return Unit{};
        for (const auto& [code, label] : *inverse_) {
            if (code < slots_.size()) {
                slots_[static_cast<std::size_t>(code)].value = VX_TRY(new_str(label));
            }
        }
        return Unit{};
    }

    // The value for a cell holding code, or null when the code has not been met yet (then call
    // make). The cell holds no reference of its own until settle runs.
    PyObject* take(double code) noexcept {
        if (std::isnan(code)) {
            ++missing_cells_;
            return missing_;
        }
        const std::uint64_t key = code_key(code);
        if (key >= slots_.size()) return nullptr;
        Slot& slot = slots_[static_cast<std::size_t>(key)];
        if (!slot.value) return nullptr;
        ++slot.cells;
        return slot.value.get();
    }

    // As take, for a code (never NaN) that take did not know: makes its value and keeps it for
    // later cells. Returns the value, or the error of making its str.
    Result<PyObject*> make(double code) {
        const std::uint64_t key = code_key(code);
        Slot* slot = nullptr;
        if (key < slots_.size()) {
            slot = &slots_[static_cast<std::size_t>(key)];
            const std::string* label = labels_[static_cast<std::size_t>(key)];
            slot->value = label ? VX_TRY(new_str(*label)) : PyRef::borrow(missing_);
        } else {
            auto seen = other_codes_.find(key);
            if (seen == other_codes_.end()) {
                const auto label = inverse_->find(key);
                PyRef made = label == inverse_->end() ? PyRef::borrow(missing_)
                                                      : VX_TRY(new_str(label->second));
                seen = other_codes_.emplace(key, Slot{std::move(made), 0}).first;
            }
            slot = &seen->second;
        }
        ++slot->cells;
        return slot->value.get();
    }

    // Gives every cell handed a value so far its own reference. Must run before the cells are
    // seen by any Python code.
    void settle() noexcept {
        for (Slot& slot : slots_) add_references(slot.value.get(), slot.cells);
        for (auto& entry : other_codes_) {
            add_references(entry.second.value.get(), entry.second.cells);
        }
        add_references(missing_, missing_cells_);
    }

private:
    struct Slot {
        PyRef value;  // null: code not met yet
        std::size_t cells = 0;
    };

    static void add_references(PyObject* value, std::size_t& cells) noexcept {
        // A local count, so that the compiler need not assume each increment may change it.
        std::size_t count = std::exchange(cells, 0);
        for (; count > 0; --count) Py_INCREF(value);
    }

    const InverseMap* inverse_;
    PyObject* missing_;  // borrowed: outlives the column
    std::size_t missing_cells_ = 0;
    std::vector<const std::string*> labels_;  // by code, when indexed; null: no label
    std::vector<Slot> slots_;                 // by code, when indexed
    HashMap<std::uint64_t, Slot> other_codes_;
};

// Python floats for the cells of one number column of an object array. Equal doubles, bit for bit
// (so -0.0 and 0.0, and NaNs of different payloads, stay apart), share one float object while a
// small direct-mapped cache keeps finding them: a column of prices or counts then allocates a
// fraction of its floats. A column whose values rarely repeat turns the cache off after a window
// of cells, and tries it again after a growing pause. As in LabelColumn, the cells a cached float
// is handed to are counted and get their references when it leaves the cache (settle), so that
// a hit touches the cache entry only, never the float.
class FloatColumn {
public:
    // entries: the cache's size, a power of two; 0 makes every cell a float of its own.
    explicit FloatColumn(std::size_t entries)
        : cache_(entries),
          shift_(64 - std::countr_zero(std::max<std::size_t>(entries, 2))),
          on_(entries > 0),
          left_(window) {}
    FloatColumn(FloatColumn&&) = default;
    FloatColumn& operator=(FloatColumn&&) = delete;
    // Settles the cells handed out so far, so that a partly filled result is released safely.
    ~FloatColumn() { settle(); }

    // A float holding number for one cell. The cell holds no reference of its own until settle
    // runs (or the float is evicted from the cache).
    Result<PyObject*> make(double number) {
        const std::uint64_t bits = std::bit_cast<std::uint64_t>(number);
        Entry* entry = nullptr;
        if (on_) {
            entry = &cache_[static_cast<std::size_t>((bits * 0x9E3779B97F4A7C15ULL) >> shift_)];
            if (entry->value && entry->bits == bits) {
                ++entry->cells;
                ++hits_;
                count_cell();
                return entry->value;
            }
        }
        PyObject* made = VX_TRY(checked(PyFloat_FromDouble(number))).release();
        if (entry) {
            // The new float's own reference goes to this cell; the cache adds none.
            add_references(*entry);
            *entry = Entry{bits, made, 0};
        }
        count_cell();
        return made;
    }

    // Gives every cell handed a cached float so far its own reference. Must run before the
    // cells are seen by any Python code.
    void settle() noexcept {
        for (Entry& entry : cache_) add_references(entry);
    }

private:
    struct Entry {
        std::uint64_t bits = 0;
        PyObject* value = nullptr;  // held by the cells it was handed to; null: empty
        std::size_t cells = 0;      // cells handed value by the cache, not yet given a reference
    };
    static constexpr std::size_t window = 4096;
    static constexpr std::size_t longest_pause = 64;  // windows

    static void add_references(Entry& entry) noexcept {
        for (std::size_t count = std::exchange(entry.cells, 0); count > 0; --count) {
            Py_INCREF(entry.value);
        }
    }

    void count_cell() noexcept {
        if (--left_ > 0) return;
        left_ = window;
        if (on_) {
            // A hit saves an allocation; a miss costs a little hashing. Below one hit in eight the
            // cache no longer pays for itself.
            if (hits_ < window / 8) {
                on_ = false;
                paused_ = pause_;
                pause_ = std::min(pause_ * 2, longest_pause);
            }
            hits_ = 0;
        } else if (!cache_.empty() && --paused_ == 0) {
            on_ = true;
        }
    }

    std::vector<Entry> cache_;
    int shift_;
    bool on_;
    std::size_t left_;
    std::size_t hits_ = 0;
    std::size_t pause_ = 2;  // windows off after the next failed window
    std::size_t paused_ = 0;
};

// The cache size for each number column of a table: worth its set-up only on long columns, and
// kept within about 4 MiB for the whole table.
std::size_t float_cache_entries(std::size_t rows, std::size_t number_columns) {
    constexpr std::size_t most = std::size_t{1} << 14;
    constexpr std::size_t least = std::size_t{1} << 10;
    constexpr std::size_t total = std::size_t{1} << 18;
    if (rows < 2 * most || number_columns == 0) return 0;
    const std::size_t share = std::bit_floor(total / number_columns);
    return share < least ? 0 : std::min(share, most);
}

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

// Where decoding stopped when making a cell's value failed: the block of rows starting at
// first, column c, row r.
struct FillStop {
    std::size_t first = 0;
    std::size_t c = 0;
    std::size_t r = 0;
};

void store_object(std::byte* at, PyObject* value) noexcept {
    std::memcpy(at, &value, sizeof value);
}

// Releases the reference held by each of count object cells (null cells hold none).
void release_objects(const std::byte* cells, std::size_t count) noexcept {
    for (std::size_t i = 0; i < count; ++i, cells += sizeof(PyObject*)) {
        PyObject* value = nullptr;
        std::memcpy(&value, cells, sizeof value);
        Py_XDECREF(value);
    }
}

// A table's buffer turned into object cells, each holding one reference, that an object array
// took over as its memory. The array's base capsule owns it.
struct DecodedCells {
    CellBuffer buffer;
    std::size_t count = 0;
};

void free_decoded_cells(PyObject* capsule) {
    std::unique_ptr<DecodedCells> cells(
        static_cast<DecodedCells*>(PyCapsule_GetPointer(capsule, decoded_capsule_name)));
    release_objects(reinterpret_cast<const std::byte*>(cells->buffer.get()), cells->count);
}

// The NdArray result with a state: an object array of Python floats whose listed columns hold
// str labels, "NaN" for NaN and for codes without a label. Laid out in the memory order of the
// table's float copy (column-major only for a column-major table that is not also row-major).
// A contiguous table is decoded in place where a pointer is as wide as a double: each cell's
// code is read and then overwritten by its value, and the array takes the buffer over, which
// spares a second table-sized allocation and its page faults.
Result<PyRef> decoded_array(Table table, const EncodingInfo& info) {
    const std::vector<const InverseMap*> maps = listed_maps(info, table, nullptr);
    PyRef nan_text = VX_TRY(new_str("NaN"));
    const bool row_major = table.is_row_major();
    const bool column_major = !row_major && table.is_col_major();
    const std::size_t count = table.rows * table.cols;
    const bool in_place = sizeof(PyObject*) == sizeof(double) && table.data && count > 0 &&
                          (row_major || column_major);
    npy_intp dims[2] = {static_cast<npy_intp>(table.rows), static_cast<npy_intp>(table.cols)};
    PyRef array;
    std::byte* cells = nullptr;
    if (in_place) {
        cells = reinterpret_cast<std::byte*>(table.data.get());
    } else {
        // NumPy zero-fills new object arrays, so an early error return releases only the cells
        // set.
        array = VX_TRY(checked(PyArray_New(&PyArray_Type, 2, dims, NPY_OBJECT, nullptr, nullptr, 0,
                                           column_major ? 1 : 0, nullptr)));
        cells = array_data<std::byte>(array);
    }
    // Declared after the array: on an early return they settle before it is released.
    std::vector<std::optional<LabelColumn>> labels(table.cols);
    const std::size_t number_columns =
        static_cast<std::size_t>(std::count(maps.begin(), maps.end(), nullptr));
    std::vector<FloatColumn> numbers;
    numbers.reserve(number_columns);
    std::vector<FloatColumn*> number_of(table.cols, nullptr);
    for (std::size_t c = 0; c < table.cols; ++c) {
        if (!maps[c]) {
            number_of[c] = &numbers.emplace_back(float_cache_entries(table.rows, number_columns));
            continue;
        }
        labels[c].emplace(*maps[c], nan_text.get(), table.rows);
        if (table.rows / 2 >= maps[c]->size()) VX_TRY(labels[c]->make_all());
    }
    const auto settle = [&] {
        for (std::optional<LabelColumn>& column : labels) {
            if (column) column->settle();
        }
        for (FloatColumn& column : numbers) column.settle();
    };

    // In blocks of rows, and column by column within a block: each column's label slots or float
    // cache then has the caches to itself for a run of cells, while the block's part of the table
    // and of the result stays cached across the columns. Each cell's code is read before its
    // value is stored, so decoding in place reads no overwritten code.
    const std::size_t row_step = (column_major ? 1 : table.cols) * sizeof(PyObject*);
    const std::size_t col_step = (column_major ? table.rows : 1) * sizeof(PyObject*);
    FillStop stop;
    const auto fill = [&]() -> Status {
        for (stop.first = 0; stop.first < table.rows; stop.first += decode_block_rows) {
            const std::size_t last = std::min(table.rows, stop.first + decode_block_rows);
            for (stop.c = 0; stop.c < table.cols; ++stop.c) {
                const std::size_t c = stop.c;
                std::byte* cell = cells + stop.first * row_step + c * col_step;
                if (labels[c]) {
                    LabelColumn& column = *labels[c];
                    for (stop.r = stop.first; stop.r < last; ++stop.r, cell += row_step) {
                        const double code = table.at(stop.r, c);
                        PyObject* label = column.take(code);
                        store_object(cell, label ? label : VX_TRY(column.make(code)));
                    }
                } else {
                    FloatColumn& column = *number_of[c];
                    for (stop.r = stop.first; stop.r < last; ++stop.r, cell += row_step) {
                        store_object(cell, VX_TRY(column.make(table.at(stop.r, c))));
                    }
                }
            }
        }
        return Unit{};
    };
    Status filled = fill();
    if (!filled && in_place) {
        // The cells not reached still hold codes: clear them, in the order decoding would have
        // visited them, and release the values stored so far.
        for (std::size_t first = stop.first; first < table.rows; first += decode_block_rows) {
            const std::size_t last = std::min(table.rows, first + decode_block_rows);
            for (std::size_t c = first == stop.first ? stop.c : 0; c < table.cols; ++c) {
                std::size_t r = first == stop.first && c == stop.c ? stop.r : first;
                for (; r < last; ++r) store_object(cells + r * row_step + c * col_step, nullptr);
            }
        }
        settle();
        release_objects(cells, count);
    }
    if (!filled) return std::move(filled).error();
    settle();
    if (!in_place) return array;

    auto owned = std::make_unique<DecodedCells>(DecodedCells{std::move(table.data), count});
    PyObject* made = PyCapsule_New(owned.get(), decoded_capsule_name, free_decoded_cells);
    if (!made) {
        release_objects(cells, count);
        return PyErr::fetch();
    }
    // From here the capsule owns the cells: releasing it releases them.
    PyRef owner = PyRef::steal(made);
    static_cast<void>(owned.release());
    array =
        VX_TRY(checked(PyArray_New(&PyArray_Type, 2, dims, NPY_OBJECT, nullptr, cells, 0,
                                   column_major ? NPY_ARRAY_FARRAY : NPY_ARRAY_CARRAY, nullptr)));
    // Steals the capsule's reference even when it fails.
    if (PyArray_SetBaseObject(as_array(array), owner.release()) < 0) return PyErr::fetch();
    return array;
}

// Sets dict[key] = value. Returns the interpreter's error on failure.
Status set_item(const PyRef& dict, const char* key, PyObject* value) {
    if (PyDict_SetItemString(dict.get(), key, value) < 0) return PyErr::fetch();
    return Unit{};
}

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
    VX_TRY(set_item(keywords, "columns", columns.get()));
    VX_TRY(set_item(keywords, "copy", Py_False));

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
    // In blocks of rows, so that a row-major table is read from cache rather than once per column.
    constexpr std::size_t block_rows = 256;
    for (std::size_t first = 0; first < table.rows; first += block_rows) {
        const std::size_t last = std::min(table.rows, first + block_rows);
        for (std::size_t c = 0; c < table.cols; ++c) {
            if (listed[c]) continue;
            double* column = out + c * table.rows;
            for (std::size_t r = first; r < last; ++r) column[r] = table.at(r, c);
        }
    }
    PyRef constructor = VX_TRY(checked(PyObject_GetAttrString(pandas.get(), "DataFrame")));
    PyObject* frame_args[] = {numbers.get()};
    PyRef df =
        VX_TRY(checked(PyObject_VectorcallDict(constructor.get(), frame_args, 1, keywords.get())));
    if (!info || info->categorical_columns.empty()) return df;

    const std::vector<const InverseMap*> maps = listed_maps(*info, table, &names);
    std::vector<std::size_t> decoded;
    std::vector<PyRef> values(table.cols);
    std::vector<PyObject**> cells(table.cols, nullptr);
    for (std::size_t c = 0; c < table.cols; ++c) {
        if (!maps[c]) continue;
        npy_intp length = static_cast<npy_intp>(table.rows);
        values[c] = VX_TRY(checked(PyArray_SimpleNew(1, &length, NPY_OBJECT)));
        cells[c] = array_data<PyObject*>(values[c]);
        decoded.push_back(c);
    }
    // Declared after the arrays: on an early return they settle before the arrays are released.
    std::vector<std::optional<LabelColumn>> labels(table.cols);
    for (const std::size_t c : decoded) {
        labels[c].emplace(*maps[c], Py_None, table.rows);
        if (table.rows / 2 >= maps[c]->size()) VX_TRY(labels[c]->make_all());
    }
    // In blocks of rows, column by column within a block, as in decoded_array.
    for (std::size_t first = 0; first < table.rows; first += decode_block_rows) {
        const std::size_t last = std::min(table.rows, first + decode_block_rows);
        for (const std::size_t c : decoded) {
            LabelColumn& column = *labels[c];
            for (std::size_t r = first; r < last; ++r) {
                const double code = table.at(r, c);
                PyObject* label = column.take(code);
                cells[c][r] = label ? label : VX_TRY(column.make(code));
            }
        }
    }
    for (const std::size_t c : decoded) labels[c]->settle();

    // Wrapped as object Series: a bare object array of strings would be inferred as a str column.
    PyRef series = VX_TRY(checked(PyObject_GetAttrString(pandas.get(), "Series")));
    PyRef series_keywords = VX_TRY(checked(PyDict_New()));
    PyRef object_name = VX_TRY(new_str("object"));
    VX_TRY(set_item(series_keywords, "dtype", object_name.get()));
    VX_TRY(set_item(series_keywords, "copy", Py_False));
    PyRef isetitem = VX_TRY(new_str("isetitem"));
    for (const std::size_t c : decoded) {
        PyObject* series_args[] = {values[c].get()};
        PyRef column = VX_TRY(
            checked(PyObject_VectorcallDict(series.get(), series_args, 1, series_keywords.get())));
        PyRef position = VX_TRY(checked(PyLong_FromSize_t(c)));
        PyObject* set_args[] = {df.get(), position.get(), column.get()};
        VX_TRY(checked(PyObject_VectorcallMethod(isetitem.get(), set_args, 3, nullptr)));
    }
    return df;
}

}  // namespace

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

Result<PyRef> arr_to_out(Table table, OutputKind out, const EncodingInfo* encoding_info) {
    if (out.kind == OutputKind::Kind::DataFrame)
        return frame(table, out.column_names, encoding_info);
    if (!encoding_info) return float_array(std::move(table));
    return decoded_array(std::move(table), *encoding_info);
}

}  // namespace vexilo::py

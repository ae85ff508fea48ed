// The decoded object array: label and float cells made column by column in blocks of rows, in
// place of the codes where the table's buffer can hold the objects.
#include "python/decoded_array.h"

#include <algorithm>  // std::max, std::min
#include <bit>        // std::bit_cast, std::bit_floor, std::countr_zero
#include <cstddef>    // std::byte
#include <cstdint>
#include <cstring>  // std::memcpy
#include <memory>
#include <optional>
#include <utility>  // std::exchange
#include <vector>

#include "python/label_column.h"
#include "python/numpy_array.h"
#include "python/signal_check.h"

namespace vexilo::py {
namespace {

constexpr const char* decoded_capsule_name = "vexilo.decoded_cells";

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

// The cell makers of a table's columns: a LabelColumn for each listed column, and for the others
// a FloatColumn each where their caches pay (few columns of many rows), else one uncached
// FloatColumn for all of them, so that a wide table costs nothing per column. Settles every
// column's cells when it goes, so that a partly filled result is released safely; declare it
// after the array it fills.
class ColumnMakers {
public:
    ColumnMakers(const std::vector<ListedMap>& maps, std::size_t cols, PyObject* nan_text,
                 std::size_t rows)
        : labels_(maps.size()) {
        for (std::size_t i = 0; i < maps.size(); ++i) {
            labels_[i].emplace(*maps[i].inverse, nan_text, rows);
        }
        const std::size_t number_columns = cols - maps.size();
        const std::size_t entries = float_cache_entries(rows, number_columns);
        cached_ = entries > 0;
        numbers_.reserve(cached_ ? number_columns : 1);
        for (std::size_t k = 0; k < (cached_ ? number_columns : 1); ++k) {
            numbers_.emplace_back(entries);
        }
    }

    // Makes every label of the columns with enough rows to meet nearly all of them.
    Status make_common_labels(std::size_t rows) {
        for (std::optional<LabelColumn>& column : labels_) {
            if (rows / 2 >= column->label_count()) VX_TRY(column->make_all());
        }
        return Unit{};
    }

    // The maker of the i-th listed column, and of the k-th other column.
    LabelColumn& labels(std::size_t i) noexcept { return *labels_[i]; }
    FloatColumn& numbers(std::size_t k) noexcept { return numbers_[cached_ ? k : 0]; }

    void settle() noexcept {
        for (std::optional<LabelColumn>& column : labels_) column->settle();
        for (FloatColumn& column : numbers_) column.settle();
    }

private:
    std::vector<std::optional<LabelColumn>> labels_;
    std::vector<FloatColumn> numbers_;
    bool cached_ = false;
};

// Where the object cells lie: the first cell and the byte steps between rows and columns.
struct CellLayout {
    std::byte* cells;
    std::size_t row_step;
    std::size_t col_step;

    std::byte* at(std::size_t r, std::size_t c) const noexcept {
        return cells + r * row_step + c * col_step;
    }
};

// Stores the value of every cell of table, in blocks of rows and column by column within a block:
// each column's label slots or float cache then has the caches to itself for a run of cells,
// while the block's part of the table and of the result stays cached across the columns. Each
// cell's code is read before its value is stored, so decoding in place reads no overwritten code.
// Pending signal handlers run every few thousand cells. On failure, stop says where it stopped.
Status fill_cells(const Table& table, const std::vector<ListedMap>& maps, ColumnMakers& makers,
                  const CellLayout& out, FillStop& stop) {
    SignalCountdown signals;
    for (stop.first = 0; stop.first < table.rows; stop.first += decode_block_rows) {
        const std::size_t last = std::min(table.rows, stop.first + decode_block_rows);
        std::size_t listed = 0;  // listed columns before stop.c
        for (stop.c = 0; stop.c < table.cols; ++stop.c) {
            const std::size_t c = stop.c;
            std::byte* cell = out.at(stop.first, c);
            if (listed < maps.size() && maps[listed].col == c) {
                LabelColumn& labels = makers.labels(listed++);
                for (stop.r = stop.first; stop.r < last; ++stop.r, cell += out.row_step) {
                    const double code = table.at(stop.r, c);
                    PyObject* label = labels.take(code);
                    store_object(cell, label ? label : VX_TRY(labels.make(code)));
                }
            } else {
                FloatColumn& numbers = makers.numbers(c - listed);
                for (stop.r = stop.first; stop.r < last; ++stop.r, cell += out.row_step) {
                    store_object(cell, VX_TRY(numbers.make(table.at(stop.r, c))));
                }
            }
            Status checked = signals.count(last - stop.first);
            if (!checked) {
                // This column's cells of the block are done: decoding stopped before the next.
                ++stop.c;
                stop.r = stop.first;
                return checked;
            }
        }
    }
    return Unit{};
}

// After a failed in-place fill: the cells not reached still hold codes. Clears them, in the order
// decoding would have visited them.
void clear_unreached(const Table& table, const CellLayout& out, const FillStop& stop) noexcept {
    for (std::size_t first = stop.first; first < table.rows; first += decode_block_rows) {
        const std::size_t last = std::min(table.rows, first + decode_block_rows);
        for (std::size_t c = first == stop.first ? stop.c : 0; c < table.cols; ++c) {
            std::size_t r = first == stop.first && c == stop.c ? stop.r : first;
            for (; r < last; ++r) store_object(out.at(r, c), nullptr);
        }
    }
}

// An object array over the decoded cells of buffer (count of them, each holding a reference),
// which a capsule takes over. On failure the cells' references are released.
Result<PyRef> adopt_decoded_cells(CellBuffer buffer, std::size_t count, const Table& shape,
                                  bool column_major) {
    std::byte* const cells = reinterpret_cast<std::byte*>(buffer.get());
    auto owned = std::make_unique<DecodedCells>(DecodedCells{std::move(buffer), count});
    PyObject* made = PyCapsule_New(owned.get(), decoded_capsule_name, free_decoded_cells);
    if (!made) {
        release_objects(cells, count);
        return PyErr::fetch();
    }
    // From here the capsule owns the cells: releasing it releases them.
    PyRef owner = PyRef::steal(made);
    static_cast<void>(owned.release());
    return adopt_buffer(std::move(owner), cells, shape.rows, shape.cols, NPY_OBJECT, column_major);
}

}  // namespace

// A contiguous table is decoded in place where a pointer is as wide as a double: each cell's code
// is read and then overwritten by its value, and the array takes the buffer over, which spares a
// second table-sized allocation and its page faults.
Result<PyRef> decoded_array(Table table, const EncodingInfo& info) {
    const std::vector<ListedMap> maps = VX_TRY(listed_maps(info, table, nullptr));
    PyRef nan_text = VX_TRY(new_str("NaN"));
    const bool row_major = table.is_row_major();
    const bool column_major = !row_major && table.is_col_major();
    const std::size_t count = table.rows * table.cols;
    const bool in_place = sizeof(PyObject*) == sizeof(double) && table.data && count > 0 &&
                          (row_major || column_major);
    PyRef array;
    std::byte* cells = nullptr;
    if (in_place) {
        cells = reinterpret_cast<std::byte*>(table.data.get());
    } else {
        // NumPy zero-fills new object arrays, so an early error return releases only the cells
        // set.
        npy_intp dims[2] = {static_cast<npy_intp>(table.rows), static_cast<npy_intp>(table.cols)};
        array = VX_TRY(checked(PyArray_New(&PyArray_Type, 2, dims, NPY_OBJECT, nullptr, nullptr, 0,
                                           column_major ? 1 : 0, nullptr)));
        cells = array_data<std::byte>(array);
    }
    // Declared after the array: on an early return they settle before it is released.
    ColumnMakers makers(maps, table.cols, nan_text.get(), table.rows);
    VX_TRY(makers.make_common_labels(table.rows));

    const CellLayout out{cells, (column_major ? 1 : table.cols) * sizeof(PyObject*),
                         (column_major ? table.rows : 1) * sizeof(PyObject*)};
    FillStop stop;
    Status filled = fill_cells(table, maps, makers, out, stop);
    if (!filled && in_place) {
        clear_unreached(table, out, stop);
        makers.settle();
        release_objects(cells, count);
    }
    if (!filled) return std::move(filled).error();
    makers.settle();
    if (!in_place) return array;
    return adopt_decoded_cells(std::move(table.data), count, table, column_major);
}

}  // namespace vexilo::py

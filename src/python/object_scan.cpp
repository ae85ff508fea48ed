// The scan of tables whose cells run no Python code when read: blocks of rows across all columns,
// numbers written straight into the output, texts deduplicated by object before any text is read,
// and by their text where equal texts come in separate objects.
#include "python/object_scan.h"

#include <algorithm>
#include <cmath>  // std::isnan
#include <cstdint>
#include <iterator>
#include <map>
#include <string_view>
#include <utility>

#include "engine/address_index.h"
#include "engine/internal_failure.h"
#include "engine/text_index.h"
#include "engine/unaligned_load.h"
#include "python/signal_check.h"

namespace vexilo::py {
namespace {

// Rows of all columns read before moving on: keeps a block of a row-major table in the cache.
constexpr std::size_t block_bytes = std::size_t{256} << 10;
constexpr std::size_t min_block_rows = 64;
// How many rows ahead an object is prefetched when its header is going to be read.
constexpr std::size_t prefetch_distance = 8;
// How many rows ahead the index slot of an object is prefetched.
constexpr std::size_t index_prefetch_distance = 16;
// Deduplication stops paying when nearly every cell has a text of its own: checked once a column
// holds this many entries.
constexpr std::size_t dedup_check_size = std::size_t{1} << 18;
// The object index stops paying when the objects of a column far outnumber its texts (equal texts
// in separate objects, as parsers and astype(object) make them): checked once it holds this many
// objects.
constexpr std::size_t object_check_size = std::size_t{1} << 12;
// Looking the texts of new objects up stops paying when they are nearly always new too (equal
// texts share their objects, as after most loads): checked after this many lookups, the lookups
// pause when fewer than one in text_hit_share finds a text. While paused, the hashes of new
// objects' texts are kept in a small table of recent ones; the lookups resume once, over a window
// of that many new objects, one in text_hit_share repeats a recent text (some parsers share an
// object per text only within a block of rows).
constexpr std::size_t text_check_size = std::size_t{1} << 15;
constexpr std::size_t text_hit_share = 64;
constexpr std::size_t recent_texts = std::size_t{1} << 12;

// What the scan does not do itself: the cell needs Python code, or its text could not be made.
struct Abandon {};

bool is_plain(const PyObject* cell) noexcept {
    const PyTypeObject* type = Py_TYPE(cell);
    return type == &PyUnicode_Type || type == &PyFloat_Type || type == &PyLong_Type ||
           type == &PyBool_Type || cell == Py_None;
}

// The key of an exact str by its text: its code units as stored and their width, so that two keys
// are equal only when the strings are (equal strings are stored alike). ASCII keys are their UTF-8
// bytes. False for a string not stored compactly, which is keyed by object only.
bool text_key(PyObject* text, std::string_view& key, unsigned& kind) noexcept {
    if (!PyUnicode_IS_COMPACT(text)) return false;
    const auto width = static_cast<unsigned>(PyUnicode_KIND(text));
    key = std::string_view(static_cast<const char*>(PyUnicode_DATA(text)),
                           static_cast<std::size_t>(PyUnicode_GET_LENGTH(text)) * width);
    kind = PyUnicode_IS_ASCII(text) ? 0 : 8 + width;
    return true;
}

const char* cell_at(const ColumnMemory& column, std::size_t row) noexcept {
    return column.first + static_cast<std::ptrdiff_t>(row) * column.row_step;
}

PyObject* object_at(const ColumnMemory& column, std::size_t row) noexcept {
    PyObject* cell = load_unaligned<PyObject*>(cell_at(column, row));
    return cell ? cell : Py_None;  // NumPy reads an unset slot as None
}

// Reads rows [begin, end) of a column of numbers into out[row * stride].
void read_numbers(const ColumnMemory& column, std::size_t begin, std::size_t end, double* out,
                  std::size_t stride) {
    const bool number = visit_number_kind(column.kind, [&](auto element) {
        for (std::size_t row = begin; row < end; ++row) {
            out[row * stride] = element.read(cell_at(column, row));
        }
    });
    if (!number) throw InternalFailure("the scan was given a column of texts");
}

// Reads rows [begin, end) of a column of objects that is numeric so far into out[row * stride].
// Returns the row of the first cell that is no number, where the column turns categorical, or
// end. Throws Abandon.
std::size_t read_object_numbers(const ColumnMemory& column, std::size_t begin, std::size_t end,
                                double* out, std::size_t stride, const MissingScalar& missing) {
    for (std::size_t row = begin; row < end; ++row) {
        if (row + prefetch_distance < end) {
            __builtin_prefetch(object_at(column, row + prefetch_distance));
        }
        PyObject* const cell = object_at(column, row);
        const PyTypeObject* type = Py_TYPE(cell);
        if (type == &PyFloat_Type) {
            out[row * stride] = PyFloat_AS_DOUBLE(cell);
        } else if (type == &PyLong_Type) {
            const double value = PyLong_AsDouble(cell);
            if (value == -1.0 && PyErr_Occurred()) {
                PyErr_Clear();  // too large for a double: no number, so the column turns
                return row;
            }
            out[row * stride] = value;
        } else if (type == &PyBool_Type) {
            out[row * stride] = cell == Py_True ? 1.0 : 0.0;
        } else if (!is_plain(cell) && cell != missing.object) {
            throw Abandon{};
        } else {
            return row;
        }
    }
    return end;
}

// A column of objects from the cell that turned it categorical on: its entries, and the indexes
// that share one entry among equal cell objects and equal texts.
class ColumnScan {
public:
    // rows: the column's length, which bounds its entries. Room for that many is reserved at
    // once: address space only, until entries fill it, and no copy of a grown list.
    ColumnScan(const ColumnMemory& memory, const MissingScalar& missing, std::size_t rows)
        : memory_(memory), missing_(&missing), cells_(rows) {}

    // The column turned categorical before the first row: every cell is read as text.
    void turn_before() { cells_.make_categorical(); }

    // The column turns categorical at row, whose cells before it are numbers in out. Throws
    // Abandon.
    void turn(std::size_t row, double* out, std::size_t stride, Pins& pins) {
        turn_categorical(row, out, stride, pins);
    }

    // Reads rows [begin, end), after the turn, into out[row * stride]. Throws Abandon.
    void read(std::size_t begin, std::size_t end, double* out, std::size_t stride, Pins& pins) {
        std::size_t row = begin;
        // A column with many distinct objects has an index larger than the cache: its slots are
        // asked for a few rows ahead, so that several lookups wait on memory at once.
        for (; row < end && by_object_; ++row) {
            if (row + index_prefetch_distance < end) {
                objects_.prefetch(object(row + index_prefetch_distance));
            }
            out[row * stride] = static_cast<double>(entry_of(row, pins));
        }
        while (row < end && by_text_ && !texts_paused_)
            row = read_texts(row, end, out, stride, pins);
        for (; row < end; ++row) {
            if (row + prefetch_distance < end) __builtin_prefetch(object(row + prefetch_distance));
            out[row * stride] = static_cast<double>(text_entry(object(row), row, pins));
        }
    }

    ColumnCells finish() && {
        cells_.finish();
        return std::move(cells_);
    }

private:
    PyObject* object(std::size_t row) const noexcept { return object_at(memory_, row); }

    // A batch of rows from row on, found by their texts: the objects of the next batch are asked
    // for while the keys of this one are hashed and their slots asked for, then looked up.
    // Returns the row after the batch.
    std::size_t read_texts(std::size_t row, std::size_t end, double* out, std::size_t stride,
                           Pins& pins) {
        constexpr std::size_t batch = 16;
        const std::size_t count = std::min(batch, end - row);
        for (std::size_t i = row + batch; i < std::min(end, row + 2 * batch); ++i) {
            __builtin_prefetch(object(i));
        }
        struct Keyed {
            std::string_view key;
            unsigned kind;
            TextIndex::Head head;
            std::uint64_t hash;
        };
        Keyed keyed[batch];
        bool has_key[batch];
        for (std::size_t i = 0; i < count; ++i) {
            PyObject* const cell = object(row + i);
            Keyed& k = keyed[i];
            has_key[i] = Py_TYPE(cell) == &PyUnicode_Type && text_key(cell, k.key, k.kind);
            if (!has_key[i]) continue;
            k.head = TextIndex::head(k.key);
            k.hash = texts_.hash(k.head, k.key, k.kind);
            texts_.prefetch(k.hash);
        }
        for (std::size_t i = 0; i < count; ++i, ++row) {
            PyObject* const cell = object(row);
            std::size_t entry;
            if (!has_key[i] || !by_text_) {
                entry = text_entry(cell, row, pins);
            } else {
                const Keyed& k = keyed[i];
                const auto [number, added] =
                    texts_.find_or_add_hashed(k.key, k.head, k.hash, k.kind);
                entry = added ? new_entry(cell, row, pins, true) : number;
            }
            out[row * stride] = static_cast<double>(entry);
        }
        return row;
    }

    // The numbers before row become entries 0 .. row-1 in order, rendered as numbers are when a
    // column turns; the cell at row becomes entry row.
    void turn_categorical(std::size_t row, double* out, std::size_t stride, Pins& pins) {
        for (std::size_t before = 0; before < row; ++before)
            cells_.add_number(out[before * stride]);
        cells_.make_categorical();
        for (std::size_t before = 0; before < row; ++before) texts_.add_unkeyed();
        for (std::size_t r = 0; r < row; ++r) out[r * stride] = static_cast<double>(r);
        out[row * stride] = static_cast<double>(entry_of(row, pins));
    }

    // The entry of the cell at row of a categorical column, made if it is new: found by object
    // while that pays, then by text for str cells, else a new entry per cell.
    std::size_t entry_of(std::size_t row, Pins& pins) {
        PyObject* const cell = object(row);
        if (!by_object_) return text_entry(cell, row, pins);
        const AddressIndex::Slot& slot = objects_.probe(cell);
        if (slot.key != nullptr) return slot.entry;
        const std::size_t pinned = pins.size();
        const std::size_t entry = text_entry(cell, row, pins);
        if (!by_object_) return entry;  // the new entry gave the indexes up
        // The index holds the object's address: pinned, it stays this object's even should a
        // signal handler replace cells of the table.
        if (pins.size() == pinned) pins.push_back(PyRef::borrow(cell));
        objects_.insert(slot, cell, entry);
        if (objects_.size() >= object_check_size && objects_.size() > 2 * cells_.entry_count()) {
            objects_.release();
            by_object_ = false;
        }
        return entry;
    }

    std::size_t text_entry(PyObject* cell, std::size_t row, Pins& pins) {
        std::string_view key;
        unsigned kind = 0;
        if (!by_text_ || Py_TYPE(cell) != &PyUnicode_Type || !text_key(cell, key, kind)) {
            return shared_entry(cell, row, pins);
        }
        if (texts_paused_) return paused_text_entry(cell, key, kind, row, pins);
        const auto [number, added] = texts_.find_or_add(key, kind);
        if (!added) {
            ++text_hits_;
            return number;
        }
        const std::size_t entry = new_entry(cell, row, pins, true);
        if (by_object_ && by_text_ && ++text_misses_ >= text_check_size &&
            text_hits_ * text_hit_share < text_misses_) {
            texts_paused_ = true;
            recent_hashes_.assign(recent_texts, 0);
            paused_misses_ = paused_repeats_ = 0;
        }
        return entry;
    }

    // A new object's entry while text lookups pause: a new entry, its text's hash noted among
    // the recent ones.
    std::size_t paused_text_entry(PyObject* cell, std::string_view key, unsigned kind,
                                  std::size_t row, Pins& pins) {
        const std::uint64_t hash = texts_.hash(TextIndex::head(key), key, kind);
        std::uint64_t& recent = recent_hashes_[static_cast<std::size_t>(hash) & (recent_texts - 1)];
        if (recent == hash) ++paused_repeats_;
        recent = hash;
        if (++paused_misses_ == recent_texts) {
            if (paused_repeats_ * text_hit_share >= paused_misses_) {
                texts_paused_ = false;
                recent_hashes_ = std::vector<std::uint64_t>();
                text_hits_ = text_misses_ = 0;
            }
            paused_misses_ = paused_repeats_ = 0;
        }
        return new_entry(cell, row, pins);
    }

    // Cells that need no index to share an entry: pandas' NA and float NaN, each of whose texts
    // is always the same ("nan" for every NaN).
    std::size_t shared_entry(PyObject* cell, std::size_t row, Pins& pins) {
        if (cell == missing_->object) {
            if (!missing_entry_) missing_entry_ = new_entry(cell, row, pins);
            return *missing_entry_;
        }
        if (Py_TYPE(cell) == &PyFloat_Type && std::isnan(PyFloat_AS_DOUBLE(cell))) {
            if (!nan_entry_) nan_entry_ = new_entry(cell, row, pins);
            return *nan_entry_;
        }
        return new_entry(cell, row, pins);
    }

    // A new entry for cell; keyed: the text index numbered it already. While texts are indexed,
    // the index numbers every entry, so that its numbers are the entries'.
    std::size_t new_entry(PyObject* cell, std::size_t row, Pins& pins, bool keyed = false) {
        if (!is_plain(cell) && cell != missing_->object) throw Abandon{};
        add(cell, pins);
        if (by_text_ && !keyed) texts_.add_unkeyed();
        const std::size_t entries = cells_.entry_count();
        // A column of nearly all distinct texts gains nothing from either index; let them go.
        if ((by_object_ || by_text_) && entries >= dedup_check_size &&
            entries * 4 > (row + 1) * 3) {
            objects_.release();
            texts_.release();
            by_object_ = by_text_ = false;
        }
        return entries - 1;
    }

    void add(PyObject* cell, Pins& pins) {
        if (cell == missing_->object) {
            cells_.add_text(missing_->text);
            return;
        }
        // Plain cells raise nothing but a failing str() (an int too long to print, say), which
        // the cell-by-cell reading reports in its own order.
        const std::size_t pinned = pins.size();
        Status added = [&] {
            try {
                return append_cell(cells_, PyRef::borrow(cell), &pins);
            } catch (const InternalFailure&) {
                throw Abandon{};
            }
        }();
        if (!added) throw Abandon{};
        // The text index may view the str's own memory even where the entry holds a copy.
        if (Py_TYPE(cell) == &PyUnicode_Type && pins.size() == pinned) {
            pins.push_back(PyRef::borrow(cell));
        }
    }

    ColumnMemory memory_;
    const MissingScalar* missing_;
    ColumnCells cells_;
    AddressIndex objects_;
    TextIndex texts_;
    std::optional<std::size_t> missing_entry_;
    std::optional<std::size_t> nan_entry_;
    bool by_object_ = true;
    bool by_text_ = true;
    // Texts of new objects looked up while the object index is kept: found, and new.
    std::size_t text_hits_ = 0;
    std::size_t text_misses_ = 0;
    // Paused lookups (the index still numbers every entry): hashes of recent texts, by their low
    // bits, and the new objects and repeated texts of the current window.
    bool texts_paused_ = false;
    std::vector<std::uint64_t> recent_hashes_;
    std::size_t paused_misses_ = 0;
    std::size_t paused_repeats_ = 0;
};

// How often the scan runs signal handlers, in cells: a few thousand cells of the scan take
// microseconds, so the interval is larger than the cell-by-cell reading's. It grows with the
// arrays to look over after each check, so that looking costs at most a fraction of the reading.
std::size_t signal_interval(const ScanSource& source) {
    constexpr std::size_t cells = std::size_t{1} << 15;
    return std::max(cells, 4 * source.array_count());
}

}  // namespace

ScanSource::Held ScanSource::hold(PyRef array) {
    PyArrayObject* const view = reinterpret_cast<PyArrayObject*>(array.get());
    Held held{std::move(array), PyArray_BYTES(view), PyArray_NDIM(view), {0, 0},
              {0, 0},           PyArray_DESCR(view)};
    for (int axis = 0; axis < held.dims && axis < 2; ++axis) {
        held.shape[axis] = PyArray_DIM(view, axis);
        held.strides[axis] = PyArray_STRIDE(view, axis);
    }
    return held;
}

ScanSource ScanSource::of_table(PyRef array, ElementKind kind) {
    ScanSource source;
    source.arrays_.push_back(hold(std::move(array)));
    const Held& held = source.arrays_.back();
    source.table_ = true;
    source.table_cols_ = static_cast<std::size_t>(held.shape[1]);
    source.first_column_ = ColumnMemory{held.data, held.strides[0], kind};
    source.col_step_ = held.strides[1];
    return source;
}

void ScanSource::add_column(PyRef array, ColumnMemory memory, std::size_t table_col) {
    arrays_.push_back(hold(std::move(array)));
    columns_.push_back(Placed{memory, table_col});
}

std::size_t ScanSource::column_count() const noexcept {
    return table_ ? table_cols_ : columns_.size();
}

ColumnMemory ScanSource::column(std::size_t i) const noexcept {
    if (!table_) return columns_[i].memory;
    ColumnMemory memory = first_column_;
    memory.first += static_cast<std::ptrdiff_t>(i) * col_step_;
    return memory;
}

std::size_t ScanSource::table_column(std::size_t i) const noexcept {
    return table_ ? i : columns_[i].table_col;
}

bool ScanSource::unchanged() const noexcept {
    for (const Held& held : arrays_) {
        PyArrayObject* const view = reinterpret_cast<PyArrayObject*>(held.array.get());
        if (PyArray_BYTES(view) != held.data || PyArray_NDIM(view) != held.dims ||
            PyArray_DESCR(view) != held.descr) {
            return false;
        }
        for (int axis = 0; axis < held.dims && axis < 2; ++axis) {
            if (PyArray_DIM(view, axis) != held.shape[axis] ||
                PyArray_STRIDE(view, axis) != held.strides[axis]) {
                return false;
            }
        }
    }
    return true;
}

Result<std::optional<std::vector<CollectedColumn>>> scan_columns(
    const ScanSource& source, std::size_t rows, Table& table, const MissingScalar& missing,
    Pins& pins, std::span<const ColumnTurn> turns) {
    using Scanned = std::optional<std::vector<CollectedColumn>>;
    const std::size_t count = source.column_count();
    VX_ASSERT(table.rows == rows && (count == 0 || source.table_column(count - 1) < table.cols),
              "the scan writes a table of the scanned shape");
    // Only columns that turned categorical have a state of their own, by their index in source,
    // until the last block of rows is read: each column's entries then join scanned at once, so
    // that a table of one block never holds the state of more than one column.
    std::map<std::size_t, ColumnScan> categorical;
    VX_ASSERT(turns.empty() || turns.size() == count, "one turn per scanned column");
    for (std::size_t i = 0; i < turns.size(); ++i) {
        if (turns[i] != ColumnTurn::Before) continue;
        if (source.column(i).kind != ElementKind::Objects) return Scanned();
        categorical.try_emplace(i, source.column(i), missing, rows).first->second.turn_before();
    }
    std::vector<CollectedColumn> scanned;
    Pins taken;
    SignalCountdown signals(signal_interval(source));
    const std::size_t row_bytes = std::max<std::size_t>(count * sizeof(double), 1);
    const std::size_t block_rows = std::max(min_block_rows, block_bytes / row_bytes);
    const std::size_t stride = table.row_stride;
    try {
        for (std::size_t begin = 0; begin < rows; begin += block_rows) {
            const std::size_t end = std::min(rows, begin + block_rows);
            auto next = categorical.begin();
            for (std::size_t i = 0; i < count; ++i) {
                const ColumnMemory column = source.column(i);
                double* const out = table.data.get() + source.table_column(i) * table.col_stride;
                auto scan = categorical.end();
                if (column.kind != ElementKind::Objects) {
                    read_numbers(column, begin, end, out, stride);
                } else if (next != categorical.end() && next->first == i) {
                    scan = next++;
                    scan->second.read(begin, end, out, stride, taken);
                } else {
                    const std::size_t turn =
                        read_object_numbers(column, begin, end, out, stride, missing);
                    if (turn < end) {
                        scan = categorical.try_emplace(next, i, column, missing, rows);
                        scan->second.turn(turn, out, stride, taken);
                        scan->second.read(turn + 1, end, out, stride, taken);
                    }
                }
                if (end == rows && scan != categorical.end()) {
                    scanned.push_back(
                        CollectedColumn{source.table_column(i), std::move(scan->second).finish()});
                    categorical.erase(scan);
                }
                bool checked = false;
                VX_TRY(signals.count(end - begin, checked));
                // A handler may have changed the arrays; what was read stays valid, but their
                // memory may be gone.
                if (checked && !source.unchanged()) return Scanned();
            }
        }
    } catch (const Abandon&) {
        return Scanned();
    }
    VX_ASSERT(categorical.empty(), "every categorical column of the scan is finished");
    if (pins.empty()) {
        pins = std::move(taken);  // no second list beside the first while it is copied
    } else {
        pins.insert(pins.end(), std::make_move_iterator(taken.begin()),
                    std::make_move_iterator(taken.end()));
    }
    return Scanned(std::move(scanned));
}

}  // namespace vexilo::py

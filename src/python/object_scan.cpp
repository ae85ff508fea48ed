// The scan of tables whose cells run no Python code when read: blocks of rows across all columns,
// numbers written straight into the output, texts deduplicated by object before any text is read,
// and by their text where equal texts come in separate objects.
#include "python/object_scan.h"

#include <algorithm>
#include <cmath>  // std::isnan
#include <cstdint>
#include <iterator>
#include <limits>
#include <map>
#include <string_view>
#include <utility>

#include "engine/address_index.h"
#include "engine/dedup_policy.h"
#include "engine/internal_failure.h"
#include "engine/text_index.h"
#include "engine/unaligned_load.h"
#include "python/signal_check.h"

namespace vexilo::py {
namespace {

// Rows of all columns read before moving on: keeps a block of a row-major table in the cache.
constexpr std::size_t block_bytes = std::size_t{256} << 10;
constexpr std::size_t min_block_rows = 64;
// How many rows ahead the index slot of an object is prefetched.
constexpr std::size_t index_prefetch_distance = 16;

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

PyObject* object_at(const ColumnMemory& column, std::size_t row) noexcept {
    return object_in_slot(column.cell(row));
}

// Reads rows [begin, end) of a column of objects that is numeric so far into out[row * stride];
// missing_number, when not null, is the object that reads as a float NaN. Returns the row of the
// first cell that is no number, where the column turns categorical, or end; nothing when a cell
// needs Python code.
std::optional<std::size_t> read_object_numbers(const ColumnMemory& column, std::size_t begin,
                                               std::size_t end, double* out, std::size_t stride,
                                               const MissingScalar& missing,
                                               const PyObject* missing_number) {
    for (std::size_t row = begin; row < end; ++row) {
        if (row + object_prefetch_rows < end) {
            __builtin_prefetch(object_at(column, row + object_prefetch_rows));
        }
        PyObject* const object = object_at(column, row);
        if (object == missing_number) {
            out[row * stride] = std::numeric_limits<double>::quiet_NaN();
            continue;
        }
        const PlainCell cell = classify_cell(object, missing.object);
        if (cell.kind == CellClass::needs_python) return std::nullopt;
        if (cell.kind != CellClass::number) return row;
        out[row * stride] = cell.number;
    }
    return end;
}

// A column of objects from the cell that turned it categorical on: its entries, and the indexes
// that share one entry among equal cell objects and equal texts, as its DedupPolicy says. A cell
// the scan cannot read (one that needs Python code, or whose text cannot be made) abandons the
// scan of the column: its entries are then meaningless, and the caller looks at abandoned() after
// each block of rows.
class ColumnScan {
public:
    // rows: the column's length, which bounds its entries. Room for that many is reserved at
    // once: address space only, until entries fill it, and no copy of a grown list.
    ColumnScan(const ColumnMemory& memory, const MissingScalar& missing, std::size_t rows)
        : memory_(memory), missing_(&missing), cells_(rows) {}

    // The column turned categorical before the first row: every cell is read as text.
    void turn_before() { cells_.make_categorical(); }

    // The numbers before row become entries 0 .. row-1 in order, rendered as numbers are when a
    // column turns; the cell at row becomes entry row.
    void turn(std::size_t row, double* out, std::size_t stride, Pins& pins) {
        for (std::size_t before = 0; before < row; ++before)
            cells_.add_number(out[before * stride]);
        cells_.make_categorical();
        for (std::size_t before = 0; before < row; ++before) texts_.add_unkeyed();
        for (std::size_t r = 0; r < row; ++r) out[r * stride] = static_cast<double>(r);
        out[row * stride] = static_cast<double>(entry_of(row, pins));
    }

    // Reads rows [begin, end), after the turn, into out[row * stride].
    void read(std::size_t begin, std::size_t end, double* out, std::size_t stride, Pins& pins) {
        std::size_t row = begin;
        // A column with many distinct objects has an index larger than the cache: its slots are
        // asked for a few rows ahead, so that several lookups wait on memory at once.
        for (; row < end && policy_.by_object(); ++row) {
            if (row + index_prefetch_distance < end) {
                objects_.prefetch(object(row + index_prefetch_distance));
            }
            out[row * stride] = static_cast<double>(entry_of(row, pins));
        }
        while (row < end && policy_.by_text() && !policy_.texts_paused())
            row = read_texts(row, end, out, stride, pins);
        for (; row < end; ++row) {
            if (row + object_prefetch_rows < end) {
                __builtin_prefetch(object(row + object_prefetch_rows));
            }
            out[row * stride] = static_cast<double>(text_entry(object(row), row, pins));
        }
    }

    bool abandoned() const noexcept { return abandoned_; }

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
            if (!has_key[i] || !policy_.by_text()) {
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

    // The entry of the cell at row of a categorical column, made if it is new: found by object
    // while that pays, then by text for str cells, else a new entry per cell.
    std::size_t entry_of(std::size_t row, Pins& pins) {
        PyObject* const cell = object(row);
        if (!policy_.by_object()) return text_entry(cell, row, pins);
        const AddressIndex::Slot& slot = objects_.probe(cell);
        if (slot.key != nullptr) return slot.entry;
        const std::size_t pinned = pins.size();
        const std::size_t entry = text_entry(cell, row, pins);
        if (!policy_.by_object()) return entry;  // the new entry gave the indexes up
        // The index holds the object's address: pinned, it stays this object's even should a
        // signal handler replace cells of the table.
        if (pins.size() == pinned) pins.push_back(PyRef::borrow(cell));
        objects_.insert(slot, cell, entry);
        if (!policy_.keep_objects(objects_.size(), cells_.entry_count())) objects_.release();
        return entry;
    }

    std::size_t text_entry(PyObject* cell, std::size_t row, Pins& pins) {
        std::string_view key;
        unsigned kind = 0;
        if (!policy_.by_text() || Py_TYPE(cell) != &PyUnicode_Type || !text_key(cell, key, kind)) {
            return shared_entry(cell, row, pins);
        }
        if (policy_.texts_paused()) {
            policy_.paused_text(texts_.hash(TextIndex::head(key), key, kind));
            return new_entry(cell, row, pins);
        }
        const auto [number, added] = texts_.find_or_add(key, kind);
        if (!added) {
            policy_.text_found();
            return number;
        }
        const std::size_t entry = new_entry(cell, row, pins, true);
        policy_.text_new();
        return entry;
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
        if (abandoned_ || !add(cell, pins)) {
            abandoned_ = true;
            return 0;
        }
        if (policy_.by_text() && !keyed) texts_.add_unkeyed();
        const std::size_t entries = cells_.entry_count();
        // A column of nearly all distinct texts gains nothing from either index; let them go.
        if (!policy_.keep_indexes(entries, row + 1)) {
            objects_.release();
            texts_.release();
        }
        return entries - 1;
    }

    // Appends cell's text as a new entry; false when the scan cannot: the cell needs Python code,
    // or its text cannot be made (the cell-by-cell reading then reports why, in its own order).
    bool add(PyObject* cell, Pins& pins) {
        const CellClass kind = classify_cell(cell, missing_->object).kind;
        if (kind == CellClass::needs_python) return false;
        if (kind == CellClass::not_available) {
            cells_.add_text(missing_->text);
            return true;
        }
        // Plain cells raise nothing but a failing str() (an int too long to print, say).
        const std::size_t pinned = pins.size();
        try {
            Status added = append_cell(cells_, PyRef::borrow(cell), &pins);
            if (!added) return false;  // the error object, taken out of the interpreter, goes
        } catch (const InternalFailure&) {
            return false;
        }
        // The text index may view the str's own memory even where the entry holds a copy.
        if (Py_TYPE(cell) == &PyUnicode_Type && pins.size() == pinned) {
            pins.push_back(PyRef::borrow(cell));
        }
        return true;
    }

    ColumnMemory memory_;
    const MissingScalar* missing_;
    ColumnCells cells_;
    AddressIndex objects_;
    TextIndex texts_;
    DedupPolicy policy_;
    std::optional<std::size_t> missing_entry_;
    std::optional<std::size_t> nan_entry_;
    bool abandoned_ = false;
};

// How often the scan runs signal handlers, in cells: a few thousand cells of the scan take
// microseconds, so the interval is larger than the cell-by-cell reading's. It grows with the
// arrays to look over after each check, so that looking costs at most a fraction of the reading.
std::size_t signal_interval(const ScanSource& source) {
    constexpr std::size_t cells = std::size_t{1} << 15;
    return std::max(cells, 4 * source.array_count());
}

// The scan of one table: the columns that turned categorical, by their index in source, each
// with a state of its own until its last block of rows is read.
class TableScan {
public:
    TableScan(const ScanSource& source, std::size_t rows, Table& table,
              const MissingScalar& missing, const MissingNumbers& missing_numbers) noexcept
        : source_(source),
          rows_(rows),
          table_(table),
          missing_(missing),
          missing_numbers_(missing_numbers) {}

    // Starts column i (objects) categorical before its first row.
    void turn_before(std::size_t i) {
        scans_.try_emplace(i, source_.column(i), missing_, rows_).first->second.turn_before();
    }

    // Reads rows [begin, end) of every column in turn, moving each categorical column to scanned
    // after its last block. False when the scan cannot go on; a signal handler's exception is
    // returned.
    Result<bool> read_rows(std::size_t begin, std::size_t end,
                           std::vector<CollectedColumn>& scanned, SignalCountdown& signals) {
        next_ = scans_.begin();
        for (std::size_t i = 0; i < source_.column_count(); ++i) {
            const std::optional<Scans::iterator> scan = read_block(i, begin, end);
            if (!scan) return false;
            if (end == rows_ && *scan != scans_.end()) {
                scanned.push_back(
                    CollectedColumn{source_.table_column(i), std::move((*scan)->second).finish()});
                scans_.erase(*scan);
            }
            bool checked = false;
            VX_TRY(signals.count(end - begin, checked));
            // A handler may have changed the arrays; what was read stays valid, but their
            // memory may be gone.
            if (checked && !source_.unchanged()) return false;
        }
        return true;
    }

    bool done() const noexcept { return scans_.empty(); }
    Pins& pins() noexcept { return pins_; }

private:
    using Scans = std::map<std::size_t, ColumnScan>;

    // Reads rows [begin, end) of column i: numbers of a typed column, a categorical column's scan,
    // or objects that are numbers so far, until a cell turns the column categorical. Returns the
    // column's scan (the end of scans_ for a numeric column), or nothing when the scan cannot go
    // on.
    std::optional<Scans::iterator> read_block(std::size_t i, std::size_t begin, std::size_t end) {
        const ColumnMemory column = source_.column(i);
        double* const out = table_.data.get() + source_.table_column(i) * table_.col_stride;
        const std::size_t stride = table_.row_stride;
        auto scan = scans_.end();
        if (column.kind != StorageKind::objects) {
            if (!read_number_elements(column, begin, end, out, stride)) {
                throw InternalFailure("the scan was given a column of texts");
            }
        } else if (next_ != scans_.end() && next_->first == i) {
            scan = next_++;
            scan->second.read(begin, end, out, stride, pins_);
        } else {
            // A missing number after the column turned is left to the cell-by-cell reading.
            const std::optional<std::size_t> turn =
                read_object_numbers(column, begin, end, out, stride, missing_,
                                    missing_numbers_.in(source_.table_column(i)));
            if (!turn) return std::nullopt;
            if (*turn < end) {
                scan = scans_.try_emplace(next_, i, column, missing_, rows_);
                scan->second.turn(*turn, out, stride, pins_);
                scan->second.read(*turn + 1, end, out, stride, pins_);
            }
        }
        if (scan != scans_.end() && scan->second.abandoned()) return std::nullopt;
        return scan;
    }

    const ScanSource& source_;
    std::size_t rows_;
    Table& table_;
    const MissingScalar& missing_;
    const MissingNumbers& missing_numbers_;
    Scans scans_;
    Scans::iterator next_;  // the first scan of a column not read yet in this block
    Pins pins_;
};

}  // namespace

Result<std::optional<std::vector<CollectedColumn>>> scan_columns(
    const ScanSource& source, std::size_t rows, Table& table, const MissingScalar& missing,
    Pins& pins, std::span<const ColumnTurn> turns, const MissingNumbers& missing_numbers) {
    using Scanned = std::optional<std::vector<CollectedColumn>>;
    const std::size_t count = source.column_count();
    VX_ASSERT(table.rows == rows && (count == 0 || source.table_column(count - 1) < table.cols),
              "the scan writes a table of the scanned shape");
    VX_ASSERT(turns.empty() || turns.size() == count, "one turn per scanned column");
    TableScan scan(source, rows, table, missing, missing_numbers);
    for (std::size_t i = 0; i < turns.size(); ++i) {
        if (turns[i] != ColumnTurn::Before) continue;
        if (source.column(i).kind != StorageKind::objects) return Scanned();
        scan.turn_before(i);
    }
    std::vector<CollectedColumn> scanned;
    SignalCountdown signals(signal_interval(source));
    const std::size_t row_bytes = std::max<std::size_t>(count * sizeof(double), 1);
    const std::size_t block_rows = std::max(min_block_rows, block_bytes / row_bytes);
    for (std::size_t begin = 0; begin < rows; begin += block_rows) {
        const std::size_t end = std::min(rows, begin + block_rows);
        if (!VX_TRY(scan.read_rows(begin, end, scanned, signals))) return Scanned();
    }
    VX_ASSERT(scan.done(), "every categorical column of the scan is finished");
    Pins& taken = scan.pins();
    if (pins.empty()) {
        pins = std::move(taken);  // no second list beside the first while it is copied
    } else {
        pins.insert(pins.end(), std::make_move_iterator(taken.begin()),
                    std::make_move_iterator(taken.end()));
    }
    return Scanned(std::move(scanned));
}

}  // namespace vexilo::py

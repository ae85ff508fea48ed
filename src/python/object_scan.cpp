// The scan of tables whose cells run no Python code when read: blocks of rows across all columns,
// numbers written straight into the output, texts deduplicated by object before any text is read.
#include "python/object_scan.h"

#include <algorithm>
#include <cstdint>
#include <utility>

#include "engine/internal_failure.h"
#include "engine/unaligned_load.h"

namespace vexilo::py {
namespace {

// Rows of all columns read before moving on: keeps a block of a row-major table in the cache.
constexpr std::size_t block_bytes = std::size_t{256} << 10;
constexpr std::size_t min_block_rows = 64;
// How many rows ahead an object is prefetched when its header is going to be read.
constexpr std::size_t prefetch_distance = 8;
// How many rows ahead the index slot of an object is prefetched.
constexpr std::size_t index_prefetch_distance = 16;
// Deduplication by object stops paying when nearly every cell is an object of its own: checked
// once the index holds this many objects.
constexpr std::size_t dedup_check_size = std::size_t{1} << 18;

// Object address to entry index, open addressing with linear probing. Keys are only compared,
// never followed, so an index entry can never reach freed memory.
class ObjectIndex {
public:
    struct Slot {
        const PyObject* key;
        std::size_t entry;
    };

    ObjectIndex() { slots_.resize(initial_capacity); }

    // The slot holding key, or the free slot where key goes. Valid until the next insert().
    Slot& probe(const PyObject* key) noexcept {
        std::size_t at = position(key);
        while (slots_[at].key != nullptr && slots_[at].key != key) at = (at + 1) & mask();
        return slots_[at];
    }

    // Fills slot, a free slot that probe(key) returned.
    void insert(Slot& slot, const PyObject* key, std::size_t entry) {
        slot = Slot{key, entry};
        if (++size_ * 2 > slots_.size()) grow();
    }

    // Asks for the slot where a lookup of key starts, ahead of the lookup.
    void prefetch(const PyObject* key) const noexcept {
        __builtin_prefetch(&slots_[position(key)]);
    }

    std::size_t size() const noexcept { return size_; }

    void release() noexcept {
        slots_ = std::vector<Slot>();
        size_ = 0;
    }

private:
    static constexpr std::size_t initial_capacity = 64;

    std::size_t mask() const noexcept { return slots_.size() - 1; }

    std::size_t position(const PyObject* key) const noexcept {
        // Objects are at least 16-byte aligned; the multiply spreads the remaining bits upward.
        const std::uint64_t bits =
            static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(key));
        const std::uint64_t mixed = (bits >> 4) * 0x9E3779B97F4A7C15ULL;
        return static_cast<std::size_t>(mixed >> 32) & mask();
    }

    void grow() {
        std::vector<Slot> old = std::exchange(slots_, std::vector<Slot>(slots_.size() * 2));
        for (const Slot& slot : old) {
            if (slot.key != nullptr) probe(slot.key) = slot;
        }
    }

    std::vector<Slot> slots_;
    std::size_t size_ = 0;
};

// What the scan does not do itself: the cell needs Python code, or its text could not be made.
struct Abandon {};

bool is_plain(const PyObject* cell) noexcept {
    const PyTypeObject* type = Py_TYPE(cell);
    return type == &PyUnicode_Type || type == &PyFloat_Type || type == &PyLong_Type ||
           type == &PyBool_Type || cell == Py_None;
}

class ColumnScan {
public:
    explicit ColumnScan(const ColumnMemory& memory) : memory_(memory) {}

    // Reads rows [begin, end) into out[row * stride]. Throws Abandon.
    void read(std::size_t begin, std::size_t end, double* out, std::size_t stride, Pins& pins) {
        if (memory_.kind == ElementKind::Objects)
            return read_objects(begin, end, out, stride, pins);
        const bool number = visit_number_kind(memory_.kind, [&](auto element) {
            for (std::size_t row = begin; row < end; ++row) {
                out[row * stride] = element.read(at(row));
            }
        });
        if (!number) throw InternalFailure("the scan was given a column of texts");
    }

    ColumnCells finish() && {
        cells_.finish();
        return std::move(cells_);
    }

private:
    const char* at(std::size_t row) const noexcept {
        return memory_.first + static_cast<std::ptrdiff_t>(row) * memory_.row_step;
    }

    PyObject* object(std::size_t row) const noexcept {
        PyObject* cell = load_unaligned<PyObject*>(at(row));
        return cell ? cell : Py_None;  // NumPy reads an unset slot as None
    }

    void read_objects(std::size_t begin, std::size_t end, double* out, std::size_t stride,
                      Pins& pins) {
        std::size_t row = begin;
        if (!cells_.categorical()) row = read_numbers(row, end, out, stride, pins);
        if (dedup_) {
            // A column with many distinct objects has an index larger than the cache: its slots
            // are asked for a few rows ahead, so that several lookups wait on memory at once.
            for (; row < end && dedup_; ++row) {
                if (row + index_prefetch_distance < end) {
                    index_.prefetch(object(row + index_prefetch_distance));
                }
                out[row * stride] = shared_entry(row, pins);
            }
        }
        for (; row < end; ++row) {
            if (row + prefetch_distance < end) __builtin_prefetch(object(row + prefetch_distance));
            out[row * stride] = static_cast<double>(new_entry(object(row), pins));
        }
    }

    // Numbers while the column is numeric; returns the row after the last one read, which is end
    // or the row after the one that turned the column categorical.
    std::size_t read_numbers(std::size_t row, std::size_t end, double* out, std::size_t stride,
                             Pins& pins) {
        for (; row < end; ++row) {
            if (row + prefetch_distance < end) __builtin_prefetch(object(row + prefetch_distance));
            PyObject* const cell = object(row);
            const PyTypeObject* type = Py_TYPE(cell);
            if (type == &PyFloat_Type) {
                out[row * stride] = PyFloat_AS_DOUBLE(cell);
                continue;
            }
            if (type == &PyLong_Type) {
                const double value = PyLong_AsDouble(cell);
                if (value != -1.0 || !PyErr_Occurred()) {
                    out[row * stride] = value;
                    continue;
                }
                PyErr_Clear();  // too large for a double: no number, so the column turns
            } else if (type == &PyBool_Type) {
                out[row * stride] = cell == Py_True ? 1.0 : 0.0;
                continue;
            } else if (!is_plain(cell)) {
                throw Abandon{};
            }
            turn_categorical(row, cell, out, stride, pins);
            return row + 1;
        }
        return row;
    }

    // The numbers before row become entries 0 .. row-1 in order, rendered as numbers are when a
    // column turns; the cell at row becomes entry row.
    void turn_categorical(std::size_t row, PyObject* cell, double* out, std::size_t stride,
                          Pins& pins) {
        for (std::size_t before = 0; before < row; ++before)
            cells_.add_number(out[before * stride]);
        add(cell, pins);
        for (std::size_t r = 0; r <= row; ++r) out[r * stride] = static_cast<double>(r);
        if (dedup_) {
            ObjectIndex::Slot& slot = index_.probe(cell);
            index_.insert(slot, cell, row);
        }
    }

    double shared_entry(std::size_t row, Pins& pins) {
        PyObject* const cell = object(row);
        ObjectIndex::Slot& slot = index_.probe(cell);
        if (slot.key != nullptr) return static_cast<double>(slot.entry);
        const std::size_t entry = new_entry(cell, pins);
        index_.insert(slot, cell, entry);
        // A column of nearly all distinct objects gains nothing from the index; let it go.
        if (index_.size() >= dedup_check_size && index_.size() * 4 > (row + 1) * 3) {
            index_.release();
            dedup_ = false;
        }
        return static_cast<double>(entry);
    }

    std::size_t new_entry(PyObject* cell, Pins& pins) {
        if (!is_plain(cell)) throw Abandon{};
        add(cell, pins);
        return cells_.entry_count() - 1;
    }

    void add(PyObject* cell, Pins& pins) {
        // Plain cells raise nothing but a failing str() (an int too long to print, say), which
        // the cell-by-cell reading reports in its own order.
        Status added = [&] {
            try {
                return append_cell(cells_, PyRef::borrow(cell), &pins);
            } catch (const InternalFailure&) {
                throw Abandon{};
            }
        }();
        if (!added) throw Abandon{};
    }

    ColumnMemory memory_;
    ColumnCells cells_{0};
    ObjectIndex index_;
    bool dedup_ = true;
};

}  // namespace

std::optional<std::vector<ColumnCells>> scan_columns(const std::vector<ColumnMemory>& columns,
                                                     std::size_t rows, Table& table, Pins& pins) {
    VX_ASSERT(table.rows == rows && table.cols == columns.size(),
              "the scan writes a table of the scanned shape");
    std::vector<ColumnScan> scans(columns.begin(), columns.end());
    Pins taken;
    const std::size_t row_bytes = std::max<std::size_t>(columns.size() * sizeof(double), 1);
    const std::size_t block_rows = std::max(min_block_rows, block_bytes / row_bytes);
    try {
        for (std::size_t begin = 0; begin < rows; begin += block_rows) {
            const std::size_t end = std::min(rows, begin + block_rows);
            for (std::size_t col = 0; col < scans.size(); ++col) {
                scans[col].read(begin, end, table.data.get() + col * table.col_stride,
                                table.row_stride, taken);
            }
        }
    } catch (const Abandon&) {
        return std::nullopt;
    }
    std::vector<ColumnCells> scanned;
    scanned.reserve(scans.size());
    for (ColumnScan& scan : scans) scanned.push_back(std::move(scan).finish());
    pins.insert(pins.end(), std::make_move_iterator(taken.begin()),
                std::make_move_iterator(taken.end()));
    return scanned;
}

}  // namespace vexilo::py

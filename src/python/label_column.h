// Decoding of one categorical column: each code's label made into a str once and shared by every
// cell carrying it, with the cells' references added in one go.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>  // std::exchange
#include <vector>

#include "engine/code_key.h"  // is_missing_code, code_key
#include "engine/encoding_info.h"
#include "engine/table.h"
#include "python/py_err.h"

namespace vexilo::py {

// The rows a decoding loop takes at a time, column by column: few enough that their part of the
// table and of the result stays in the cache while the columns pass over them.
inline constexpr std::size_t decode_block_rows = 256;

// A new str of the UTF-8 text. Calling thread, interpreter held.
Result<PyRef> new_str(std::string_view text);

// A column that the learned state lists, and its inverse map.
struct ListedMap {
    ColumnIndex col;
    const InverseMap* inverse;
};

// The inverse map of each listed column within the table, in ascending order of column, each
// column once; nothing for the columns the state does not list. The listed columns are checked in
// stored order, each column's checks in the order decoding meets them: no inverse map (an
// InternalFailure), then (when there are rows) an index beyond the table (a ValueError naming the
// table's column count and the count the listed columns need), then, for frames (names given), an
// index beyond the column names (an InternalFailure). Calling thread, interpreter held.
Result<std::vector<ListedMap>> listed_maps(const EncodingInfo& info, const Table& table,
                                           const std::vector<std::string>* names);

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

    // How many labels the column's inverse map holds.
    std::size_t label_count() const noexcept { return inverse_->size(); }

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
        if (is_missing_code(code)) {
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

    // As take, for a code (never a missing code) that take did not know: makes its value and keeps
    // it for later cells. Returns the value, or the error of making its str.
    Result<PyObject*> make(double code) {
        const std::uint64_t key = code_key(code);
        Slot* slot = nullptr;
        if (key < slots_.size()) {
            slot = &slots_[static_cast<std::size_t>(key)];
            const std::string_view* label = labels_[static_cast<std::size_t>(key)];
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
    std::vector<const std::string_view*> labels_;  // by code, when indexed; null: no label
    std::vector<Slot> slots_;                      // by code, when indexed
    HashMap<std::uint64_t, Slot> other_codes_;
};

}  // namespace vexilo::py

// Decoded columns as categories: a column's labels in ascending code order, and each cell's code
// turned into the position of its category. Interpreter-free.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "engine/code_key.h"  // is_missing_code, code_key
#include "engine/encoding_info.h"
#include "engine/table.h"
#include "pool/pool.h"

namespace vexilo {

// The categories of one decoded column: its labels in ascending order of code, so that a state
// whose codes are 0 .. k-1 (every state encoding made) has each label at the position of its
// code, and a restored state with gaps has its labels in code order, their codes renumbered.
struct CategoryLabels {
    std::vector<std::string_view> labels;  // views into the inverse map's texts
    std::vector<std::uint64_t> codes;      // the code of each label when not 0 .. k-1, else empty

    // The position of the category of a cell's code (read as code_key reads it), or -1 for a
    // missing code (is_missing_code) and a code without a label.
    std::int64_t position(double code) const noexcept;
};

// The categories of inverse (borrowed: the labels view its texts). Throws std::bad_alloc. Any
// thread.
CategoryLabels category_labels(const InverseMap& inverse);

// A label that categories holds more than once (a restored state may give one text to several
// codes), or nothing when its labels are distinct, as categories must be. Throws std::bad_alloc.
std::optional<std::string_view> repeated_label(const CategoryLabels& categories);

// The width in bytes (1, 2, 4 or 8) of the signed positions of count categories, chosen as
// pandas chooses its categorical codes' width: the narrowest whose largest value exceeds count.
std::size_t position_width(std::size_t count) noexcept;

// One column whose positions are wanted: the table column, its categories (borrowed), and where
// its table.rows positions go, each a signed integer of width bytes (1, 2, 4 or 8; the
// categories' positions must fit it).
struct PositionColumn {
    std::size_t col;
    const CategoryLabels* categories;
    std::size_t width;
    void* out;
};

// Writes the position (CategoryLabels::position) of every cell of each column into its out, on
// pool, in parallel over columns and blocks of rows; returns each column's count of -1
// positions, in the order of columns. Needs col < table.cols and table cells for every column
// (else InternalFailure). Any thread.
std::vector<std::size_t> category_positions(const Table& table,
                                            std::span<const PositionColumn> columns,
                                            pool::ThreadPool& pool);

}  // namespace vexilo

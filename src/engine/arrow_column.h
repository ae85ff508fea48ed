// A checked reader of the text or number cells of one column held in Arrow memory (the chunks a
// producer handed over, arrow_stream.h). Interpreter-free.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/arrow_abi.h"
#include "engine/arrow_stream.h"
#include "engine/expected.h"
#include "engine/storage_kind.h"

namespace vexilo::arrow {

// The checks of an array's extent that every reader of a flat type makes before it reads a
// buffer: not released, a non-negative length and offset whose sum stays within what a reader can
// address (so that no position times an element size overflows), and no children. Returns the
// first problem found, in the words of ArrowColumn::open's errors. Any thread.
std::optional<std::string> check_extent(const ArrowArray& array);

// What a column's cells are.
enum class CellType { Text, Number };

// A checked view of a column's cells. Text columns: UTF-8 strings ("u"), large strings ("U"),
// string views ("vu"), and dictionaries with integer indices over any of these. Number columns:
// signed and unsigned integers of 8 to 64 bits, 32- and 64-bit floats, booleans, and the null
// type ("n"), whose every cell is missing. Reads the
// memory of the chunks it was opened on, which must outlive it and stay unchanged. Any number of
// threads may read at once.
class ArrowColumn {
public:
    // Checks chunks so that no read can leave the memory their arrays describe: a supported type
    // with no children, non-negative lengths and offsets whose sums fit the address space, every
    // buffer a read needs present, string offsets that never fall, string views inside the data
    // buffers whose sizes the array states, and dictionary indices inside their dictionary.
    // Returns the reader, or the first problem found (ErrorKind::invalid_memory, its message
    // saying what). The interface states no sizes of offset buffers or string data, so those are
    // taken as the offsets and the type imply. Throws std::bad_alloc. Any thread.
    static Expected<ArrowColumn> open(const ArrowChunks& chunks);
    // The same for a column described by schema whose chunks are arrays (borrowed, and only
    // read: views of a table's columns need not own what they describe).
    static Expected<ArrowColumn> open(const ArrowSchema& schema,
                                      std::span<const ArrowArray> arrays);

    std::size_t rows() const noexcept { return rows_; }
    CellType cell_type() const noexcept { return cell_type_; }
    // How many cells are missing: null in a chunk's validity bitmap, or, in a dictionary column,
    // pointing at a null dictionary value.
    std::size_t null_count() const noexcept { return null_count_; }

    // For rows [begin, end) of a text column: views[i] and missing[i] describe row begin + i,
    // views pointing into the chunks' memory (empty for a missing cell). Needs end <= rows() and
    // room for end - begin elements in each output.
    void read_texts(std::size_t begin, std::size_t end, std::string_view* views,
                    bool* missing) const noexcept;

    // For rows [begin, end) of a number column: writes the double of row r to out[(r - begin) *
    // stride]: integers converted to the nearest double, booleans as 1 and 0, missing cells as
    // NaN. Needs end <= rows().
    void read_numbers(std::size_t begin, std::size_t end, double* out,
                      std::size_t stride) const noexcept;

    // One array's cells, checked: cell i is at position offset + i of its buffers.
    struct Cells {
        StorageKind storage = StorageKind::int8;  // a number, bool_bits or text kind
        std::size_t length = 0;
        std::size_t offset = 0;
        const std::uint8_t* validity = nullptr;  // nullptr: no cell is missing
        const void* values = nullptr;            // numbers, bits, offsets or views
        const char* data = nullptr;              // string bytes of the offset kinds
        std::vector<const char*> view_data;      // data buffers of text_views
    };

    struct Chunk {
        std::size_t first_row = 0;
        Cells cells;              // the values, or a dictionary's indices
        bool dictionary = false;  // cells hold indices into values
        Cells values;             // a dictionary's values
    };

    // The checked chunks in row order, none of them empty; for readers that walk a chunk's
    // buffers themselves.
    std::span<const Chunk> chunks() const noexcept { return chunks_; }

    // For rows [begin, end) of a dictionary chunk of a checked column (positions in the chunk):
    // positions[i] is the position in the chunk's dictionary of row begin + i, or -1 for a missing
    // cell (a null index, or an index of a null value). Needs end <= chunk.cells.length.
    static void read_dictionary_positions(const Chunk& chunk, std::size_t begin, std::size_t end,
                                          std::int64_t* positions) noexcept;
    // The text at a position of a dictionary chunk's dictionary that some row names (and that is
    // not null), viewed in the chunk's memory.
    static std::string_view dictionary_text(const Chunk& chunk, std::size_t position) noexcept;

private:
    ArrowColumn() = default;
    static Expected<ArrowColumn> open_all_missing(std::span<const ArrowArray> arrays);

    std::vector<Chunk> chunks_;
    std::size_t rows_ = 0;
    std::size_t null_count_ = 0;
    CellType cell_type_ = CellType::Number;
    bool all_missing_ = false;  // the null type: no buffers, every cell missing
};

}  // namespace vexilo::arrow

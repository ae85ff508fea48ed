// A table of codes and numbers handed out as Arrow memory: an Arrow C stream of one struct array
// whose decoded columns hold texts and whose other columns are the table's float64 values.
// Interpreter-free.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "engine/arrow_abi.h"
#include "engine/encoding_info.h"
#include "engine/expected.h"
#include "engine/table.h"
#include "pool/pool.h"

namespace vexilo::arrow {

// How decoded texts are laid out: large strings ("U": 64-bit offsets and one data buffer), or
// string views ("vu": a 16-byte view a cell, texts of up to 12 bytes inline, longer ones in data
// buffers that hold each distinct label once).
enum class TextLayout { large_strings, string_views };

// One column of an exported table: its name, and the inverse map its codes decode with (borrowed
// for the export only; null: a column of numbers).
struct ExportColumn {
    std::string name;
    const InverseMap* inverse = nullptr;
    // A decoded column exported as a dictionary column instead of texts: int32 indices ("i"), each
    // cell's the position of its category (category_positions), over a dictionary of the
    // categories in ascending code order (category_labels) of the layout's type.
    bool dictionary = false;
    // The field's metadata as the C interface encodes it (field_metadata); empty: none.
    std::string metadata{};
};

// The C data interface's encoding of field metadata: the entry count, then each key and value,
// each preceded by its byte length, all counts native 32-bit integers. Throws std::bad_alloc, or
// std::length_error for a text longer than a 32-bit length. Any thread.
std::string field_metadata(std::span<const std::pair<std::string_view, std::string_view>> entries);

// An Arrow C stream owned until it is taken: released when the owner is destroyed.
class OwnedStream {
public:
    OwnedStream() noexcept = default;
    explicit OwnedStream(const ArrowArrayStream& stream) noexcept : stream_(stream) {}
    OwnedStream(const OwnedStream&) = delete;
    OwnedStream& operator=(const OwnedStream&) = delete;
    OwnedStream(OwnedStream&& other) noexcept : stream_(other.take()) {}
    OwnedStream& operator=(OwnedStream&& other) noexcept;
    ~OwnedStream() { reset(); }

    // The stream, for its callbacks; released (release null) once taken.
    ArrowArrayStream& get() noexcept { return stream_; }
    // Hands the stream over, as the interface moves a structure: the owner keeps a released one.
    ArrowArrayStream take() noexcept;

private:
    void reset() noexcept;

    ArrowArrayStream stream_{};
};

// Exports table, which it takes over, as a stream of one struct array ("+s", length table.rows,
// no validity bitmap) and then its end; the struct's children are columns[i] for table column i,
// named by columns[i].name, every field nullable. A column of numbers is float64 ("g") without
// a validity bitmap (NaN stays NaN); when table's columns are contiguous (row_stride 1) its values
// are the table's own buffer, which the exported memory keeps, otherwise all number columns are
// copied once. A decoded column is of layout's type, each cell the label of its code
// (code_key), copied into the exported memory; null where the code is a missing code
// (is_missing_code) or has no label.
// The exported structures obey the Arrow C interfaces: the stream, every schema it gives, the
// struct array and each child array (which may be moved out of its parent) have release callbacks
// of their own, each to be called once, on any thread and in any order; the memory is freed with
// the last of them. get_last_error gives null or the message of a failed get_schema.
// Decodes on pool, in parallel over columns and blocks of rows. Needs columns.size() ==
// table.cols (else InternalFailure). Fails (ErrorKind::unsupported, nothing exported) when a
// string-view label is too long for a view's 32-bit length, or a dictionary column has more
// categories than an int32 index can number. Throws std::bad_alloc. Any thread.
Expected<OwnedStream> export_table(Table table, std::span<const ExportColumn> columns,
                                   TextLayout layout, pool::ThreadPool& pool = pool::global_pool());

}  // namespace vexilo::arrow

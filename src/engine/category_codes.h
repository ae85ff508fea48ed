// Category columns (integer codes over known texts, as pandas keeps them) read into the entries
// encode_table takes. Interpreter-free.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

#include "engine/column_entries.h"
#include "engine/expected.h"
#include "engine/storage_kind.h"

namespace vexilo {

// Reads `rows` category codes (codes.kind an integer kind; -1 for a missing cell) over the texts
// of the categories into target, as collect_arrow_texts reads texts: only the categories that
// occur become entries, in the order first met, and missing cells read as `missing` says. When
// the categories are in strictly ascending byte order and none is a missing-value marker, the
// entries come in category order instead, those of missing cells last, so that each entry's index
// is its text's code (an entry per row keeps the first-met order). A code that is neither -1 nor
// the position of a category fails the call (ErrorKind::stray_code, its row), leaving target in
// an unspecified state. Any thread.
Outcome collect_category_codes(const ColumnMemory& codes, std::size_t rows,
                               std::span<const std::string_view> categories, MissingCell missing,
                               const ColumnTarget& target);

}  // namespace vexilo

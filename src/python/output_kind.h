// The kind of result that input conversion reads off the caller's table and output construction
// builds.
#pragma once

#include <string>
#include <vector>

namespace vexilo::py {

// A NumPy array, a pandas DataFrame, a polars DataFrame or a pyarrow Table, with the column names
// of the three table kinds. A table read through the Arrow stream interface from any producer but
// polars gets a pyarrow Table.
struct OutputKind {
    enum class Kind { NdArray, DataFrame, PolarsFrame, ArrowTable };
    Kind kind = Kind::NdArray;
    std::vector<std::string> column_names;  // the table kinds only, in the table's column order

    // True for the kinds built through the Arrow stream interface.
    bool is_arrow() const noexcept { return kind == Kind::PolarsFrame || kind == Kind::ArrowTable; }
};

}  // namespace vexilo::py

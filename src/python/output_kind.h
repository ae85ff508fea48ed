// The kind of result that input conversion reads off the caller's table and output construction
// builds.
#pragma once

#include <string>
#include <vector>

namespace vexilo::py {

// A NumPy array, or a pandas DataFrame with its column names.
struct OutputKind {
    enum class Kind { NdArray, DataFrame };
    Kind kind = Kind::NdArray;
    std::vector<std::string> column_names;  // DataFrame only, in the frame's column order
};

}  // namespace vexilo::py

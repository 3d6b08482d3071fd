// MAT-files (Level 4, 5 and 7.3), read through matio.
#pragma once

#include <string>

#include "formats/format_table.hpp"

namespace vexil::formats::mat {

// The label variable in MATLAB's (rows, columns, ...) shape, not yet
// squeezed; `mat_key` gets its name.
NDArray read_label_variable(const std::string& path, std::string& mat_key);
// A label map: the chosen variable with its unit axes removed, "mat_key" and
// "_source_format" "MAT".
LoadResult load_mat_labels(const std::string& path, const ReadOptions& options = {});

extern const Format kFormat;

}  // namespace vexil::formats::mat

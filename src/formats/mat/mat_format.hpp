// MAT-files (Level 4, 5 and 7.3), read through matio: label maps, and image
// cubes as MATLAB holds them (rows, columns, bands).
#pragma once

#include <string>
#include <utility>

#include "formats/format_table.hpp"

namespace vexil::formats::mat {

// The label variable in MATLAB's (rows, columns, ...) shape, not yet
// squeezed; `mat_key` gets its name.
NDArray read_label_variable(const std::string& path, std::string& mat_key);
// A label map: the chosen variable with its unit axes removed, "mat_key",
// "_source_format" "MAT", then "other_variables" (text, cells of text,
// small numeric arrays) when the file holds any.
LoadResult load_mat_labels(const std::string& path, const ReadOptions& options = {});

// (file, variable) of "file.mat:name", "file.mat:/name" or
// "file.mat::name"; the variable is empty when none is named. The
// single-colon form counts only when the whole text is not a file itself.
std::pair<std::string, std::string> split_variable_path(const std::string& path);

// An image cube: the named variable, or the only numeric array, or the
// largest; in MATLAB's shape (rows, columns, bands), unit axes kept, in the
// element type stored in the file. Metadata "mat_key", "mat_header" (the
// file's descriptive text), "_source_format" "MAT" and "_source_file".
LoadResult load_mat_image(const std::string& path, const ReadOptions& options = {});

extern const Format kFormat;

}  // namespace vexil::formats::mat

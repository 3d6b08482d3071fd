// The reading paths of the ground-truth loader, one per kind of label file.
#pragma once

#include <optional>
#include <string>

#include "core/ndarray.hpp"

namespace vexil::convert::internal {

// MAT-file (Level 4, 5 or 7.3): the chosen numeric or logical variable in
// MATLAB's (rows, columns, ...) shape, not yet squeezed; `mat_key` gets its name.
NDArray read_gt_mat(const std::string& path, std::string& mat_key);
// PNG, JPEG or BMP: (height, width) or (height, width, channels).
NDArray read_gt_image(const std::string& path);
// TIFF: band 1 as (height, width); `crs` is set when the file has one.
NDArray read_gt_tiff(const std::string& path, std::optional<std::string>& crs);

}  // namespace vexil::convert::internal

// The ground-truth loader: a label map from any format whose table entry
// lists the file's extension among its label extensions.
#pragma once

#include <string>

#include "formats/reader.hpp"

namespace vexil::formats {

// Throws UnsupportedFormatError "Unsupported ground truth format: <ext>" for
// an extension no format reads as labels.
LoadResult load_gt(const std::string& path, const ReadOptions& options = {});

}  // namespace vexil::formats

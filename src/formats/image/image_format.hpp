// PNG, JPEG and BMP label maps (BMP decoded here, the others through GDAL).
#pragma once

#include <string>

#include "formats/format_table.hpp"

namespace vexil::formats::image {

// (height, width) or (height, width, channels) in the stored type.
NDArray read_image_file(const std::string& path);
// A label map with "_source_format" "image" and, for several channels, "_note".
LoadResult load_image_labels(const std::string& path, const ReadOptions& options = {});

extern const Format kFormat;

// A PNG or JPEG through GDAL, as read_image_file() gives it (in the GDAL
// module; callers in the library go through gdal_module::read_image).
NDArray read_with_gdal(const std::string& path);

}  // namespace vexil::formats::image

// The TIFF format entry. Its readers are in the GDAL module; this part
// stays in the library so that telling formats apart never loads GDAL.
#include "formats/tiff/tiff_format.hpp"

#include "formats/gdal_module.hpp"
#include "text/utf8.hpp"

namespace vexil::formats::tiff {

bool envi_file_type_is_foreign(std::string_view file_type) {
  const std::string t = text::lower(text::strip_whitespace(file_type));
  return !t.empty() && !t.starts_with("envi");
}

namespace {
constexpr std::string_view kExtensions[] = {".tif", ".tiff", ".geotiff"};
}  // namespace

const Format kFormat{"tiff", kExtensions, kExtensions, "gdal", &gdal_module::load_tiff, &gdal_module::load_tiff_labels};

}  // namespace vexil::formats::tiff

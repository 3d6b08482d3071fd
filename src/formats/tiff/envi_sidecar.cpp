#include "formats/tiff/envi_sidecar.hpp"

#include <string_view>
#include <vector>

#include "formats/envi/envi_header.hpp"
#include "formats/envi/envi_metadata.hpp"
#include "formats/tiff/tiff_format.hpp"
#include "io/paths.hpp"
#include "text/text_format.hpp"
#include "text/utf8.hpp"
#include "vexil/errors.hpp"

namespace vexil::formats::tiff {
namespace {

bool is_regular(const std::string& p) { return io::isfile(p); }

}  // namespace

Metadata envi_header_fields(const std::string& hdr_path) {
  return envi::header_metadata(envi::read_header_file(hdr_path));
}

std::optional<std::string> envi_header_beside(const std::string& tiff_path) {
  const std::string stem = io::splitext(tiff_path).first;
  for (const std::string& candidate : {stem + ".hdr", stem + ".HDR", tiff_path + ".hdr", tiff_path + ".HDR"}) {
    if (!is_regular(candidate)) continue;
    try {
      const envi::Header header = envi::read_header_file(candidate);
      const envi::HeaderValue* type = header.find("file type");
      if (type && !type->is_list && envi_file_type_is_foreign(type->text)) return candidate;
    } catch (const Error&) {
      // Not a readable ENVI header: it describes nothing.
    }
  }
  return std::nullopt;
}

std::optional<std::string> data_file_beside_header(const std::string& hdr_path) {
  const auto [stem, ext] = io::splitext(hdr_path);
  // x.tif.hdr describes x.tif.
  if (text::lower(ext) == ".hdr" && !io::splitext(stem).second.empty() && is_regular(stem)) return stem;
  for (const char* e : {".tif", ".TIF", ".tiff", ".TIFF", ".geotiff", ".GEOTIFF", ".Tif", ".GeoTIFF"}) {
    const std::string candidate = stem + e;
    if (is_regular(candidate)) return candidate;
  }
  return std::nullopt;
}

}  // namespace vexil::formats::tiff

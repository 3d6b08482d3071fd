// DLR EnMAP L1B / L2A delivered as GeoTIFF (…-SPECTRAL_IMAGE.TIF, .GEOTIFF
// or _COG.TIF): band centres, widths, gains and offsets and the background
// value live only in the …-METADATA.XML beside the image.
#include <string>

#include "formats/gdal_module.hpp"
#include "formats/products/product_table.hpp"
#include "io/paths.hpp"

namespace vexil::formats::products {
namespace {

// The METADATA.XML that belongs to an EnMAP image, when it exists.
std::optional<std::string> metadata_xml(const std::string& path) {
  const std::string name = io::basename(path);
  const std::string upper_name = [&] {
    std::string u = name;
    for (char& c : u)
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
    return u;
  }();
  if (!upper_name.starts_with("ENMAP")) return std::nullopt;
  const auto at = upper_name.rfind("-SPECTRAL_IMAGE");
  if (at == std::string::npos) return std::nullopt;
  const std::string folder = path.substr(0, path.size() - name.size());
  for (const char* tail : {"-METADATA.XML", "-METADATA.xml", "-metadata.xml"}) {
    const std::string candidate = folder + name.substr(0, at) + tail;
    if (io::isfile(candidate)) return candidate;
  }
  return std::nullopt;
}

bool matches(const ProductInput& in) { return metadata_xml(in.path).has_value(); }

void describe(const ProductInput& in, const std::string&, BandFacts& facts) {
  const auto xml = metadata_xml(in.path);
  // Only a TIFF reaches here, so the GDAL module is loaded already.
  if (!xml || !gdal_module::available()) return;
  std::int64_t count = 0;
  if (in.meta && in.meta->contains("count") && (*in.meta)["count"].is_number_integer())
    count = (*in.meta)["count"].get<std::int64_t>();
  gdal_module::describe_enmap(*xml, in.path, count, facts);
}

}  // namespace

extern const Product kEnmapTiff;
const Product kEnmapTiff{"EnMAP L1B/L2A GeoTIFF", "tiff", &matches, nullptr, nullptr, &describe};

}  // namespace vexil::formats::products

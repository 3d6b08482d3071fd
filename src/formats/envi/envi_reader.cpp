// load_envi: pairs header and data file, reads the cube in its native
// element type and keeps every header field in the metadata.
#include <string>
#include <string_view>

#include "io/paths.hpp"
#include "formats/envi/envi_pairing.hpp"
#include "formats/envi/envi_header.hpp"
#include "formats/envi/envi_data.hpp"
#include "formats/envi/envi_format.hpp"

namespace vexil::formats::envi {

namespace {

// Header fields that lead the metadata, in this order; every other field
// follows in header order.
constexpr std::string_view kLeadingFields[] = {
    "description",      "samples",     "lines",        "bands",
    "header offset",    "data type",   "interleave",   "byte order",
    "wavelength",       "wavelength units", "band names", "map info",
    "coordinate system string", "default bands", "fwhm", "reflectance scale factor",
    "sensor type"};

Metadata to_json(const HeaderValue& v) {
  if (!v.is_list) return Metadata(v.text);
  Metadata arr = Metadata::array();
  for (const auto& item : v.items) arr.push_back(item);
  return arr;
}

bool is_leading(std::string_view key) {
  for (std::string_view k : kLeadingFields)
    if (k == key) return true;
  return false;
}

}  // namespace

LoadResult load_envi(const std::string& path, const ReadOptions&) {

  EnviPaths paths = pair_paths(path);
  const Header header = read_header_file(paths.hdr_path);
  const Layout layout = layout_from_header(header);
  const std::string img_path =
      paths.img_path ? *paths.img_path : find_data_file(paths.hdr_path, layout.interleave_text);

  LoadResult result;
  result.data = read_cube(img_path, layout);

  Metadata& meta = result.meta;
  for (std::string_view key : kLeadingFields)
    if (const HeaderValue* v = header.find(key)) meta[std::string(key)] = to_json(*v);
  // Header keys are already unique, so append to the ordered object directly:
  // ordered_json's own insert searches linearly, quadratic on a huge header.
  auto& obj = meta.get_ref<Metadata::object_t&>();
  for (const auto& [key, value] : header.fields()) {
    if (is_leading(key) || key == "_source_format" || key == "_source_file") continue;
    obj.emplace_back(key, to_json(value));
  }
  meta["_source_format"] = "ENVI";
  meta["_source_file"] = io::abspath(paths.hdr_path);
  result.files = {paths.hdr_path, img_path};
  return result;
}

LoadResult load_envi_labels(const std::string& path, const ReadOptions& options) {
  LoadResult result = load_envi(path, options);
  result.data = result.data.squeeze();
  return result;
}

namespace {
constexpr std::string_view kImageExtensions[] = {".hdr", ".img", ".lan"};
constexpr std::string_view kLabelExtensions[] = {".hdr", ".img"};
}  // namespace

const Format kFormat{"envi", kImageExtensions, kLabelExtensions, "", &load_envi, &load_envi_labels};

}  // namespace vexil::formats::envi

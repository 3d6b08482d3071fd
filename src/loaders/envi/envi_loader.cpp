// load_envi: pairs header and data file, reads the cube in its native
// element type and keeps every header field in the metadata.
#include <string>
#include <string_view>

#include "core/pypath.hpp"
#include "input/dependency_check.hpp"
#include "loaders/envi/envi_files.hpp"
#include "loaders/envi/envi_header.hpp"
#include "loaders/envi/envi_reader.hpp"
#include "loaders/loader.hpp"

namespace vexil::convert::internal {

namespace {

// Header fields that lead the metadata, in this order; every other field
// follows in header order.
constexpr std::string_view kLeadingFields[] = {
    "description",      "samples",     "lines",        "bands",
    "header offset",    "data type",   "interleave",   "byte order",
    "wavelength",       "wavelength units", "band names", "map info",
    "coordinate system string", "default bands", "fwhm", "reflectance scale factor",
    "sensor type"};

Metadata to_json(const envi::HeaderValue& v) {
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

LoadResult load_envi(const std::string& path) {
  check_dep("envi");

  envi::EnviPaths paths = envi::pair_paths(path);
  const envi::Header header = envi::read_header_file(paths.hdr_path);
  const envi::Layout layout = envi::layout_from_header(header);
  const std::string img_path =
      paths.img_path ? *paths.img_path : envi::find_data_file(paths.hdr_path, layout.interleave_text);

  LoadResult result;
  result.data = envi::read_cube(img_path, layout);

  Metadata& meta = result.meta;
  for (std::string_view key : kLeadingFields)
    if (const envi::HeaderValue* v = header.find(key)) meta[std::string(key)] = to_json(*v);
  // Header keys are already unique, so append to the ordered object directly:
  // ordered_json's own insert searches linearly, quadratic on a huge header.
  auto& obj = meta.get_ref<Metadata::object_t&>();
  for (const auto& [key, value] : header.fields()) {
    if (is_leading(key) || key == "_source_format" || key == "_source_file") continue;
    obj.emplace_back(key, to_json(value));
  }
  meta["_source_format"] = "ENVI";
  meta["_source_file"] = pypath::abspath(paths.hdr_path);
  return result;
}

}  // namespace vexil::convert::internal

#include "formats/detect.hpp"

#include <algorithm>
#include <string>
#include <vector>

#include "formats/gdal/gdal_containers.hpp"
#include "formats/libraries.hpp"
#include "vexil/errors.hpp"
#include "io/paths.hpp"
#include "text/utf8.hpp"

namespace vexil::formats {

namespace {

// The format keys of every image format, sorted: "envi, hdf5, tiff".
std::string supported_list() {
  std::vector<std::string_view> keys;
  for (const Format* f : all_formats())
    if (!f->image_extensions.empty() && !f->unlisted) keys.push_back(f->key);
  std::sort(keys.begin(), keys.end());
  keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
  std::string out;
  for (const auto& k : keys) {
    if (!out.empty()) out += ", ";
    out += k;
  }
  return out;
}

}  // namespace

DatasetPath split_dataset_specifier(const std::string& path) {
  DatasetPath out;
  const bool url_like = path.find("://") != std::string::npos;
  const auto colon_slash = url_like ? std::string::npos : path.rfind(":/");
  // A ":/" that is only the tail of "::/" belongs to the "::" form:
  // cube.h5::/grp/x names the file cube.h5 and the dataset /grp/x.
  const bool tail_of_double = colon_slash != std::string::npos && colon_slash > 0 &&
                              path[colon_slash - 1] == ':';
  if (colon_slash != std::string::npos && !tail_of_double) {
    out.file = path.substr(0, colon_slash);
    out.dataset = path.substr(colon_slash + 2);
    out.has_dataset = true;
    return out;
  }
  if (const auto dd = path.rfind("::"); dd != std::string::npos) {
    out.file = path.substr(0, dd);
    out.dataset = path.substr(dd + 2);
    out.has_dataset = true;
    return out;
  }
  out.file = path;
  return out;
}

std::string strip_dataset_specifier(const std::string& path) {
  return split_dataset_specifier(path).file;
}

const Format& detect_format(const std::string& path) {
  const std::string clean = strip_dataset_specifier(path);
  std::string ext = text::lower(io::splitext(clean).second);
  if (ext == ".nc") ext = ".h5";
  const Format* f = format_for_image_extension(ext);
  // NetCDF-3 and HDF4 share their extensions with HDF5: the content decides.
  if (!f || f->key == "hdf5")
    if (const Format* by_content = gdal::format_for_content(clean)) return *by_content;
  if (f) return *f;
  throw UnsupportedFormatError("Unrecognised file extension '" + ext + "'. Supported: " + supported_list());
}

LoadResult read_image_as(const Format& format, const std::string& path, const ReadOptions& options) {
  if (!format.library.empty()) require_library(format.library);
  return format.read_image(path, options);
}

}  // namespace vexil::formats

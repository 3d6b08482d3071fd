// Ground-truth loader: the reading path is chosen by the lower-cased
// extension; the dictionary always starts with "_source_file".
#include <optional>
#include <string>

#include "core/errors.hpp"
#include "core/pypath.hpp"
#include "input/dependency_check.hpp"
#include "loaders/gt/gt_readers.hpp"
#include "loaders/loader.hpp"

namespace vexil::convert::internal {
namespace {

std::string ascii_lower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

}  // namespace

LoadResult load_gt(const std::string& path) {
  const std::string ext = ascii_lower(pypath::splitext(path).second);
  LoadResult result;
  Metadata& meta = result.meta;
  meta["_source_file"] = pypath::abspath(path);

  if (ext == ".mat") {
    std::string mat_key;
    result.data = read_gt_mat(path, mat_key).squeeze();
    meta["mat_key"] = mat_key;
    meta["_source_format"] = "MAT";
  } else if (ext == ".png" || ext == ".jpg" || ext == ".jpeg" || ext == ".bmp") {
    result.data = read_gt_image(path);
    meta["_source_format"] = "image";
    if (result.data.ndim() == 3)
      meta["_note"] = "Ground truth loaded as RGB image. You may need to map RGB values to class labels manually.";
  } else if (ext == ".tif" || ext == ".tiff") {
    check_dep("gdal");
    std::optional<std::string> crs;
    result.data = read_gt_tiff(path, crs);
    if (crs) meta["crs"] = *crs;
    meta["_source_format"] = "GeoTIFF";
  } else if (ext == ".hdr" || ext == ".img") {
    LoadResult envi = load_envi(path);
    result.data = envi.data.squeeze();
    // The ENVI values win; "_source_file" keeps its first place.
    for (auto it = envi.meta.begin(); it != envi.meta.end(); ++it) meta[it.key()] = it.value();
  } else {
    throw ValueError("Unsupported ground truth format: " + ext);
  }
  return result;
}

}  // namespace vexil::convert::internal

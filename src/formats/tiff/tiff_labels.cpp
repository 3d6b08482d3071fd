// TIFF label maps: band 1 in its own type, and the CRS text when there is one.
#include <fmt/format.h>

#include "vexil/errors.hpp"
#include "formats/tiff/tiff_format.hpp"
#include "libs/gdal_util.hpp"

namespace vexil::formats::tiff {

NDArray read_band1(const std::string& path, std::optional<std::string>& crs) {
  const libs::gdal::Dataset ds = libs::gdal::open_raster(path);
  const GDALDatasetH h = libs::gdal::handle(ds);
  if (GDALGetRasterCount(h) < 1) throw ReadError(fmt::format("'{}' has no raster bands", path));
  const libs::gdal::BandType type = libs::gdal::band_type(GDALGetRasterBand(h, 1), path);
  const NDArray cube = libs::gdal::read_interleaved(h, {1}, type, path);
  crs.reset();
  if (auto texts = libs::gdal::dataset_crs(h)) crs = texts->to_string;
  // (height, width, 1) -> (height, width) over the same buffer.
  return NDArray::view(cube.dtype(), {cube.shape()[0], cube.shape()[1]}, {cube.strides()[0], cube.strides()[1]},
                       const_cast<std::byte*>(cube.data()), cube.keep_alive());
}

LoadResult load_tiff_labels(const std::string& path, const ReadOptions&) {
  LoadResult result;
  std::optional<std::string> crs;
  result.data = read_band1(path, crs);
  if (crs) result.meta["crs"] = *crs;
  result.meta["_source_format"] = "GeoTIFF";
  return result;
}

}  // namespace vexil::formats::tiff

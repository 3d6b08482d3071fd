// TIFF label maps: band 1 in its own type, and the CRS text when there is one.
#include <fmt/format.h>

#include "core/errors.hpp"
#include "input/dependency_check.hpp"
#include "loaders/gt/gt_readers.hpp"
#include "loaders/tiff/gdal_util.hpp"

namespace vexil::convert::internal {

NDArray read_gt_tiff(const std::string& path, std::optional<std::string>& crs) {
  check_dep("gdal");
#ifdef VEXIL_HAVE_GDAL
  const gdal::Dataset ds = gdal::open_raster(path);
  const GDALDatasetH h = gdal::handle(ds);
  if (GDALGetRasterCount(h) < 1) throw IOError(fmt::format("'{}' has no raster bands", path));
  const gdal::BandType type = gdal::band_type(GDALGetRasterBand(h, 1), path);
  const NDArray cube = gdal::read_interleaved(h, {1}, type, path);
  crs.reset();
  if (auto texts = gdal::dataset_crs(h)) crs = texts->to_string;
  // (height, width, 1) -> (height, width) over the same buffer.
  return NDArray::view(cube.dtype(), {cube.shape()[0], cube.shape()[1]}, {cube.strides()[0], cube.strides()[1]},
                       const_cast<std::byte*>(cube.data()), cube.keep_alive());
#else
  (void)path;
  (void)crs;
  throw IOError("TIFF input needs GDAL, which this build does not include");
#endif
}

}  // namespace vexil::convert::internal

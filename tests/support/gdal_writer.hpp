// GeoTIFFs written through GDAL's GTiff driver, for the readers' tests.
#pragma once

#ifdef VEXIL_HAVE_GDAL
#include <optional>
#include <string>
#include <vector>

#include <gdal.h>

namespace vexil::test {

// What a test file should look like.
struct TiffSpec {
  int width = 4, height = 3, bands = 1;
  GDALDataType type = GDT_UInt16;
  std::vector<std::string> options;  // creation options
  std::string srs;                   // anything OSRSetFromUserInput accepts
  std::vector<double> geotransform;  // GDAL order, empty for none
  std::optional<double> nodata;
  std::vector<std::optional<std::string>> descriptions;
  std::vector<std::string> tags;                                          // dataset items NAME=VALUE
  std::vector<std::vector<std::string>> band_tags;                        // per band
  std::vector<std::pair<std::string, std::vector<std::string>>> domains;  // other domains: name, NAME=VALUE items
  std::vector<double> scales, offsets;                                    // per band, empty for none
  std::vector<std::string> units;                                         // per band, empty for none
  std::vector<std::optional<double>> band_nodata;                         // per band, overrides `nodata`
};

// Writes `spec` with band-sequential values `values` of the GDAL type
// `buf_type` (the whole raster in one RasterIO; null writes nothing).
// Returns false, with a gtest failure, when GDAL refuses.
bool write_tiff(const std::string& path, const TiffSpec& spec, const void* values, GDALDataType buf_type);

}  // namespace vexil::test
#endif

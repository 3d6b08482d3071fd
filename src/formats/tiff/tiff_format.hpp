// TIFF and GeoTIFF, read through GDAL.
#pragma once

#include <optional>
#include <string>

#include "formats/format_table.hpp"

namespace vexil::formats::tiff {

// Every band as (height, width, bands) with driver, type, nodata, CRS,
// transform, bounds, band descriptions and tags.
LoadResult load_tiff(const std::string& path, const ReadOptions& options = {});
// Band 1 as (height, width); `crs` is set when the file has one.
NDArray read_band1(const std::string& path, std::optional<std::string>& crs);
// A TIFF label map: band 1, "crs" when there is one, "_source_format" "GeoTIFF".
LoadResult load_tiff_labels(const std::string& path, const ReadOptions& options = {});

extern const Format kFormat;

}  // namespace vexil::formats::tiff

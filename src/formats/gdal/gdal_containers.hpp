// Containers read through GDAL's multidimensional API: NetCDF-3 (classic,
// 64-bit offset, 64-bit data) and HDF4. One variable of the file, named with
// a dataset specifier ("scene.nc::radiance") or chosen as the largest;
// GDAL's own netCDF layout of a multi-band raster (2-D variables Band1 …
// BandN, rows stored bottom-up) is put back together as one cube.
// The load_* readers are part of the GDAL module; code in the library calls
// them through gdal_module.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "formats/format_table.hpp"

namespace vexil::formats::gdal {

LoadResult load_netcdf3(const std::string& path, const ReadOptions& options = {});
LoadResult load_hdf4(const std::string& path, const ReadOptions& options = {});
// The chosen variable as a label map (unit axes removed).
LoadResult load_netcdf3_labels(const std::string& path, const ReadOptions& options = {});
LoadResult load_hdf4_labels(const std::string& path, const ReadOptions& options = {});

// "NetCDF-3" for a file starting with CDF 1, 2 or 5, "HDF4" for the HDF4
// signature; nullopt for anything else, or when the file cannot be read.
std::optional<std::string_view> container_kind(const std::string& path);

// The format of these containers a file's content names, or null.
const Format* format_for_content(const std::string& path);

extern const Format kNetcdf3Format;
extern const Format kHdf4Format;

}  // namespace vexil::formats::gdal

// The NetCDF-3 and HDF4 format entries and their signatures. The readers
// are in the GDAL module; recognising a file never loads GDAL.
#include <cstdio>

#include "formats/gdal/gdal_containers.hpp"
#include "formats/gdal_module.hpp"

namespace vexil::formats::gdal {

std::optional<std::string_view> container_kind(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return std::nullopt;
  unsigned char head[4] = {0, 0, 0, 0};
  const std::size_t n = std::fread(head, 1, 4, f);
  std::fclose(f);
  if (n < 4) return std::nullopt;
  if (head[0] == 'C' && head[1] == 'D' && head[2] == 'F' && (head[3] == 1 || head[3] == 2 || head[3] == 5))
    return "NetCDF-3";
  if (head[0] == 0x0e && head[1] == 0x03 && head[2] == 0x13 && head[3] == 0x01) return "HDF4";
  return std::nullopt;
}

namespace {
constexpr std::string_view kNetcdf3Extensions[] = {".cdf", ".nc3"};
constexpr std::string_view kHdf4Extensions[] = {".hdf4", ".h4", ".he4"};
}  // namespace

const Format kNetcdf3Format{"netcdf3", kNetcdf3Extensions,         kNetcdf3Extensions,
                            "gdal",    &gdal_module::load_netcdf3, &gdal_module::load_netcdf3_labels,
                            true};
const Format kHdf4Format{
    "hdf4", kHdf4Extensions, kHdf4Extensions, "gdal", &gdal_module::load_hdf4, &gdal_module::load_hdf4_labels, true};

const Format* format_for_content(const std::string& path) {
  const auto kind = container_kind(path);
  if (!kind) return nullptr;
  return *kind == "HDF4" ? &kHdf4Format : &kNetcdf3Format;
}

}  // namespace vexil::formats::gdal

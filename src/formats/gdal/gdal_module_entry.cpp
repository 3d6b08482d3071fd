// The GDAL module's entry points, handed to the library that loads it.
#include <cstring>

#include "formats/gdal/gdal_containers.hpp"
#include "formats/gdal_module.hpp"
#include "formats/image/image_format.hpp"
#include "formats/products/enmap_xml.hpp"
#include "formats/tiff/tiff_format.hpp"
#include "vexil/version.hpp"

extern "C" __attribute__((visibility("default"))) const vexil::formats::gdal_module::EntryPoints*
vexil_gdal_entry_points(const char* version, std::size_t size) {
  using namespace vexil::formats;
  static const gdal_module::EntryPoints entries{
      &tiff::load_tiff,           &tiff::load_tiff_labels, &tiff::load_tiff_described_by_envi_header,
      &image::read_with_gdal,     &gdal::load_netcdf3,     &gdal::load_hdf4,
      &gdal::load_netcdf3_labels, &gdal::load_hdf4_labels, &products::describe_enmap_xml};
  // A module left from another build would read the struct differently.
  if (!version || std::strcmp(version, VEXIL_VERSION_STRING) != 0 || size != sizeof(entries)) return nullptr;
  return &entries;
}

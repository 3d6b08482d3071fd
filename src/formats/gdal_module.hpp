// The readers built on GDAL (TIFF, PNG/JPEG, NetCDF-3, HDF4, EnMAP's XML)
// live in a library of their own, libvexil-gdal, loaded the first time one
// is called. GDAL brings in over a hundred shared libraries: loading them
// at start cost every run about 60 ms and 20 MB, most of a small
// conversion's time, even when the input was ENVI, HDF5 or MAT.
//
// The functions here have the readers' signatures and forward to the
// module; the format tables point at them. Each throws
// MissingDependencyError("gdal", ...) when the build has no GDAL or the
// module cannot be loaded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "formats/band_facts.hpp"
#include "formats/reader.hpp"

namespace vexil::formats::gdal_module {

// What the module hands over; the same struct is compiled into both sides,
// and the module refuses a caller of another version.
struct EntryPoints {
  ImageReader load_tiff;
  LabelReader load_tiff_labels;
  LoadResult (*load_tiff_described_by_envi_header)(const std::string& hdr_path, const std::string& data_path,
                                                   const Metadata& header_fields, const ReadOptions& options);
  NDArray (*read_image)(const std::string& path);
  ImageReader load_netcdf3;
  ImageReader load_hdf4;
  LabelReader load_netcdf3_labels;
  LabelReader load_hdf4_labels;
  void (*describe_enmap)(const std::string& xml_path, const std::string& image_path, std::int64_t bands,
                         BandFacts& facts);
};

// True when this build has the GDAL readers and their module loads.
bool available();

LoadResult load_tiff(const std::string& path, const ReadOptions& options);
LoadResult load_tiff_labels(const std::string& path, const ReadOptions& options);
LoadResult load_tiff_described_by_envi_header(const std::string& hdr_path, const std::string& data_path,
                                              const Metadata& header_fields, const ReadOptions& options);
NDArray read_image(const std::string& path);
LoadResult load_netcdf3(const std::string& path, const ReadOptions& options);
LoadResult load_hdf4(const std::string& path, const ReadOptions& options);
LoadResult load_netcdf3_labels(const std::string& path, const ReadOptions& options);
LoadResult load_hdf4_labels(const std::string& path, const ReadOptions& options);
void describe_enmap(const std::string& xml_path, const std::string& image_path, std::int64_t bands, BandFacts& facts);

}  // namespace vexil::formats::gdal_module

// The module's one exported symbol: its entry points when `version` and
// `size` (of EntryPoints) are the ones it was built with, else null.
extern "C" const vexil::formats::gdal_module::EntryPoints* vexil_gdal_entry_points(const char* version,
                                                                                   std::size_t size);

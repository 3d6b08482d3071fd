// Helpers shared by everything that reads through GDAL: opening with GDAL's
// own error text captured (and nothing printed), closing always, type
// mapping, the CRS texts users know (EPSG:32633 ...), and size checks made before
// a raster-sized buffer is allocated.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "vexil/dtype.hpp"
#include "vexil/array.hpp"

#ifdef VEXIL_HAVE_GDAL
#include <gdal.h>
#endif

namespace vexil::libs {

#ifdef VEXIL_HAVE_GDAL
namespace gdal {

// Collects GDAL's errors instead of letting GDAL print them, for its lifetime
// and on this thread. Warnings are dropped; the last failure is kept, which
// is the message reported for the failed call.
class ErrorCapture {
 public:
  ErrorCapture();
  ~ErrorCapture();
  ErrorCapture(const ErrorCapture&) = delete;
  ErrorCapture& operator=(const ErrorCapture&) = delete;

  // The last failure message, or `fallback` when GDAL reported none.
  std::string message(std::string_view fallback) const;
  bool failed() const { return failed_; }
  void clear();

 private:
  static void handler(CPLErr cls, CPLErrorNum num, const char* msg);
  std::string last_;
  bool failed_ = false;
};

struct DatasetCloser {
  void operator()(void* ds) const;
};
using Dataset = std::unique_ptr<void, DatasetCloser>;

// A GDAL configuration option set for this thread while the object lives.
class ScopedConfig {
 public:
  ScopedConfig(const char* key, const char* value);
  ~ScopedConfig();
  ScopedConfig(const ScopedConfig&) = delete;
  ScopedConfig& operator=(const ScopedConfig&) = delete;

 private:
  std::string key_;
  std::optional<std::string> old_;
};

// Opens a raster read-only. `drivers` limits the drivers tried (null: all).
// Throws ReadError with GDAL's own message ("x.tif: No such file or
// directory", "'x.tif' not recognized as a supported file format."), the
// path put in front when GDAL's text does not name it; a directory is
// refused as such. `open_options` are GDAL open options (NAME=VALUE), or null.
Dataset open_raster(const std::string& path, const char* const* drivers = nullptr,
                    const char* const* open_options = nullptr);
// Opens a multidimensional container (netCDF, HDF4) read-only, with the
// same error rules.
Dataset open_multidim(const std::string& path, const char* const* drivers = nullptr);

inline GDALDatasetH handle(const Dataset& ds) { return static_cast<GDALDatasetH>(ds.get()); }

// How a band's values come into an array: the array's element type, the
// GDAL type RasterIO converts to (the same as the band's except for complex
// integers), and the NumPy-style name of the band's type ("uint16").
struct BandType {
  DType dtype;
  GDALDataType buffer_type;
  std::string_view name;
};
// Throws ReadError for GDAL types with no array counterpart.
BandType band_type(GDALRasterBandH band, const std::string& path);
// The same for a bare GDAL type (no signed-byte marker); nullopt for types
// with no array counterpart.
std::optional<BandType> type_of(GDALDataType type);

// The CRS as WKT and as its short name ("EPSG:4326"); nullopt when the dataset has
// no spatial reference or its WKT is empty.
struct CrsTexts {
  std::string to_string;
  std::string wkt;
};
std::optional<CrsTexts> dataset_crs(GDALDatasetH ds);
// The same for any spatial reference (a GCP set's, say); null gives nullopt.
std::optional<CrsTexts> crs_texts(OGRSpatialReferenceH srs);

// One item of a metadata domain, or nullopt.
std::optional<std::string> metadata_item(GDALMajorObjectH object, const char* key, const char* domain);

// Checks a raster of `bands` bands of `type` before anything is read: its
// byte count must fit in 64 bits and in this machine's memory, and a file
// cannot describe far more data than it holds (uncompressed TIFF data is
// stored whole; no codec expands data more than 2^20 times). Returns the
// byte count.
std::uint64_t check_raster_size(GDALDatasetH ds, std::size_t bands, const BandType& type, const std::string& path);

// Reads `bands` (1-based) of the whole raster into one (height, width,
// bands) buffer of `type`, in one RasterIO call. Sizes are checked first.
NDArray read_interleaved(GDALDatasetH ds, const std::vector<int>& bands, const BandType& type, const std::string& path);

}  // namespace gdal
#endif

}  // namespace vexil::libs

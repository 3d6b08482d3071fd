// Every input format the benchmark converts, written from one BSQ cube:
// ENVI BSQ/BIL/BIP, GeoTIFF (pixel or band interleaved, uncompressed or
// DEFLATE in 256 x 256 tiles, GDAL's defaults for a tiled file) and HDF5
// (one dataset stored (lines, samples, bands) or (bands, lines, samples),
// contiguous or in 64 x 64-pixel chunks of every band with gzip level 4,
// h5py's default level).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "cubes.hpp"

namespace bench {

enum class InputFormat {
  EnviBsq,
  EnviBil,
  EnviBip,
  TiffPixel,
  TiffBand,
  TiffPixelDeflate,
  TiffBandDeflate,
  H5Hwb,
  H5HwbGzip,
  H5Bhw,
  H5BhwGzip,
};

struct FormatInfo {
  InputFormat format;
  const char* name;    // as --formats takes it: "envi-bsq", "h5-bhw-gzip", ...
  const char* reader;  // the Python pipeline's reader: "envi", "tiff", "hdf5"
};

// In the order the report lists them.
const std::vector<FormatInfo>& all_formats();
std::optional<InputFormat> parse_format(const std::string& name);
const FormatInfo& format_info(InputFormat format);

// A written input, described for the converter and for the Python pipeline.
struct WrittenInput {
  InputFormat format;
  std::string img_argument;        // vexil's --img
  std::string path;                // the file a Python reader opens
  std::string dataset;             // HDF5 dataset name, else empty
  bool bands_first = false;        // HDF5 stored (bands, lines, samples)
  std::vector<std::string> files;  // written here, removed by the caller (empty for the cached BSQ pair)
};

// Writes `cube` as `format` into `dir` (nothing for ENVI BSQ, which is the
// cached file itself). Throws std::runtime_error on failure, or when this
// build lacks the library the format needs.
WrittenInput write_input(const Cube& cube, const MappedCube& mapped, InputFormat format, const std::string& dir);

}  // namespace bench

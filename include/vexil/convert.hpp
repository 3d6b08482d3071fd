// vexil/convert.hpp — one conversion, as `vexil convert_to_mat` runs it.
//
//   vexil::ConversionRequest req;
//   req.image = "scene.hdr";             // ENVI, TIFF/GeoTIFF, HDF5 ("file.h5::/ds") ...
//   req.ground_truth = "labels.png";     // optional
//   req.out_dir = "out";
//   vexil::ConversionResult r = vexil::convert(req, reporter);
//
// convert() loads the image (and the ground truth), crops both when asked,
// writes data.mat (gt.mat) and metadata.json into out_dir and reports each
// step and the closing summary through the reporter, exactly as the command
// line prints them. The outputs are written under temporary names and renamed
// into place only when all of them are complete: a failed or cancelled run
// changes none of the files in out_dir.
//
// Errors: everything is thrown as a vexil::Error subclass (vexil/errors.hpp);
// std::bad_alloc when memory runs out. Nothing is printed, nothing exits.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "vexil/array.hpp"
#include "vexil/layout.hpp"
#include "vexil/metadata.hpp"
#include "vexil/reporter.hpp"

namespace vexil {

// One crop integer. Values of any size are accepted, as typed on the command
// line: a value beyond 64 bits keeps its decimal text and always lies
// outside the image.
struct CropValue {
  CropValue() = default;
  CropValue(std::int64_t v) : text(std::to_string(v)), value(v) {}  // NOLINT: implicit on purpose
  CropValue(std::string decimal, std::optional<std::int64_t> v) : text(std::move(decimal)), value(v) {}
  // From canonical decimal text ("-5", "123456789012345678901234567890").
  static CropValue from_decimal(std::string decimal);

  std::string text = "0";                 // canonical decimal
  std::optional<std::int64_t> value = 0;  // empty when outside int64
};

// A window of rows y .. y+height and columns x .. x+width; every band is kept.
// The window must lie inside the image (else BadInputError "Crop region (...)
// exceeds image bounds (H, W)"); a height or width of 0 gives an empty axis.
struct CropWindow {
  CropValue y, x, height, width;
};

struct ConversionRequest {
  std::string image;                        // path as typed, dataset specifier included
  std::optional<std::string> ground_truth;  // label map: .mat, .png/.jpg/.bmp, .tif, ENVI
  std::string out_dir;                      // created with its parents when missing
  std::optional<CropWindow> crop;
  std::string data_key = "data";  // MATLAB variable names: an ASCII letter, then letters,
  std::string gt_key = "gt";      // digits or '_', at most 63 characters (else UsageError)
  // Stored axis order of an HDF5/netCDF/MAT 7.3 image; Auto decides from the
  // file. An order that does not fit the data is a UsageError.
  Layout layout = Layout::Auto;
  // Worker threads for decoding, compression and statistics; 0: the CPUs this
  // process may use (affinity mask and cgroup quota).
  int threads = 0;
  // When set and it becomes true, the conversion stops at the next chunk with
  // CancelledError and leaves no file behind. Safe to set from a signal handler.
  const std::atomic<bool>* cancel = nullptr;
};

struct WrittenFile {
  std::string name;     // "data.mat", "gt.mat", "metadata.json"
  std::string path;     // out_dir joined with name
  std::uint64_t bytes;  // size on disk
  std::string format;   // "MAT 5", "MAT 7.3" or "JSON"
};

struct ConversionResult {
  Shape data_shape;  // of the saved image, after the crop
  DType data_dtype;
  std::optional<Shape> gt_shape;
  std::optional<DType> gt_dtype;
  Metadata sidecar;                // exactly what metadata.json holds
  std::vector<WrittenFile> files;  // in the order they were written
  double seconds = 0;              // loading, crop and saving (the summary excluded)
};

ConversionResult convert(const ConversionRequest& request, Reporter& reporter);

// Checks a MATLAB variable name as convert() does; returns the reason it is
// unusable, or an empty string when it is fine.
std::string matlab_name_problem(std::string_view name);

}  // namespace vexil

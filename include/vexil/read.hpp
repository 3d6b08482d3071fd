// vexil/read.hpp — read a cube or a label map without converting it.
//
// read_image() returns the image exactly as convert() would write it to
// data.mat: (height, width, bands) in the file's own element type, with the
// metadata that metadata.json's "image" section would hold. Where the file
// allows (an uncompressed ENVI cube, say) the array is a view over a read-only
// memory map of the file and nothing is copied; Array::keep_alive() owns the
// mapping. read_labels() is the ground-truth counterpart (gt.mat's array and
// the "ground_truth" section).
//
// Errors as for convert(): vexil::Error subclasses (vexil/errors.hpp).
#pragma once

#include <string>

#include "vexil/array.hpp"
#include "vexil/layout.hpp"
#include "vexil/metadata.hpp"

namespace vexil {

struct Image {
  NDArray data;
  Metadata metadata;
};

// `path` as the command line takes it: "cube.hdr", "scene.tif",
// "file.h5::/group/ds" (dataset specifier) ...
Image read_image(const std::string& path, Layout layout = Layout::Auto);
Image read_labels(const std::string& path);

}  // namespace vexil

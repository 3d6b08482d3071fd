// Reading an ENVI data file as a (lines, samples, bands) array.
#pragma once

#include <string>

#include "vexil/array.hpp"
#include "formats/envi/envi_header.hpp"

namespace vexil::formats::envi {

// The cube in the file's native element type, shape (lines, samples, bands)
// whatever the interleave. Little-endian (and single-byte) data is a strided
// view over a read-only memory map; big-endian data is an owned copy in
// native byte order with the same logical shape. The file's size is checked
// against the header before anything is mapped or read.
NDArray read_cube(const std::string& data_path, const Layout& layout);

// Byte strides of the (line, sample, band) axes for an interleave.
Strides cube_strides(const Layout& layout);

}  // namespace vexil::formats::envi

// The pixels of a TIFF as a (height, width, bands) array, without reading
// them at load time: uncompressed data lying in one run of the file is a
// view over a read-only mapping; anything else is a deferred array that
// decodes only the blocks of the window asked for, on several threads.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "vexil/array.hpp"

#ifdef VEXIL_HAVE_GDAL
#include "libs/gdal_util.hpp"

namespace vexil::formats::tiff {

// A dataset GDAL opens by `open_name` (the file, or one of its pages as
// "GTIFF_DIR:<n>:<file>") whose bands, in order, follow the bands of the
// parts before it in the cube.
struct RasterPart {
  std::string open_name;
  int bands = 0;
};

// The cube made of `parts` (each `width` x `height`, bands of `type`).
// `first` is the open dataset of parts[0]; `path` names the file in
// messages. Sizes and block positions are checked here, before any pixel
// is read: a file whose blocks run past its end is refused now.
NDArray tiff_cube(const std::string& path, GDALDatasetH first, const std::vector<RasterPart>& parts,
                  const libs::gdal::BandType& type);

// Blocks requested from GDAL by deferred reads so far, in this process
// (one per block of a pixel-interleaved file, one per band and block
// otherwise). For tests that check a window reads only its blocks.
std::uint64_t blocks_read_for_testing();

}  // namespace vexil::formats::tiff
#endif

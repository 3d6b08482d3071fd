// HDF5 (and netCDF-4, HDF-EOS5): one dataset of the file, named with a
// dataset specifier or chosen as the largest.
#pragma once

#include <string>

#include "formats/format_table.hpp"

namespace vexil::formats::hdf5 {

// `path` may end in a dataset specifier ("file.h5:/ds", "file.h5::/grp/ds").
LoadResult load_hdf5(const std::string& path, const ReadOptions& options = {});

extern const Format kFormat;

}  // namespace vexil::formats::hdf5

// What every loader returns: the array and its metadata dictionary.
#pragma once

#include <string>

#include "core/metadata.hpp"
#include "core/ndarray.hpp"

namespace vexil::convert::internal {

struct LoadResult {
  NDArray data;
  Metadata meta = Metadata::object();
};

using Loader = LoadResult (*)(const std::string& path);

LoadResult load_envi(const std::string& path);  // loaders/envi
LoadResult load_tiff(const std::string& path);  // loaders/tiff
LoadResult load_hdf5(const std::string& path);  // loaders/hdf5
LoadResult load_gt(const std::string& path);    // loaders/gt

}  // namespace vexil::convert::internal

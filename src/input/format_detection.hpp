// Input recognition by file name: the extension table, the loader table and
// the HDF5 dataset specifier ("file.h5:/dataset", "file.h5::/grp/dataset").
#pragma once

#include <string>
#include <string_view>
#include <utility>

#include "loaders/loader.hpp"

namespace vexil::convert::internal {

struct ExtEntry {
  std::string_view ext;  // lower case, with its dot
  std::string_view fmt;  // "envi", "tiff", "hdf5"
};
extern const ExtEntry EXT_MAP[9];

struct LoaderEntry {
  std::string_view fmt;
  Loader loader;
};
extern const LoaderEntry LOADERS[3];

// The loader for a format key returned by detect_format.
Loader loader_for(std::string_view fmt);

// (file path, dataset name or empty) split by the specifier rules.
struct SplitPath {
  std::string file;
  std::string dataset;  // empty when there is no specifier
  bool has_dataset = false;
};
SplitPath split_dataset_specifier(const std::string& path);
std::string strip_dataset_specifier(const std::string& path);
std::string detect_format(const std::string& path);

}  // namespace vexil::convert::internal

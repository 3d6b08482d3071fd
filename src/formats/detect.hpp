// Input recognition by file name: the image's format from its extension, and
// the dataset specifier ("file.h5:/dataset", "file.h5::/grp/dataset").
#pragma once

#include <string>

#include "formats/format_table.hpp"

namespace vexil::formats {

// (file path, dataset name) split by the specifier rules.
struct DatasetPath {
  std::string file;
  std::string dataset;  // empty when there is no specifier
  bool has_dataset = false;
};
DatasetPath split_dataset_specifier(const std::string& path);
std::string strip_dataset_specifier(const std::string& path);

// The format of an image path, from its extension (a dataset specifier is
// ignored; ".nc" counts as ".h5"). Throws UnsupportedFormatError naming the
// extension and the supported format keys.
const Format& detect_format(const std::string& path);

// Runs the format's image reader after checking that its library is built in.
LoadResult read_image_as(const Format& format, const std::string& path, const ReadOptions& options = {});

}  // namespace vexil::formats

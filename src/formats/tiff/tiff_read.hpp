// The TIFF reader's entry with what a caller knows besides the file.
#pragma once

#include <string>

#include "formats/format_table.hpp"

namespace vexil::formats::tiff {

struct TiffContext {
  // Fields of an ENVI header that describes the file, kept under
  // "envi_header" (null: none), and the header's path. What the header says
  // about the bands wins over what the file itself says.
  const Metadata* envi_header = nullptr;
  std::string envi_header_path;
};

LoadResult read_tiff(const std::string& path, const ReadOptions& options, const TiffContext& context);

}  // namespace vexil::formats::tiff

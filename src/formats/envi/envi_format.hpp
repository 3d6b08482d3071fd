// ENVI: a text header (.hdr) beside a raw data file.
#pragma once

#include <string>

#include "formats/format_table.hpp"

namespace vexil::formats::envi {

// The cube as (lines, samples, bands) in the file's own element type, and
// every header field (the usual ones first) plus "_source_format" and
// "_source_file". `path` may name the header or the data file.
LoadResult load_envi(const std::string& path, const ReadOptions& options = {});
// A label file: the cube with its unit axes removed, the same metadata.
LoadResult load_envi_labels(const std::string& path, const ReadOptions& options = {});

extern const Format kFormat;

}  // namespace vexil::formats::envi

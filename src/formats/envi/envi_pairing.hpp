// Which header and which data file make up an ENVI image.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vexil::formats::envi {

struct EnviPaths {
  std::string hdr_path;
  std::optional<std::string> img_path;  // unset: search beside the header once its interleave is known
};

// The user may name the header (its data file is looked for beside it under
// seven lower-case names) or the data file (see header_candidates). Throws
// NotFoundError "Cannot find ENVI header: <base>.hdr ..." when a data file
// was named and none of its header names exists.
EnviPaths pair_paths(const std::string& path);

// The header names of a data file, in the order they are tried (GDAL's):
// the extension replaced by .hdr and .HDR, then .hdr and .HDR appended
// (x.img.hdr, as GDAL writes with SUFFIX=ADD); a name without an extension
// gets .hdr and .HDR once.
std::vector<std::string> header_candidates(const std::string& data_path);
// The first of them that is a regular file.
std::optional<std::string> find_header(const std::string& data_path);

// The wider search beside a header whose own candidates all failed: upper
// case, ".sli", ".hyspex" and the interleave name as extension.
std::vector<std::string> fallback_candidates(const std::string& hdr_path, std::string_view interleave_text);

// First regular file of fallback_candidates, or a BadInputError saying none exists.
std::string find_data_file(const std::string& hdr_path, std::string_view interleave_text);

}  // namespace vexil::formats::envi

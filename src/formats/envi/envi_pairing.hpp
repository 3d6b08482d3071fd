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
// seven lower-case names) or the data file (its header is <base>.hdr).
// Throws NotFoundError when a data file was named and its header is missing.
EnviPaths pair_paths(const std::string& path);

// The wider search beside a header whose own candidates all failed: upper
// case, ".sli", ".hyspex" and the interleave name as extension.
std::vector<std::string> fallback_candidates(const std::string& hdr_path, std::string_view interleave_text);

// First regular file of fallback_candidates, or a BadInputError saying none exists.
std::string find_data_file(const std::string& hdr_path, std::string_view interleave_text);

}  // namespace vexil::formats::envi

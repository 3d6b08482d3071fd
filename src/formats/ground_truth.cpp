// Ground-truth loader: the reading path is chosen by the lower-cased
// extension through the format table; the dictionary always starts with
// "_source_file", followed by the reader's own entries (whose values win).
#include "formats/ground_truth.hpp"

#include <string>

#include "formats/format_table.hpp"
#include "formats/libraries.hpp"
#include "io/paths.hpp"
#include "vexil/errors.hpp"

namespace vexil::formats {
namespace {

std::string ascii_lower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

}  // namespace

LoadResult load_gt(const std::string& path, const ReadOptions& options) {
  const std::string ext = ascii_lower(io::splitext(path).second);
  const Format* format = format_for_label_extension(ext);
  if (!format) throw UnsupportedFormatError("Unsupported ground truth format: " + ext);

  LoadResult result;
  result.meta["_source_file"] = io::abspath(path);
  if (!format->library.empty()) require_library(format->library);
  LoadResult read = format->read_labels(path, options);
  result.data = std::move(read.data);
  for (auto it = read.meta.begin(); it != read.meta.end(); ++it) result.meta[it.key()] = it.value();
  return result;
}

}  // namespace vexil::formats

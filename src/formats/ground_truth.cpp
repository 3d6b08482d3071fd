// Ground-truth loader: the reading path is chosen by the lower-cased
// extension through the format table; the dictionary always starts with
// "_source_file", followed by the reader's own entries (whose values win).
#include "formats/ground_truth.hpp"

#include <string>

#include "formats/detect.hpp"
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
  // A dataset specifier ("labels.h5::gt") counts only when what precedes it
  // is a file a label reader knows; other paths keep their whole extension.
  std::string file = path;
  const DatasetPath split = split_dataset_specifier(path);
  if (split.has_dataset && format_for_label_extension(ascii_lower(io::splitext(split.file).second)))
    file = split.file;
  const std::string ext = ascii_lower(io::splitext(file).second);
  const Format* format = format_for_label_extension(ext);
  if (!format) throw UnsupportedFormatError("Unsupported ground truth format: " + ext);

  LoadResult result;
  result.meta["_source_file"] = io::abspath(file);
  if (!format->library.empty()) require_library(format->library);
  LoadResult read = format->read_labels(path, options);
  result.data = std::move(read.data);
  for (auto it = read.meta.begin(); it != read.meta.end(); ++it) result.meta[it.key()] = it.value();
  return result;
}

}  // namespace vexil::formats

// Ground-truth loader: the reading path is chosen by the lower-cased
// extension through the format table; the dictionary always starts with
// "_source_file", followed by the reader's own entries (whose values win).
#include "formats/ground_truth.hpp"

#include <string>

#include "formats/detect.hpp"
#include "formats/format_table.hpp"
#include "formats/mat/mat_format.hpp"
#include "formats/libraries.hpp"
#include "io/paths.hpp"
#include "vexil/errors.hpp"
#include "text/utf8.hpp"

namespace vexil::formats {

LoadResult load_gt(const std::string& path, const ReadOptions& options) {
  const std::string ext = text::lower(io::splitext(path).second);
  std::string source = path;
  const Format* format = format_for_label_extension(ext);
  if (!format) {
    // "labels.h5::gt", "labels.mat:gt": the file part's extension decides,
    // and the reader gets the whole text.
    std::string file = strip_dataset_specifier(path);
    if (file == path) file = mat::split_variable_path(path).first;
    if (file != path) {
      format = format_for_label_extension(text::lower(io::splitext(file).second));
      source = file;
    }
  }
  if (!format) throw UnsupportedFormatError("Unsupported ground truth format: " + ext);

  LoadResult result;
  result.meta["_source_file"] = io::abspath(source);
  if (!format->library.empty()) require_library(format->library);
  LoadResult read = format->read_labels(path, options);
  result.data = std::move(read.data);
  for (auto it = read.meta.begin(); it != read.meta.end(); ++it) result.meta[it.key()] = it.value();
  result.files = std::move(read.files);
  return result;
}

}  // namespace vexil::formats

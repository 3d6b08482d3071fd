// Ground-truth MAT-files: the label variable (mat_read.hpp) with its unit
// axes removed, and the variables that describe it (class names, colour
// maps) kept for the sidecar.
#include "formats/mat/mat_format.hpp"
#include "formats/mat/mat_other_variables.hpp"
#include "formats/mat/mat_read.hpp"

namespace vexil::formats::mat {

NDArray read_label_variable(const std::string& path, std::string& mat_key) {
  MatVariable v = read_mat_variable(path, "", Purpose::Labels);
  mat_key = std::move(v.name);
  return std::move(v.data);
}

LoadResult load_mat_labels(const std::string& path, const ReadOptions&) {
  const auto [file, variable] = split_variable_path(path);
  MatVariable v = read_mat_variable(file, variable, Purpose::Labels);
  LoadResult result;
  result.data = v.data.squeeze();
  result.meta["mat_key"] = v.name;
  result.meta["_source_format"] = "MAT";
  Metadata others = read_other_variables(file, v.name);
  if (!others.empty()) result.meta["other_variables"] = std::move(others);
  result.files = {file};
  return result;
}

namespace {
constexpr std::string_view kExtensions[] = {".mat"};
}  // namespace

// Listed among the image formats but not in the "Supported:" text of the
// unrecognised-extension error, which names the formats it always named.
const Format kFormat{"mat", kExtensions, kExtensions, "", &load_mat_image, &load_mat_labels, true};

}  // namespace vexil::formats::mat

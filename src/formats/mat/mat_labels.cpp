// Ground-truth MAT-files: the label variable (mat_read.hpp) with its unit
// axes removed.
#include "formats/mat/mat_format.hpp"
#include "formats/mat/mat_read.hpp"

namespace vexil::formats::mat {

NDArray read_label_variable(const std::string& path, std::string& mat_key) {
  MatVariable v = read_mat_variable(path, "", Purpose::Labels);
  mat_key = std::move(v.name);
  return std::move(v.data);
}

LoadResult load_mat_labels(const std::string& path, const ReadOptions&) {
  LoadResult result;
  std::string mat_key;
  result.data = read_label_variable(path, mat_key).squeeze();
  result.meta["mat_key"] = mat_key;
  result.meta["_source_format"] = "MAT";
  return result;
}

namespace {
constexpr std::string_view kExtensions[] = {".mat"};
}  // namespace

const Format kFormat{"mat", {}, kExtensions, "", nullptr, &load_mat_labels};

}  // namespace vexil::formats::mat

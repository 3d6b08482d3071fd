// MAT-files as image cubes: the benchmark scenes (Indian Pines, Pavia,
// Salinas ...) ship as one (rows, cols, bands) variable, which MATLAB holds
// in exactly the order the converter writes.
#include <cstdio>
#include <memory>
#include <string>

#include "formats/detect.hpp"
#include "formats/mat/mat_format.hpp"
#include "formats/mat/mat_read.hpp"
#include "io/paths.hpp"
#include "text/utf8.hpp"

namespace vexil::formats::mat {
namespace {

// The descriptive text of a Level 5 / 7.3 header ("MATLAB 5.0 MAT-file,
// Platform: ..."), trailing spaces and NULs removed; empty for Level 4.
std::string header_text(const std::string& path) {
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> f(std::fopen(path.c_str(), "rb"), std::fclose);
  char head[116];
  if (!f || std::fread(head, 1, sizeof head, f.get()) != sizeof head) return {};
  std::string_view text(head, sizeof head);
  if (text.substr(0, 6) != "MATLAB") return {};
  while (!text.empty() && (text.back() == ' ' || text.back() == '\0')) text.remove_suffix(1);
  return text::utf8_or_latin1(text);
}

}  // namespace

std::pair<std::string, std::string> split_variable_path(const std::string& path) {
  const DatasetPath spec = split_dataset_specifier(path);
  if (spec.has_dataset) {
    std::string name = spec.dataset;
    while (!name.empty() && name.front() == '/') name.erase(0, 1);
    return {spec.file, name};
  }
  const auto colon = path.rfind(':');
  if (colon != std::string::npos && colon > 0 && !io::isfile(path) && io::isfile(path.substr(0, colon)))
    return {path.substr(0, colon), path.substr(colon + 1)};
  return {path, ""};
}

LoadResult load_mat_image(const std::string& path, const ReadOptions&) {
  const auto [file, variable] = split_variable_path(path);
  MatVariable v = read_mat_variable(file, variable, Purpose::Image);
  LoadResult result;
  result.data = std::move(v.data);
  result.meta["mat_key"] = v.name;
  if (std::string text = header_text(file); !text.empty()) result.meta["mat_header"] = std::move(text);
  result.meta["_source_format"] = "MAT";
  result.meta["_source_file"] = io::abspath(file);
  result.files = {file};
  return result;
}

}  // namespace vexil::formats::mat

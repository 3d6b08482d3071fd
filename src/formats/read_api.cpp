// The public read functions: the readers of a conversion, without writing.
#include "formats/detect.hpp"
#include "formats/ground_truth.hpp"
#include "vexil/read.hpp"

namespace vexil {

Image read_image(const std::string& path, Layout layout) {
  formats::ReadOptions options;
  options.layout = layout;
  formats::LoadResult r = formats::read_image_as(formats::detect_format(path), path, options);
  return {std::move(r.data), std::move(r.meta)};
}

Image read_labels(const std::string& path) {
  formats::LoadResult r = formats::load_gt(path);
  return {std::move(r.data), std::move(r.meta)};
}

}  // namespace vexil

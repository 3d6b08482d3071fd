// One conversion from start to end. The order is fixed so that nothing is
// written before the image, the ground truth and the crop have all succeeded.
#include "command/convert.hpp"

#include <algorithm>
#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "command/cli.hpp"
#include "command/summary.hpp"
#include "core/console.hpp"
#include "core/metadata.hpp"
#include "core/ndarray.hpp"
#include "display/display.hpp"
#include "input/format_detection.hpp"
#include "loaders/loader.hpp"
#include "output/save_outputs.hpp"
#include "spatial/crop.hpp"

namespace vexil::convert {

namespace {

namespace d = vexil::utils::display;

std::string upper(std::string s) {
  for (char& c : s) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  }
  return s;
}

// shape[:2] as Python slices it: arrays with fewer axes give fewer entries.
Shape spatial(const NDArray& a) {
  const auto& s = a.shape();
  return Shape(s.begin(), s.begin() + std::min<std::size_t>(2, s.size()));
}

std::string loaded_line(const std::string& what, const NDArray& a) {
  return "  " + d::GREEN + "✓" + d::RESET + " " + what + ": shape=" + shape_str(a.shape()) +
         " dtype=" + std::string(dtype_name(a.dtype()));
}

// A crop integer for the metadata; after a successful crop every value
// fits in 64 bits, the text is only a guard against storing a wrong number.
Metadata crop_number(const internal::CropValue& v) {
  if (v.value) return *v.value;
  return v.text;
}

}  // namespace

int main(const std::vector<std::string>& args) {
  using namespace internal;
  const Options opt = parse_args(args);
  const auto t0 = std::chrono::steady_clock::now();

  println("\n  " + d::BOLD + "Loading image:" + d::RESET + " " + opt.img);
  const std::string fmt = detect_format(opt.img);
  println("  " + d::GRAY + "Detected format: " + upper(fmt) + d::RESET);
  LoadResult image = loader_for(fmt)(opt.img);
  NDArray data = std::move(image.data);
  Metadata meta = std::move(image.meta);
  println(loaded_line("Loaded", data));

  std::optional<NDArray> gt;
  std::optional<Metadata> gt_meta;
  if (opt.gt) {
    println("\n  " + d::BOLD + "Loading ground truth:" + d::RESET + " " + *opt.gt);
    LoadResult labels = load_gt(*opt.gt);
    gt = std::move(labels.data);
    gt_meta = std::move(labels.meta);
    println(loaded_line("Loaded", *gt));
    const Shape image_hw = spatial(data);
    const Shape gt_hw = spatial(*gt);
    if (image_hw != gt_hw) {
      println("  " + d::YELLOW + "⚠ Spatial mismatch: image=" + shape_str(image_hw) +
              ", gt=" + shape_str(gt_hw) + d::RESET);
    }
  }

  if (opt.crop) {
    const CropWindow& c = *opt.crop;
    println("\n  " + d::BOLD + "Cropping:" + d::RESET + " y=" + c.y.text + " x=" + c.x.text +
            " h=" + c.h.text + " w=" + c.w.text);
    auto cropped = apply_crop(data, gt, c);
    data = std::move(cropped.first);
    gt = std::move(cropped.second);
    meta["crop"] = Metadata{{"y", crop_number(c.y)},
                            {"x", crop_number(c.x)},
                            {"height", crop_number(c.h)},
                            {"width", crop_number(c.w)}};
    println("  " + d::GREEN + "✓" + d::RESET + " Cropped to: " + shape_str(data.shape()));
  }

  const SaveInputs outputs{opt.out_dir, opt.data_key, opt.gt_key, data, gt, meta, gt_meta};
  check_outputs_writable(outputs);
  save_outputs(outputs);

  const double elapsed =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  print_summary(data, gt, meta, gt_meta, opt.out_dir, elapsed, opt.data_key, opt.gt_key);
  return 0;
}

}  // namespace vexil::convert

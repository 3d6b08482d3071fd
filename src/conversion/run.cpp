// One conversion from start to end. The order is fixed so that nothing is
// written before the image, the ground truth and the crop have all succeeded.
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "conversion/summary.hpp"
#include "core/job.hpp"
#include "formats/detect.hpp"
#include "formats/ground_truth.hpp"
#include "io/paths.hpp"
#include "output/save_outputs.hpp"
#include "spatial/crop.hpp"
#include "text/text_format.hpp"
#include "vexil/convert.hpp"
#include "vexil/errors.hpp"

namespace vexil {
namespace {

std::string upper(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  return out;
}

// The first two axes, as a slice shape[:2] gives them (fewer for fewer axes).
Shape first_two_axes(const NDArray& a) {
  const auto& s = a.shape();
  return Shape(s.begin(), s.begin() + std::min<std::size_t>(2, s.size()));
}

std::string loaded_line(const Palette& p, const NDArray& a) {
  return "  " + p.green + "\u2713" + p.reset + " Loaded: shape=" + shape_str(a.shape()) +
         " dtype=" + std::string(dtype_name(a.dtype()));
}

// A crop integer for the metadata; after a successful crop every value fits
// in 64 bits, the text is only a guard against storing a wrong number.
Metadata crop_number(const CropValue& v) {
  if (v.value) return *v.value;
  return v.text;
}

// Refuses a run whose outputs would replace one of its inputs (the same file
// after links are resolved), before the output is written.
void check_not_an_output(const std::string& input, const std::vector<std::string>& outputs) {
  struct stat in {};
  if (input.empty() || ::stat(input.c_str(), &in) != 0) return;
  for (const std::string& out : outputs) {
    struct stat o {};
    if (::stat(out.c_str(), &o) == 0 && o.st_dev == in.st_dev && o.st_ino == in.st_ino)
      throw UsageError("Input " + text::str_repr(input) + " is the output file " + text::str_repr(out) +
                       " of this run and would be replaced: choose another output folder");
  }
}

void check_key(const std::string& option, const std::string& key) {
  if (const std::string problem = matlab_name_problem(key); !problem.empty()) throw UsageError(option + " " + problem);
}

}  // namespace

ConversionResult convert(const ConversionRequest& request, Reporter& reporter) {
  check_key("data_key", request.data_key);
  check_key("gt_key", request.gt_key);
  const auto t0 = std::chrono::steady_clock::now();
  const core::Job job(reporter, request.cancel, request.threads);
  const std::vector<std::string> outputs = output::output_paths(request.out_dir, request.ground_truth.has_value());
  check_not_an_output(formats::strip_dataset_specifier(request.image), outputs);
  if (request.ground_truth) check_not_an_output(formats::strip_dataset_specifier(*request.ground_truth), outputs);
  const Palette& p = job.palette();
  const formats::ReadOptions read_options{&job, request.layout};

  job.line("\n  " + p.bold + "Loading image:" + p.reset + " " + request.image);
  const formats::Format& format = formats::detect_format(request.image);
  job.line("  " + p.gray + "Detected format: " + upper(format.key) + p.reset);
  formats::LoadResult image = formats::read_image_as(format, request.image, read_options);
  for (const std::string& f : image.files) check_not_an_output(f, outputs);
  NDArray data = std::move(image.data);
  Metadata meta = std::move(image.meta);
  job.line(loaded_line(p, data));

  std::optional<NDArray> gt;
  std::optional<Metadata> gt_meta;
  if (request.ground_truth) {
    job.line("\n  " + p.bold + "Loading ground truth:" + p.reset + " " + *request.ground_truth);
    formats::LoadResult labels = formats::load_gt(*request.ground_truth, read_options);
    for (const std::string& f : labels.files) check_not_an_output(f, outputs);
    gt = std::move(labels.data);
    gt_meta = std::move(labels.meta);
    job.line(loaded_line(p, *gt));
    const Shape image_hw = first_two_axes(data);
    const Shape gt_hw = first_two_axes(*gt);
    if (image_hw != gt_hw)
      job.line("  " + p.yellow + "\u26a0 Spatial mismatch: image=" + shape_str(image_hw) + ", gt=" + shape_str(gt_hw) +
               p.reset);
  }

  if (request.crop) {
    const CropWindow& c = *request.crop;
    job.line("\n  " + p.bold + "Cropping:" + p.reset + " y=" + c.y.text + " x=" + c.x.text + " h=" + c.height.text +
             " w=" + c.width.text);
    auto cropped = spatial::apply_crop(data, gt, c);
    data = std::move(cropped.first);
    gt = std::move(cropped.second);
    meta["crop"] = Metadata{{"y", crop_number(c.y)},
                            {"x", crop_number(c.x)},
                            {"height", crop_number(c.height)},
                            {"width", crop_number(c.width)}};
    job.line("  " + p.green + "\u2713" + p.reset + " Cropped to: " + shape_str(data.shape()));
  }

  ConversionResult result;
  output::SaveInputs save{request.out_dir, request.data_key, request.gt_key, data, gt, meta, gt_meta};
  save.sidecar_out = &result.sidecar;
  output::check_outputs_writable(save);
  output::check_out_dir(request.out_dir);
  // A deferred image is read here, after every check that needs no pixels,
  // and only within the crop window; one whose source reads bands apart is
  // streamed into data.mat instead. The value range is taken on the way,
  // while the writer has the bytes in cache.
  if (data.is_deferred() && !output::streams_bands(data, request.data_key, save.mat5_limit))
    data = data.materialize(job.read_control("reading " + io::basename(request.image)));
  const auto tally = std::make_unique<conversion::RangeTally>(data.dtype(), data.size(), meta);
  save.data_tap = [t = tally.get()](const NDArray& values) { t->add(values); };
  result.files = output::save_outputs(save, job);
  result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  result.data_shape = data.shape();
  result.data_dtype = data.dtype();
  if (gt) {
    result.gt_shape = gt->shape();
    result.gt_dtype = gt->dtype();
  }

  conversion::print_summary(job, data, gt, meta, gt_meta, request.out_dir, result.seconds, request.data_key,
                            request.gt_key, tally.get());
  return result;
}

}  // namespace vexil

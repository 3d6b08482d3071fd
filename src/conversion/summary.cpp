#include "conversion/summary.hpp"

#include <cmath>
#include <complex>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <vector>
#include <type_traits>

#include "conversion/statistics.hpp"
#include "io/paths.hpp"
#include "text/text_format.hpp"

namespace vexil::conversion {
namespace {

template <class T>
constexpr bool is_cplx = false;
template <class T>
constexpr bool is_cplx<std::complex<T>> = true;

std::string metadata_repr(const Metadata& v);

// str() of a metadata value: text as it is, everything else as its repr.
std::string metadata_text(const Metadata& v) {
  if (v.is_string()) return v.get<std::string>();
  return metadata_repr(v);
}

std::string metadata_repr(const Metadata& v) {
  switch (v.type()) {
    case Metadata::value_t::null: return "None";
    case Metadata::value_t::boolean: return v.get<bool>() ? "True" : "False";
    case Metadata::value_t::number_integer: return std::to_string(v.get<std::int64_t>());
    case Metadata::value_t::number_unsigned: return std::to_string(v.get<std::uint64_t>());
    case Metadata::value_t::number_float: return text::float_repr(v.get<double>());
    case Metadata::value_t::string: return text::str_repr(v.get_ref<const std::string&>());
    case Metadata::value_t::array: {
      std::string s = "[";
      for (std::size_t i = 0; i < v.size(); ++i) {
        if (i) s += ", ";
        s += metadata_repr(v[i]);
      }
      return s + "]";
    }
    case Metadata::value_t::object: {
      std::string s = "{";
      bool first = true;
      for (const auto& [k, item] : v.items()) {
        if (!first) s += ", ";
        first = false;
        s += text::str_repr(k) + ": " + metadata_repr(item);
      }
      return s + "}";
    }
    default: return v.dump();
  }
}

// Whether a metadata value counts as present: not null, not false, not zero,
// not empty.
bool truthy(const Metadata& v) {
  switch (v.type()) {
    case Metadata::value_t::null: return false;
    case Metadata::value_t::boolean: return v.get<bool>();
    case Metadata::value_t::number_integer: return v.get<std::int64_t>() != 0;
    case Metadata::value_t::number_unsigned: return v.get<std::uint64_t>() != 0;
    case Metadata::value_t::number_float: return v.get<double>() != 0.0;  // NaN counts as present
    case Metadata::value_t::string: return !v.get_ref<const std::string&>().empty();
    case Metadata::value_t::array:
    case Metadata::value_t::object: return !v.empty();
    default: return true;
  }
}

const Metadata* lookup(const Metadata& m, const char* key) {
  if (!m.is_object()) return nullptr;
  const auto it = m.find(key);
  return it == m.end() ? nullptr : &*it;
}

std::string source_format(const Metadata* m) {
  const Metadata* f = m ? lookup(*m, "_source_format") : nullptr;
  return f ? metadata_text(*f) : "unknown";
}

// One wavelength as float() gives it; what does not convert is shown as its
// text rather than stopping the report.
std::string wavelength_item(const Metadata& v) {
  double d = 0;
  switch (v.type()) {
    case Metadata::value_t::string:
      if (text::parse_float(v.get_ref<const std::string&>(), d)) return text::float_repr(d);
      return metadata_repr(v);
    case Metadata::value_t::boolean: return text::float_repr(v.get<bool>() ? 1.0 : 0.0);
    case Metadata::value_t::number_integer: return text::float_repr(static_cast<double>(v.get<std::int64_t>()));
    case Metadata::value_t::number_unsigned: return text::float_repr(static_cast<double>(v.get<std::uint64_t>()));
    case Metadata::value_t::number_float: return text::float_repr(v.get<double>());
    default: return metadata_repr(v);
  }
}

std::string wavelength_line(const Metadata& wl) {
  std::string s = "    Wavelengths  : [";
  // A single value (not a list) is one wavelength, not a sequence of characters.
  const std::size_t total = wl.is_array() ? wl.size() : 1;
  const std::size_t shown = std::min<std::size_t>(total, 5);
  for (std::size_t i = 0; i < shown; ++i) {
    if (i) s += ", ";
    s += wavelength_item(wl.is_array() ? wl[i] : wl);
  }
  s += "]";
  if (total > 5) s += " ... (" + std::to_string(total) + " total)";
  return s;
}

// format(z, ".4g") as Python writes it: "1+2j"; a NaN imaginary part takes "+".
std::string complex_g4(double re, double im) {
  std::string out = text::format_g4(re);
  out += (!std::isnan(im) && std::signbit(im)) ? '-' : '+';
  out += text::format_g4(std::fabs(im));
  out += 'j';
  return out;
}

// tolist() then repr: floats widened to double.
template <class T>
std::string value_repr(const T& v) {
  if constexpr (std::is_same_v<T, bool>)
    return v ? "True" : "False";
  else if constexpr (std::is_integral_v<T>)
    return std::to_string(v);
  else if constexpr (std::is_floating_point_v<T>)
    return text::float_repr(static_cast<double>(v));
  else {
    return text::complex_repr(v.real(), v.imag());
  }
}

// str() of the NumPy scalar: float32 keeps its own shortest digits.
template <class T>
std::string value_str(const T& v) {
  if constexpr (std::is_same_v<T, float>)
    return text::float32_str(v);
  else if constexpr (std::is_same_v<T, std::complex<float>>)
    return text::complex_repr(v.real(), v.imag(), [](double x) { return text::float32_str(static_cast<float>(x)); });
  else
    return value_repr(v);
}

template <class T>
bool is_nan_value(const T& v) {
  if constexpr (is_cplx<T>)
    return std::isnan(v.real()) || std::isnan(v.imag());
  else if constexpr (std::is_floating_point_v<T>)
    return std::isnan(v);
  else
    return false;
}

template <class T>
bool is_zero(const T& v) {
  if constexpr (std::is_same_v<T, bool>)
    return !v;
  else
    return v == T(0);
}

// format(x, ".4g"); a complex value as Python formats one: "1+2j".
template <class T>
std::string g4(const T& v) {
  if constexpr (is_cplx<T>) {
    return complex_g4(v.real(), v.imag());
  } else {
    return text::format_g4(static_cast<double>(v));
  }
}

// The value of a declared fill value as users write it: -9999, 0.5, nan.
std::string fill_text(const Metadata& v) {
  if (v.is_number_integer()) return metadata_repr(v);
  const double d = v.get<double>();
  if (std::isfinite(d) && d == std::trunc(d) && std::fabs(d) < 1e15)
    return std::to_string(static_cast<std::int64_t>(d));
  return text::float_repr(d);
}

// The value of a declared fill value in the array's type, when the type can
// hold it exactly (a fill value of -9999 cannot occur in a uint16 cube).
template <class T>
std::optional<T> fill_in_type(double fill) {
  if constexpr (std::is_same_v<T, bool> || is_cplx<T>) {
    return std::nullopt;
  } else if constexpr (std::is_floating_point_v<T>) {
    const T v = static_cast<T>(fill);
    if (std::isnan(fill) || static_cast<double>(v) == fill) return v;
    return std::nullopt;
  } else {
    if (!(fill >= static_cast<double>(std::numeric_limits<T>::lowest()) &&
          fill <= static_cast<double>(std::numeric_limits<T>::max())))
      return std::nullopt;
    const T v = static_cast<T>(fill);
    if (static_cast<double>(v) != fill) return std::nullopt;
    return v;
  }
}

template <class T>
std::optional<T> excluded_value(const Metadata* fill) {
  if (fill && fill->is_number()) return fill_in_type<T>(fill->get<double>());
  return std::nullopt;
}

// "    Value range  : [min, max]" over the numbers present: NaNs and the
// declared fill value are left out, the NaNs counted on the same line and
// the fill value on a line of its own.
template <class T>
std::vector<std::string> range_lines(const MinMax<T>& r, const Metadata* fill) {
  const std::string head = "    Value range  : ";
  std::vector<std::string> lines;
  if (r.count == 0) {
    lines.push_back(head + "[empty]");
  } else {
    std::string range = r.have ? "[" + g4(r.min) + ", " + g4(r.max) + "]" : "[nan, nan]";
    if (r.nan_count) range += " (" + text::format_grouped(r.nan_count, 0) + " NaN)";
    lines.push_back(head + range);
  }
  if (fill && fill->is_number())
    lines.push_back("    Fill value   : " + fill_text(*fill) + " (" + text::format_grouped(r.excluded, 0) + " px)");
  return lines;
}

}  // namespace

struct RangeTally::Impl {
  virtual ~Impl() = default;
  virtual void add(const NDArray& piece) = 0;
};

namespace {

template <class T>
struct TypedTally final : RangeTally::Impl {
  std::optional<T> excluded;
  std::int64_t elements = 0;  // of the whole cube
  std::mutex mu;
  MinMax<T> total;

  void add(const NDArray& piece) override {
    const MinMax<T> part = min_max<T>(piece, 1, excluded ? &*excluded : nullptr);
    std::lock_guard lock(mu);
    merge_min_max(total, part);
  }
  // The whole cube's statistics, once pieces holding as many elements as
  // the cube were added (each piece comes once).
  std::optional<MinMax<T>> result() {
    std::lock_guard lock(mu);
    if (total.count != elements) return std::nullopt;
    return total;
  }
};

std::vector<std::string> value_range_lines(const NDArray& data, const Metadata* fill, int threads,
                                           RangeTally::Impl* tally) {
  return visit_dtype(data.dtype(), [&](auto tag) -> std::vector<std::string> {
    using T = decltype(tag);
    if (auto* typed = dynamic_cast<TypedTally<T>*>(tally))
      if (const auto r = typed->result()) return range_lines(*r, fill);
    const std::optional<T> excluded = excluded_value<T>(fill);
    return range_lines(
        conversion::min_max<T>(data, conversion::auto_threads(data.nbytes(), threads), excluded ? &*excluded : nullptr),
        fill);
  });
}

void print_classes(const core::Job& job, const NDArray& gt) {
  visit_dtype(gt.dtype(), [&](auto tag) {
    using T = decltype(tag);
    conversion::Counts<T> counts;
    try {
      counts = conversion::value_counts<T>(gt, conversion::auto_threads(gt.nbytes(), job.threads()));
    } catch (const std::bad_alloc&) {
      // The files are written already; the report says what it could not do.
      job.line("    Classes      : not counted (out of memory)");
      return;
    }
    const auto& classes = counts.classes;
    bool has_bg = false;
    std::size_t fg = 0;
    for (const auto& c : classes) {
      if (is_zero(c.value))
        has_bg = true;
      else
        ++fg;
    }
    if (has_bg)
      job.line("    Classes      : " + std::to_string(fg) + " (+ background 0)");
    else
      job.line("    Classes      : " + std::to_string(classes.size()));

    std::string labels = "    Class labels : [";
    for (std::size_t i = 0; i < classes.size(); ++i) {
      if (i) labels += ", ";
      labels += value_repr(classes[i].value);
    }
    job.line(labels + "]");

    job.line("\n    " + job.palette().gray + "Per-class pixel counts:" + job.palette().reset);
    for (const auto& c : classes) {
      const std::string label = is_zero(c.value) ? "background" : "class " + value_str(c.value);
      // NaN never equals itself, yet NaN labels are pixels: count them.
      const std::uint64_t count = is_nan_value(c.value) ? counts.nan_elements : c.count;
      job.line("      " + text::pad_right(label, 16) + ": " + text::format_grouped(count, 8) + " px");
    }
  });
}

}  // namespace

RangeTally::RangeTally(DType dtype, std::int64_t elements, const Metadata& meta) {
  const Metadata* fill = lookup(meta, "fill_value");
  visit_dtype(dtype, [&](auto tag) {
    using T = decltype(tag);
    auto typed = std::make_unique<TypedTally<T>>();
    typed->excluded = excluded_value<T>(fill);
    typed->elements = elements;
    impl_ = std::move(typed);
  });
}

RangeTally::~RangeTally() = default;

void RangeTally::add(const NDArray& piece) { impl_->add(piece); }

void print_summary(const core::Job& job, const NDArray& data, const std::optional<NDArray>& gt, const Metadata& meta,
                   const std::optional<Metadata>& gt_meta, const std::string& out_dir, double elapsed,
                   const std::string& data_key, const std::string& gt_key, RangeTally* tally) {
  const std::string& B = job.palette().bold;
  const std::string& G = job.palette().green;
  const std::string& R = job.palette().reset;
  std::string rule;
  for (int i = 0; i < 60; ++i) rule += "\u2550";

  job.line("\n" + B + G + rule + R);
  job.line("  " + B + G + "Conversion complete!" + R);
  job.line(B + G + rule + R);

  job.line("\n  " + B + "Image" + R);
  job.line("    Format       : " + source_format(&meta));
  job.line("    Shape        : " + shape_str(data.shape()));
  // An image of fewer than two axes (a scalar dataset) has no spatial size.
  if (data.ndim() >= 2)
    job.line("    Spatial size : " + std::to_string(data.shape()[0]) + " x " + std::to_string(data.shape()[1]));
  if (data.ndim() == 3) job.line("    Bands        : " + std::to_string(data.shape()[2]));
  job.line("    Dtype        : " + std::string(dtype_name(data.dtype())));
  const Metadata* fill = lookup(meta, "fill_value");
  for (const std::string& line : value_range_lines(data, fill, job.threads(), tally ? tally->impl() : nullptr))
    job.line(line);
  const double size_mb = static_cast<double>(data.nbytes()) / 1048576.0;
  job.line("    Size in memory: " + text::format_fixed(size_mb, 1) + " MB");
  if (const Metadata* wl = lookup(meta, "wavelength"); wl && truthy(*wl)) job.line(wavelength_line(*wl));
  if (const Metadata* crs = lookup(meta, "crs"); crs && truthy(*crs))
    job.line("    CRS          : " + metadata_text(*crs));

  if (gt) {
    job.line("\n  " + B + "Ground Truth" + R);
    job.line("    Format       : " + source_format(gt_meta ? &*gt_meta : nullptr));
    job.line("    Shape        : " + shape_str(gt->shape()));
    job.line("    Dtype        : " + std::string(dtype_name(gt->dtype())));
    print_classes(job, *gt);
  }

  job.line("\n  " + B + "Output" + R);
  job.line("    Directory    : " + io::abspath(out_dir));
  job.line("    data.mat     : image data (key='" + data_key + "')");
  if (gt) job.line("    gt.mat       : ground truth (key='" + gt_key + "')");
  job.line("    metadata.json: all preserved metadata");
  job.line("\n    " + job.palette().gray + "Elapsed: " + text::format_fixed(elapsed, 2) + "s" + R);
  job.line(B + G + rule + R + "\n");
}

}  // namespace vexil::conversion

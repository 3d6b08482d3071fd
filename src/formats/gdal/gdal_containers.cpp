#include "formats/gdal/gdal_containers.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include <fmt/format.h>

#include "core/job.hpp"
#include "core/memory.hpp"
#include "formats/band_facts.hpp"
#include "formats/detect.hpp"
#include "io/paths.hpp"
#include "libs/gdal_util.hpp"
#include "text/text_format.hpp"
#include "text/utf8.hpp"
#include "vexil/errors.hpp"

#include <cpl_conv.h>
#include <cpl_string.h>
#include <ogr_srs_api.h>

namespace vexil::formats::gdal {

namespace {

// ---------------------------------------------------------------- handles

struct GroupHandle {
  GDALGroupH h = nullptr;
  explicit GroupHandle(GDALGroupH g = nullptr) : h(g) {}
  GroupHandle(GroupHandle&& o) noexcept : h(std::exchange(o.h, nullptr)) {}
  GroupHandle& operator=(GroupHandle&& o) noexcept {
    std::swap(h, o.h);
    return *this;
  }
  ~GroupHandle() {
    if (h) GDALGroupRelease(h);
  }
};

struct ArrayHandle {
  GDALMDArrayH h = nullptr;
  explicit ArrayHandle(GDALMDArrayH a = nullptr) : h(a) {}
  ArrayHandle(ArrayHandle&& o) noexcept : h(std::exchange(o.h, nullptr)) {}
  ArrayHandle& operator=(ArrayHandle&& o) noexcept {
    std::swap(h, o.h);
    return *this;
  }
  ~ArrayHandle() {
    if (h) GDALMDArrayRelease(h);
  }
};

struct Dim {
  std::string name;
  std::string type;      // GDAL's dimension type ("HORIZONTAL_Y" ...), may be empty
  std::string indexing;  // full name of its indexing variable, may be empty
  std::int64_t size = 0;
};

std::vector<Dim> dims_of(GDALMDArrayH a) {
  std::size_t n = 0;
  GDALDimensionH* dims = GDALMDArrayGetDimensions(a, &n);
  std::vector<Dim> out;
  for (std::size_t i = 0; i < n; ++i) {
    Dim d;
    const char* name = GDALDimensionGetName(dims[i]);
    const char* type = GDALDimensionGetType(dims[i]);
    d.name = name ? name : "";
    d.type = type ? type : "";
    d.size = static_cast<std::int64_t>(GDALDimensionGetSize(dims[i]));
    if (GDALMDArrayH iv = GDALDimensionGetIndexingVariable(dims[i])) {
      const char* full = GDALMDArrayGetFullName(iv);
      d.indexing = full ? full : "";
      GDALMDArrayRelease(iv);
    }
    out.push_back(std::move(d));
  }
  GDALReleaseDimensions(dims, n);
  return out;
}

std::optional<libs::gdal::BandType> numeric_type(GDALMDArrayH a) {
  GDALExtendedDataTypeH t = GDALMDArrayGetDataType(a);
  std::optional<libs::gdal::BandType> out;
  if (GDALExtendedDataTypeGetClass(t) == GEDTC_NUMERIC)
    out = libs::gdal::type_of(GDALExtendedDataTypeGetNumericDataType(t));
  GDALExtendedDataTypeRelease(t);
  return out;
}

// ---------------------------------------------------------------- attributes

bool integral_type(GDALDataType t) {
  return t == GDT_Byte || t == GDT_UInt16 || t == GDT_Int16 || t == GDT_UInt32 || t == GDT_Int32 || t == GDT_UInt64 ||
         t == GDT_Int64;
}

Metadata number_value(double v, bool integral) {
  if (integral && std::isfinite(v) && std::trunc(v) == v && std::fabs(v) < 9.2e18)
    return Metadata(static_cast<std::int64_t>(v));
  return Metadata(v);
}

Metadata attribute_value(GDALAttributeH attr) {
  GDALExtendedDataTypeH t = GDALAttributeGetDataType(attr);
  const GDALExtendedDataTypeClass cls = GDALExtendedDataTypeGetClass(t);
  const GDALDataType nt = GDALExtendedDataTypeGetNumericDataType(t);
  GDALExtendedDataTypeRelease(t);
  const auto count = GDALAttributeGetTotalElementsCount(attr);
  if (cls == GEDTC_STRING) {
    char** items = GDALAttributeReadAsStringArray(attr);
    Metadata out = Metadata::array();
    for (char** it = items; it && *it; ++it) out.push_back(text::utf8_or_latin1(*it));
    CSLDestroy(items);
    if (out.size() == 1) return out[0];
    return out;
  }
  if (cls == GEDTC_NUMERIC) {
    std::size_t n = 0;
    const double* v = GDALAttributeReadAsDoubleArray(attr, &n);
    Metadata out = Metadata::array();
    for (std::size_t i = 0; v && i < n; ++i) out.push_back(number_value(v[i], integral_type(nt)));
    CPLFree(const_cast<double*>(v));
    if (count == 1 && out.size() == 1) return out[0];
    return out;
  }
  return "(compound attribute)";
}

template <class Getter>
Metadata attributes(Getter&& get) {
  std::size_t n = 0;
  GDALAttributeH* attrs = get(&n);
  Metadata out = Metadata::object();
  for (std::size_t i = 0; attrs && i < n; ++i) {
    const char* name = GDALAttributeGetName(attrs[i]);
    out[text::utf8_or_latin1(name ? name : "")] = attribute_value(attrs[i]);
  }
  if (attrs) GDALReleaseAttributes(attrs, n);
  return out;
}

Metadata array_attributes(GDALMDArrayH a) {
  return attributes([&](std::size_t* n) { return GDALMDArrayGetAttributes(a, n, nullptr); });
}

Metadata group_attributes(GDALGroupH g) {
  return attributes([&](std::size_t* n) { return GDALGroupGetAttributes(g, n, nullptr); });
}

// ---------------------------------------------------------------- the file's variables

struct Variable {
  std::string name;       // without the leading slash, as users name it
  std::string full_name;  // GDAL's
  Shape shape;
  bool numeric = false;
};

void collect(GDALGroupH g, std::vector<Variable>& out, int depth) {
  char** names = GDALGroupGetMDArrayNames(g, nullptr);
  for (char** it = names; it && *it; ++it) {
    ArrayHandle a(GDALGroupOpenMDArray(g, *it, nullptr));
    if (!a.h) continue;
    Variable v;
    const char* full = GDALMDArrayGetFullName(a.h);
    v.full_name = full ? full : *it;
    v.name = v.full_name.starts_with('/') ? v.full_name.substr(1) : v.full_name;
    for (const Dim& d : dims_of(a.h)) v.shape.push_back(d.size);
    v.numeric = numeric_type(a.h).has_value();
    out.push_back(std::move(v));
  }
  CSLDestroy(names);
  if (depth > 32) return;
  char** groups = GDALGroupGetGroupNames(g, nullptr);
  for (char** it = groups; it && *it; ++it) {
    GroupHandle sub(GDALGroupOpenGroup(g, *it, nullptr));
    if (sub.h) collect(sub.h, out, depth + 1);
  }
  CSLDestroy(groups);
}

std::int64_t elements(const Shape& s) {
  std::int64_t n = 1;
  for (auto e : s)
    if (__builtin_mul_overflow(n, e, &n)) return INT64_MAX;
  return n;
}

// ---------------------------------------------------------------- axes

bool word_in(std::string_view name, std::initializer_list<std::string_view> words) {
  const std::string n = text::lower(name);
  for (std::string_view w : words)
    if (n == w) return true;
  return false;
}

bool band_name(std::string_view name) {
  const std::string n = text::lower(name);
  for (std::string_view w :
       {"band", "bands", "wavelength", "wavelengths", "spectral", "spectrum", "channel", "channels", "wl", "lambda"})
    if (n == w || n.starts_with(std::string(w) + "_") || n.ends_with("_" + std::string(w)) || n == "n" + std::string(w))
      return true;
  return false;
}

bool row_name(const Dim& d) {
  return d.type == "HORIZONTAL_Y" ||
         word_in(d.name, {"y", "lat", "latitude", "row", "rows", "line", "lines", "downtrack", "northing"});
}

bool col_name(const Dim& d) {
  return d.type == "HORIZONTAL_X" || word_in(d.name, {"x", "lon", "longitude", "col", "cols", "column", "columns",
                                                      "sample", "samples", "crosstrack", "easting"});
}

struct Axes {
  std::vector<int> perm;  // delivered axis i is stored axis perm[i]
  std::string stored;     // letters of the stored order, "bhw"
  std::string source;
  bool guessed_move = false;
};

std::string stored_letters(const std::vector<int>& perm) {
  std::string s(perm.size(), '?');
  const char letters[3] = {'h', 'w', 'b'};
  for (std::size_t i = 0; i < perm.size() && i < 3; ++i) s[static_cast<std::size_t>(perm[i])] = letters[i];
  return s;
}

Axes decide_axes(const std::vector<Dim>& dims, Layout requested, const std::string& name, const Shape& shape) {
  Axes a;
  if (dims.size() != 3) {
    if (requested != Layout::Auto)
      throw UsageError(fmt::format("argument --layout: {} does not fit '{}' of shape {}: it needs three axes",
                                   layout_name(requested), name, shape_str(shape)));
    for (int i = 0; i < static_cast<int>(dims.size()); ++i) a.perm.push_back(i);
    return a;
  }
  if (requested != Layout::Auto) {
    a.perm = requested == Layout::BHW   ? std::vector<int>{1, 2, 0}
             : requested == Layout::HBW ? std::vector<int>{0, 2, 1}
                                        : std::vector<int>{0, 1, 2};
    a.source = "--layout";
  } else {
    int band = -1, bands_named = 0;
    for (int i = 0; i < 3; ++i) {
      const Dim& d = dims[static_cast<std::size_t>(i)];
      if (band_name(d.name) || (!d.indexing.empty() && band_name(io::basename(d.indexing)))) {
        band = i;
        ++bands_named;
      }
    }
    int row = -1, col = -1;
    for (int i = 0; i < 3; ++i) {
      if (i == band) continue;
      if (row < 0 && row_name(dims[static_cast<std::size_t>(i)]))
        row = i;
      else if (col < 0 && col_name(dims[static_cast<std::size_t>(i)]))
        col = i;
    }
    if (bands_named == 1) {
      std::vector<int> rest;
      for (int i = 0; i < 3; ++i)
        if (i != band) rest.push_back(i);
      if (row == rest[1] || col == rest[0]) std::swap(rest[0], rest[1]);
      a.perm = {rest[0], rest[1], band};
      a.source = "dimension names";
    } else if (row >= 0 && col >= 0) {
      a.perm = {row, col, 3 - row - col};
      a.source = "dimension names";
    } else {
      // Nothing in the file says: the fewest along the first axis means bands first.
      const bool bands_first = shape[0] < shape[1] && shape[0] < shape[2];
      a.perm = bands_first ? std::vector<int>{1, 2, 0} : std::vector<int>{0, 1, 2};
      a.source = "size rule";
      a.guessed_move = bands_first;
    }
  }
  a.stored = stored_letters(a.perm);
  return a;
}

std::string transposed_text(const std::string& stored) {
  std::string from;
  for (char c : stored) from += c == 'b' ? 'C' : c == 'h' ? 'H' : 'W';
  return from + " \u2192 HWC";
}

// ---------------------------------------------------------------- reading

// One variable of an open file, shared by the arrays that read from it.
struct OpenFile {
  libs::gdal::Dataset ds;
  std::mutex mu;  // GDAL handles serve one thread at a time
};

// Reads variables (one, or a stack of 2-D bands) of the file by windows.
class VariableSource final : public PixelSource {
 public:
  VariableSource(std::string path, std::shared_ptr<OpenFile> file, std::vector<std::string> arrays,
                 std::vector<int> perm, bool flip, std::int64_t height, libs::gdal::BandType type)
      : path_(std::move(path)),
        file_(std::move(file)),
        arrays_(std::move(arrays)),
        perm_(std::move(perm)),
        flip_(flip),
        height_(height),
        type_(type) {}

  NDArray read(std::int64_t y0, std::int64_t y1, std::int64_t x0, std::int64_t x1,
               const ReadControl& control) const override {
    std::lock_guard lock(file_->mu);
    libs::gdal::ErrorCapture errors;
    GroupHandle root(GDALDatasetGetRootGroup(libs::gdal::handle(file_->ds)));
    const std::int64_t h = y1 - y0, w = x1 - x0;
    const std::size_t item = itemsize(type_.dtype);
    GDALExtendedDataTypeH buffer_type = GDALExtendedDataTypeCreate(type_.buffer_type);
    std::unique_ptr<void, void (*)(void*)> release(
        buffer_type, [](void* t) { GDALExtendedDataTypeRelease(static_cast<GDALExtendedDataTypeH>(t)); });

    if (arrays_.size() > 1) {
      // A stack of 2-D bands: one plane per band.
      const std::int64_t bands = static_cast<std::int64_t>(arrays_.size());
      NDArray planes = NDArray::allocate(type_.dtype, {bands, h, w});
      const std::uint64_t total = planes.nbytes();
      for (std::int64_t b = 0; b < bands; ++b) {
        check_cancel(control);
        ArrayHandle a = open(root.h, arrays_[static_cast<std::size_t>(b)]);
        read_window(a.h, {y0, x0}, {h, w}, {0, 1}, planes.mutable_data() + b * h * w * static_cast<std::int64_t>(item),
                    buffer_type, errors, control, total, static_cast<std::uint64_t>(b) * h * w * item);
      }
      if (control.progress) control.progress(total, total);
      return planes.transpose({1, 2, 0});
    }

    ArrayHandle a = open(root.h, arrays_[0]);
    const std::size_t nd = perm_.size();
    // The buffer keeps the stored axis order; the result is a view in (h, w, b).
    Shape counts(nd), starts(nd);
    for (std::size_t i = 0; i < nd; ++i) {
      const int s = perm_[i];
      starts[static_cast<std::size_t>(s)] = i == 0 ? y0 : i == 1 ? x0 : 0;
      counts[static_cast<std::size_t>(s)] = i == 0 ? h : i == 1 ? w : full_extent(a.h, s);
    }
    NDArray stored = NDArray::allocate(type_.dtype, counts);
    if (stored.size() > 0)
      read_window(a.h, starts, counts, perm_, stored.mutable_data(), buffer_type, errors, control, stored.nbytes(), 0);
    if (control.progress) control.progress(stored.nbytes(), stored.nbytes());
    std::vector<int> to_hwb(perm_.begin(), perm_.end());
    return stored.transpose(to_hwb);
  }

 private:
  static void check_cancel(const ReadControl& control) {
    if (control.cancel && control.cancel->load(std::memory_order_relaxed)) throw CancelledError();
  }

  ArrayHandle open(GDALGroupH root, const std::string& full_name) const {
    ArrayHandle a(GDALGroupOpenMDArrayFromFullname(root, full_name.c_str(), nullptr));
    if (!a.h) throw ReadError(fmt::format("{}: variable '{}' could not be opened", path_, full_name));
    return a;
  }

  static std::int64_t full_extent(GDALMDArrayH a, int axis) { return dims_of(a)[static_cast<std::size_t>(axis)].size; }

  // Reads the window (starts/counts in stored order, rows along stored axis
  // perm[0]) into a C-contiguous buffer, in slabs along the first stored
  // axis so progress and cancellation are seen.
  void read_window(GDALMDArrayH a, const Shape& starts, const Shape& counts, const std::vector<int>& perm,
                   std::byte* dst, GDALExtendedDataTypeH buffer_type, libs::gdal::ErrorCapture& errors,
                   const ReadControl& control, std::uint64_t total, std::uint64_t done_before) const {
    const std::size_t nd = counts.size();
    const std::size_t item = itemsize(type_.dtype);
    const int row_axis = perm[0];
    std::vector<GPtrDiff_t> stride(nd);
    GPtrDiff_t step_elems = 1;
    for (std::size_t i = nd; i-- > 0;) {
      stride[i] = step_elems;
      step_elems *= static_cast<GPtrDiff_t>(counts[i]);
    }
    const std::uint64_t slab_bytes = static_cast<std::uint64_t>(stride[0]) * item;
    const std::int64_t per_slab = std::max<std::int64_t>(
        1, static_cast<std::int64_t>((std::uint64_t{16} << 20) / std::max<std::uint64_t>(slab_bytes, 1)));
    for (std::int64_t first = 0; first < counts[0]; first += per_slab) {
      check_cancel(control);
      const std::int64_t n = std::min(per_slab, counts[0] - first);
      std::vector<GUInt64> start(nd);
      std::vector<size_t> count(nd);
      std::vector<GInt64> step(nd, 1);
      for (std::size_t i = 0; i < nd; ++i) {
        std::int64_t s = starts[i] + (i == 0 ? first : 0);
        const std::int64_t c = i == 0 ? n : counts[i];
        if (flip_ && static_cast<int>(i) == row_axis) {
          // Rows stored bottom-up: read them from the top of the picture down.
          s = height_ - 1 - s;
          step[i] = -1;
        }
        start[i] = static_cast<GUInt64>(s);
        count[i] = static_cast<size_t>(c);
      }
      std::byte* out = dst + first * stride[0] * static_cast<std::int64_t>(item);
      errors.clear();
      if (!GDALMDArrayRead(a, start.data(), count.data(), step.data(), stride.data(), buffer_type, out, nullptr, 0) ||
          errors.failed()) {
        std::string msg = errors.message("reading failed");
        if (msg.find(path_) == std::string::npos) msg = fmt::format("{}: {}", path_, msg);
        throw ReadError(fmt::format("Read or write failed. {}", msg));
      }
      if (control.progress) control.progress(done_before + static_cast<std::uint64_t>(first + n) * slab_bytes, total);
    }
  }

  std::string path_;
  std::shared_ptr<OpenFile> file_;
  std::vector<std::string> arrays_;
  std::vector<int> perm_;
  bool flip_;
  std::int64_t height_;
  libs::gdal::BandType type_;
};

std::optional<std::vector<double>> read_numbers(GDALGroupH root, const std::string& full_name) {
  ArrayHandle a(GDALGroupOpenMDArrayFromFullname(root, full_name.c_str(), nullptr));
  if (!a.h || !numeric_type(a.h)) return std::nullopt;
  const std::vector<Dim> d = dims_of(a.h);
  if (d.size() != 1 || d[0].size <= 0 || d[0].size > (1 << 20)) return std::nullopt;
  std::vector<double> v(static_cast<std::size_t>(d[0].size));
  GUInt64 start = 0;
  size_t count = v.size();
  GDALExtendedDataTypeH t = GDALExtendedDataTypeCreate(GDT_Float64);
  const bool ok =
      GDALMDArrayRead(a.h, &start, &count, nullptr, nullptr, t, v.data(), v.data(), v.size() * sizeof(double));
  GDALExtendedDataTypeRelease(t);
  if (!ok) return std::nullopt;
  return v;
}

std::optional<double> attr_number(const Metadata& attrs, const char* key) {
  const auto it = attrs.find(key);
  if (it == attrs.end()) return std::nullopt;
  if (it->is_number()) return it->get<double>();
  if (it->is_array() && it->size() == 1 && (*it)[0].is_number()) return (*it)[0].get<double>();
  return std::nullopt;
}

std::optional<std::string> attr_text(const Metadata& attrs, std::initializer_list<const char*> keys) {
  for (const char* k : keys) {
    const auto it = attrs.find(k);
    if (it != attrs.end() && it->is_string()) return it->get<std::string>();
  }
  return std::nullopt;
}

// Fill value and scale as the variable declares them (GDAL reads _FillValue,
// scale_factor and add_offset into these).
void value_facts(GDALMDArrayH a, const libs::gdal::BandType& type, BandFacts& f, Metadata& attrs) {
  int has = 0;
  const double nodata = GDALMDArrayGetNoDataValueAsDouble(a, &has);
  const bool integral = type.dtype != DType::Float32 && type.dtype != DType::Float64 &&
                        type.dtype != DType::Complex64 && type.dtype != DType::Complex128;
  if (has) {
    f.fill_value = number_value(nodata, integral);
    if (!attrs.contains("_FillValue")) attrs["_FillValue"] = *f.fill_value;
  }
  int has_scale = 0, has_offset = 0;
  const double scale = GDALMDArrayGetScale(a, &has_scale);
  const double offset = GDALMDArrayGetOffset(a, &has_offset);
  if (has_scale && !attrs.contains("scale_factor")) attrs["scale_factor"] = scale;
  if (has_offset && !attrs.contains("add_offset")) attrs["add_offset"] = offset;
  if (has_scale || has_offset)
    f.scale = Metadata{{"gain", has_scale ? scale : 1.0},
                       {"offset", has_offset ? offset : 0.0},
                       {"apply", "value = gain * DN + offset"}};
}

std::string list_repr(const std::vector<Variable>& vars) {
  std::vector<std::string> names;
  for (const auto& v : vars) names.push_back(v.name);
  return text::str_list_repr(names);
}

// GDAL's netCDF layout of a multi-band raster: 2-D variables Band1 … BandN
// of one shape and type, marked as GDAL's by the file or the bands.
std::vector<const Variable*> gdal_band_stack(const std::vector<Variable>& vars, GDALGroupH root,
                                             const Metadata& file_attrs) {
  std::vector<const Variable*> by_number;
  for (const Variable& v : vars) {
    // "Band" and a number without leading zeros.
    if (!v.name.starts_with("Band") || v.name.size() < 5 || v.name.size() > 10 || v.name[4] == '0') continue;
    std::size_t k = 0;
    const auto [end, ec] = std::from_chars(v.name.data() + 4, v.name.data() + v.name.size(), k);
    if (ec != std::errc() || end != v.name.data() + v.name.size() || k > 100000) continue;
    if (by_number.size() < k) by_number.resize(k, nullptr);
    by_number[k - 1] = &v;
  }
  std::vector<const Variable*> stack;
  for (const Variable* v : by_number) {
    if (!v) break;
    if (!v->numeric || v->shape.size() != 2) break;
    if (!stack.empty() && v->shape != stack.front()->shape) break;
    stack.push_back(v);
  }
  if (stack.empty()) return stack;
  // Same element type for every band.
  std::optional<GDALDataType> type;
  for (const Variable* v : stack) {
    ArrayHandle a(GDALGroupOpenMDArrayFromFullname(root, v->full_name.c_str(), nullptr));
    const auto t = a.h ? numeric_type(a.h) : std::nullopt;
    if (!t || (type && *type != t->buffer_type)) return {};
    type = t->buffer_type;
  }
  const bool gdal_file = file_attrs.contains("GDAL");
  ArrayHandle first(GDALGroupOpenMDArrayFromFullname(root, stack.front()->full_name.c_str(), nullptr));
  const auto ln = first.h ? attr_text(array_attributes(first.h), {"long_name"}) : std::nullopt;
  if (!gdal_file && !(ln && ln->starts_with("GDAL Band Number"))) return {};
  return stack;
}

// GDAL writes netCDF rows bottom-up (y ascending) unless its y coordinate
// says otherwise.
bool rows_bottom_up(GDALGroupH root, GDALMDArrayH a, int row_axis) {
  const std::vector<Dim> d = dims_of(a);
  if (row_axis < 0 || static_cast<std::size_t>(row_axis) >= d.size()) return false;
  const Dim& y = d[static_cast<std::size_t>(row_axis)];
  if (y.indexing.empty()) return true;
  const auto v = read_numbers(root, y.indexing);
  if (!v || v->size() < 2) return true;
  return !(v->front() > v->back());
}

// A variable of fewer than two axes, read whole.
NDArray read_whole(GDALMDArrayH a, const libs::gdal::BandType& type, const Shape& shape, const std::string& path) {
  NDArray out = NDArray::allocate(type.dtype, shape);
  if (out.size() == 0) return out;
  std::vector<GUInt64> start(shape.size(), 0);
  std::vector<size_t> count;
  for (auto e : shape) count.push_back(static_cast<size_t>(e));
  GDALExtendedDataTypeH t = GDALExtendedDataTypeCreate(type.buffer_type);
  libs::gdal::ErrorCapture errors;
  const bool ok = GDALMDArrayRead(a, start.data(), count.data(), nullptr, nullptr, t, out.mutable_data(),
                                  out.mutable_data(), out.nbytes());
  GDALExtendedDataTypeRelease(t);
  if (!ok || errors.failed())
    throw ReadError(fmt::format("Read or write failed. {}: {}", path, errors.message("reading failed")));
  return out;
}

enum class Kind { Netcdf3, Hdf4 };

LoadResult load(const std::string& path_arg, const ReadOptions& options, Kind kind) {
  const core::Job& job = core::job_or_silent(options.job);
  const DatasetPath split = split_dataset_specifier(path_arg);
  const std::string& path = split.file;
  static const char* const kNetcdf[] = {"netCDF", nullptr};
  static const char* const kHdf4[] = {"HDF4", nullptr};

  auto file = std::make_shared<OpenFile>();
  try {
    file->ds = libs::gdal::open_multidim(path, kind == Kind::Netcdf3 ? kNetcdf : kHdf4);
  } catch (const ReadError&) {
    // GDAL 3.6 does not recognise the 64-bit-data flavour (CDF 5) by its
    // signature, though its netCDF library reads it when asked by name.
    if (kind != Kind::Netcdf3 || !container_kind(path)) throw;
    file->ds = libs::gdal::open_multidim("NETCDF:\"" + path + "\"", kNetcdf);
  }
  libs::gdal::ErrorCapture quiet;
  GroupHandle root(GDALDatasetGetRootGroup(libs::gdal::handle(file->ds)));
  if (!root.h) throw ReadError(fmt::format("{}: the file has no variables GDAL can read", path));

  std::vector<Variable> vars;
  collect(root.h, vars, 0);
  const Metadata file_attrs = group_attributes(root.h);
  Metadata available = Metadata::object();
  for (const auto& v : vars) available[v.name] = Metadata(v.shape);

  // Which variable(s).
  std::vector<const Variable*> chosen;
  bool stack = false;
  if (split.has_dataset && !split.dataset.empty()) {
    const std::string want = split.dataset.starts_with('/') ? split.dataset.substr(1) : split.dataset;
    for (const auto& v : vars)
      if (v.name == want) chosen.push_back(&v);
    if (chosen.empty())
      throw MissingKeyError("Dataset '" + split.dataset + "' not found in " + path +
                            ".\nAvailable datasets: " + list_repr(vars));
    if (!chosen[0]->numeric)
      throw BadInputError(fmt::format("'{}' in {} holds text or records, not numbers", split.dataset, path));
  } else {
    chosen = gdal_band_stack(vars, root.h, file_attrs);
    stack = !chosen.empty();
    if (chosen.empty()) {
      const Variable* best = nullptr;
      for (const auto& v : vars)
        if (v.numeric && (!best || elements(v.shape) > elements(best->shape))) best = &v;
      if (!best) throw BadInputError("No datasets found in " + path);
      chosen.push_back(best);
    }
  }

  ArrayHandle first(GDALGroupOpenMDArrayFromFullname(root.h, chosen[0]->full_name.c_str(), nullptr));
  if (!first.h) throw ReadError(fmt::format("{}: variable '{}' could not be opened", path, chosen[0]->name));
  const auto type = numeric_type(first.h);
  if (!type)
    throw BadInputError(fmt::format("'{}' in {} has a data type with no array counterpart", chosen[0]->name, path));
  const std::vector<Dim> dims = dims_of(first.h);
  const Shape stored_shape = chosen[0]->shape;

  LoadResult result;
  Metadata& meta = result.meta;
  meta["available_datasets"] = std::move(available);
  BandFacts facts;
  std::vector<int> perm;
  bool flip = false;
  std::int64_t height = 0;
  std::vector<std::string> arrays;
  Shape shape;

  if (stack) {
    if (options.layout != Layout::Auto)
      throw UsageError(fmt::format(
          "argument --layout: {} does not fit '{}' of shape {}: its bands are {} 2-D datasets, not one cube",
          layout_name(options.layout), chosen[0]->name, shape_str(stored_shape), chosen.size()));
    perm = {0, 1};
    height = stored_shape[0];
    flip = rows_bottom_up(root.h, first.h, 0);
    Metadata band_attrs = Metadata::array();
    std::vector<std::string> used;
    std::vector<double> wl, fw;
    for (const Variable* v : chosen) {
      ArrayHandle a(GDALGroupOpenMDArrayFromFullname(root.h, v->full_name.c_str(), nullptr));
      Metadata attrs = a.h ? array_attributes(a.h) : Metadata::object();
      if (auto w = attr_number(attrs, "wavelength")) wl.push_back(*w);
      if (auto f = attr_number(attrs, "fwhm")) fw.push_back(*f);
      if (a.h && v == chosen.front()) {
        BandFacts vf;
        value_facts(a.h, *type, vf, attrs);
        facts.fill_value = vf.fill_value;
        facts.scale = vf.scale;
      } else if (a.h) {
        BandFacts ignored;
        value_facts(a.h, *type, ignored, attrs);
      }
      band_attrs.push_back(std::move(attrs));
      used.push_back(v->name);
      arrays.push_back(v->full_name);
    }
    if (wl.size() == chosen.size()) facts.wavelength = wl;
    if (fw.size() == chosen.size()) facts.fwhm = fw;
    if (facts.wavelength)
      if (auto u = attr_text(band_attrs[0], {"wavelength_units", "wavelength units"})) facts.wavelength_units = *u;
    facts.source = "band attributes";
    meta["dataset_used"] = used.size() == 1 ? used.front() : used.front() + " \u2026 " + used.back();
    meta["bands_from"] = used;
    meta["band_attrs"] = std::move(band_attrs);
    if (!file_attrs.empty()) meta["file_attrs"] = file_attrs;
    if (flip) meta["rows_stored"] = "bottom-up";
    shape = {stored_shape[0], stored_shape[1], static_cast<std::int64_t>(chosen.size())};
  } else {
    const Variable& v = *chosen[0];
    Metadata ds_attrs = array_attributes(first.h);
    value_facts(first.h, *type, facts, ds_attrs);
    const Axes axes = decide_axes(dims, options.layout, v.name, stored_shape);
    perm = axes.perm;
    arrays.push_back(v.full_name);
    for (int p : perm) shape.push_back(stored_shape[static_cast<std::size_t>(p)]);
    if (shape.size() >= 2) {
      height = stored_shape[static_cast<std::size_t>(perm[0])];
      // GDAL-written files only: other writers' row order is kept as stored.
      if (file_attrs.contains("GDAL")) flip = rows_bottom_up(root.h, first.h, perm[0]);
    }
    meta["dataset_used"] = v.name;
    if (!ds_attrs.empty()) meta["dataset_attrs"] = ds_attrs;
    if (!file_attrs.empty()) meta["file_attrs"] = file_attrs;
    if (!axes.stored.empty()) {
      meta["stored_layout"] = axes.stored;
      meta["layout_source"] = axes.source;
    }
    bool identity = true;
    for (std::size_t i = 0; i < perm.size(); ++i) identity = identity && perm[i] == static_cast<int>(i);
    if (!identity) meta["_transposed"] = transposed_text(axes.stored);
    if (flip) meta["rows_stored"] = "bottom-up";
    if (axes.guessed_move) {
      const Palette& p = job.palette();
      job.line("  " + p.yellow + "\u26a0 " +
               fmt::format("Axis order of '{}' {} guessed from its sizes: bands first, turned to {}; "
                           "pass --layout hwb to keep it as stored",
                           v.name, shape_str(stored_shape), shape_str(shape)) +
               p.reset);
    }
    // Band centres: a variable along the band axis named like wavelengths,
    // else a list attribute of the variable.
    if (shape.size() == 3) {
      const Dim& bd = dims[static_cast<std::size_t>(perm[2])];
      if (!bd.indexing.empty() && band_name(io::basename(bd.indexing)) &&
          text::lower(io::basename(bd.indexing)).find("wav") != std::string::npos) {
        facts.wavelength = read_numbers(root.h, bd.indexing);
        ArrayHandle wv(GDALGroupOpenMDArrayFromFullname(root.h, bd.indexing.c_str(), nullptr));
        if (wv.h) {
          const char* unit = GDALMDArrayGetUnit(wv.h);
          if (unit && *unit)
            facts.wavelength_units = text::utf8_or_latin1(unit);
          else if (auto u = attr_text(array_attributes(wv.h), {"units"}))
            facts.wavelength_units = *u;
        }
        facts.source = "variable '" + io::basename(bd.indexing) + "'";
      }
      if (!facts.wavelength) {
        for (const char* k : {"wavelength", "wavelengths"}) {
          const auto it = ds_attrs.find(k);
          if (it == ds_attrs.end() || !it->is_array()) continue;
          std::vector<double> w;
          for (const auto& x : *it)
            if (x.is_number()) w.push_back(x.get<double>());
          if (w.size() == it->size()) facts.wavelength = w;
        }
      }
      if (facts.wavelength && static_cast<std::int64_t>(facts.wavelength->size()) != shape[2]) {
        facts.wavelength.reset();
        facts.wavelength_units.reset();
      }
    }
    if (facts.source.empty()) facts.source = "variable attributes";
  }

  // The variable's CRS, when GDAL knows one.
  if (OGRSpatialReferenceH srs = GDALMDArrayGetSpatialRef(first.h)) {
    if (auto crs = libs::gdal::crs_texts(srs)) {
      meta["crs"] = crs->to_string;
      meta["crs_wkt"] = crs->wkt;
    }
    OSRRelease(srs);
  }
  add_band_facts(meta, facts);
  meta["_source_format"] = kind == Kind::Netcdf3 ? "NetCDF-3" : "HDF4";
  meta["_source_file"] = io::abspath(path);

  // Sizes are checked before anything is read.
  std::uint64_t bytes = itemsize(type->dtype);
  for (auto e : shape)
    if (__builtin_mul_overflow(bytes, static_cast<std::uint64_t>(e), &bytes))
      throw BadInputError(fmt::format("'{}': variable of shape {} is too large", path, shape_str(shape)));
  core::check_fits_in_memory(bytes, fmt::format("'{}' ({} {})", path, shape_str(shape), dtype_name(type->dtype)));

  if (shape.size() >= 2) {
    auto source = std::make_shared<VariableSource>(path, file, std::move(arrays), perm, flip, height, *type);
    result.data = NDArray::deferred(type->dtype, shape, std::move(source));
  } else {
    // Fewer than two axes: nothing to window, read now.
    result.data = read_whole(first.h, *type, shape, path);
  }
  return result;
}

LoadResult labels_of(LoadResult full, const ReadOptions& options, const std::string& path) {
  LoadResult out;
  out.data =
      full.data.materialize(core::job_or_silent(options.job).read_control("reading " + io::basename(path))).squeeze();
  for (const char* k : {"dataset_used", "bands_from", "dataset_attrs", "stored_layout", "layout_source", "_transposed",
                        "rows_stored", "_source_format", "_source_file"})
    if (full.meta.contains(k)) out.meta[k] = full.meta[k];
  return out;
}

}  // namespace

LoadResult load_netcdf3(const std::string& path, const ReadOptions& options) {
  return load(path, options, Kind::Netcdf3);
}
LoadResult load_hdf4(const std::string& path, const ReadOptions& options) { return load(path, options, Kind::Hdf4); }
LoadResult load_netcdf3_labels(const std::string& path, const ReadOptions& options) {
  return labels_of(load(path, options, Kind::Netcdf3), options, split_dataset_specifier(path).file);
}
LoadResult load_hdf4_labels(const std::string& path, const ReadOptions& options) {
  return labels_of(load(path, options, Kind::Hdf4), options, split_dataset_specifier(path).file);
}

}  // namespace vexil::formats::gdal

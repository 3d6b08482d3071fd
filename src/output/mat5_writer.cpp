#include "output/mat5_writer.hpp"

#include <algorithm>
#include <bit>
#include <ctime>
#include <cstring>
#include <limits>
#include <vector>

#include <fmt/format.h>

#include "vexil/dtype.hpp"
#include "vexil/errors.hpp"
#include "text/text_format.hpp"
#include "output/atomic_file.hpp"
#include "output/column_gather.hpp"
#include "core/mat_constants.hpp"

namespace vexil::output {
namespace {

static_assert(std::endian::native == std::endian::little, "the writer emits native little-endian data");

using namespace core::mat;
constexpr std::uint64_t kU32Max = std::numeric_limits<std::uint32_t>::max();

struct MatType {
  std::uint32_t mx_class;
  std::uint32_t mi_type;
  std::uint32_t flags;
};

MatType mat_type(DType t) {
  switch (t) {
    case DType::Bool: return {mxUINT8, miUINT8, kFlagLogical};
    case DType::Int8: return {mxINT8, miINT8, 0};
    case DType::UInt8: return {mxUINT8, miUINT8, 0};
    case DType::Int16: return {mxINT16, miINT16, 0};
    case DType::UInt16: return {mxUINT16, miUINT16, 0};
    case DType::Int32: return {mxINT32, miINT32, 0};
    case DType::UInt32: return {mxUINT32, miUINT32, 0};
    case DType::Int64: return {mxINT64, miINT64, 0};
    case DType::UInt64: return {mxUINT64, miUINT64, 0};
    case DType::Float32: return {mxSINGLE, miSINGLE, 0};
    case DType::Float64: return {mxDOUBLE, miDOUBLE, 0};
    case DType::Complex64: return {mxSINGLE, miSINGLE, kFlagComplex};
    case DType::Complex128: break;
  }
  return {mxDOUBLE, miDOUBLE, kFlagComplex};
}

// MATLAB arrays have at least two dimensions: a scalar is 1x1, a vector a row.
std::vector<std::int64_t> mat_dims(const Shape& shape) {
  if (shape.empty()) return {1, 1};
  if (shape.size() == 1)
    return shape[0] == 0 ? std::vector<std::int64_t>{0, 0} : std::vector<std::int64_t>{1, shape[0]};
  return shape;
}

std::uint64_t pad8(std::uint64_t n) { return (n + 7) / 8 * 8; }

// Size of a data element (tag included) holding `bytes` bytes.
std::uint64_t element_bytes(std::uint64_t bytes) { return bytes <= 4 ? 8 : 8 + pad8(bytes); }

// The name as MAT-file bytes (Latin-1, as the reference writer encodes it).
std::string name_bytes(std::string_view name) {
  if (name.empty()) throw BadInputError("a MAT-file variable name must not be empty");
  if (name.front() == '_')
    throw BadInputError(fmt::format("MAT-file variable name {} must not start with '_' (readers skip such variables)",
                                    text::str_repr(name)));
  std::string out;
  for (std::size_t i = 0; i < name.size(); ++i) {
    const auto b = static_cast<unsigned char>(name[i]);
    if (b < 0x80) {
      out.push_back(static_cast<char>(b));
    } else if ((b == 0xC2 || b == 0xC3) && i + 1 < name.size() &&
               (static_cast<unsigned char>(name[i + 1]) & 0xC0) == 0x80) {
      out.push_back(static_cast<char>(((b & 0x03) << 6) | (static_cast<unsigned char>(name[i + 1]) & 0x3F)));
      ++i;
    } else {
      throw BadInputError(fmt::format("MAT-file variable name {} is not Latin-1 text", text::str_repr(name)));
    }
  }
  return out;
}

std::uint64_t part_bytes(const NDArray& a) {
  const std::uint64_t item = is_complex(a.dtype()) ? a.itemsize() / 2 : a.itemsize();
  return static_cast<std::uint64_t>(a.size()) * item;
}

std::uint64_t matrix_bytes_for(const NDArray& a, std::uint64_t name_len) {
  const std::uint64_t dims = mat_dims(a.shape()).size();
  const std::uint64_t data = element_bytes(part_bytes(a)) * (is_complex(a.dtype()) ? 2 : 1);
  return 16 + (8 + pad8(4 * dims)) + element_bytes(name_len) + data;
}

void put_u32(std::string& s, std::uint32_t v) {
  char b[4];
  std::memcpy(b, &v, 4);
  s.append(b, 4);
}

void put_pad8(std::string& s) { s.append(pad8(s.size()) - s.size(), '\0'); }

// The miMATRIX element as a sequence of literal byte runs and column-major
// gathers, readable at any offset.
class MatrixSource final : public ByteSource {
 public:
  MatrixSource(const NDArray& a, const std::string& name, const StreamBands* stream = nullptr, ValueTap tap = {})
      : dtype_(a.dtype()) {
    const MatType mt = mat_type(a.dtype());
    const bool complex = is_complex(a.dtype());
    // A complex element's parts lie apart: no run of bytes holds whole values.
    if (!complex) tap_ = std::move(tap);
    const std::uint64_t bytes = part_bytes(a);

    std::string s;
    put_u32(s, miMATRIX);
    put_u32(s, static_cast<std::uint32_t>(matrix_bytes_for(a, name.size())));
    put_u32(s, miUINT32);
    put_u32(s, 8);
    put_u32(s, mt.mx_class | ((mt.flags | (complex ? kFlagComplex : 0)) << 8));
    put_u32(s, 0);
    const auto dims = mat_dims(a.shape());
    put_u32(s, miINT32);
    put_u32(s, static_cast<std::uint32_t>(4 * dims.size()));
    for (auto d : dims) put_u32(s, static_cast<std::uint32_t>(static_cast<std::int32_t>(d)));
    put_pad8(s);
    if (name.size() <= 4) {
      put_u32(s, static_cast<std::uint32_t>(name.size() << 16) | miINT8);
      s += name;
      s.append(4 - name.size(), '\0');
    } else {
      put_u32(s, miINT8);
      put_u32(s, static_cast<std::uint32_t>(name.size()));
      s += name;
      put_pad8(s);
    }
    for (int part = 0; part < (complex ? 2 : 1); ++part) {
      ColumnGather g(a, part, stream);
      if (bytes <= 4) {
        // Small-element form: count and type share the first word.
        put_u32(s, static_cast<std::uint32_t>(bytes << 16) | mt.mi_type);
        std::string small(bytes, '\0');
        g.read(0, bytes, reinterpret_cast<std::byte*>(small.data()));
        s += small;
        s.append(4 - bytes, '\0');
      } else {
        put_u32(s, mt.mi_type);
        put_u32(s, static_cast<std::uint32_t>(bytes));
        add_literal(std::move(s));
        s.clear();
        add_gather(std::move(g));
        s.append(pad8(bytes) - bytes, '\0');
      }
    }
    add_literal(std::move(s));
  }

  std::uint64_t size() const override { return total_; }

  // The elements whose last byte was consumed go to the tap. One cut by the
  // chunk's start begins in the bytes before it, which the caller keeps there.
  void consumed(std::uint64_t offset, std::size_t len, const std::byte* bytes) const override {
    if (!tap_) return;
    for (const auto& seg : segments_) {
      if (!seg.gather) continue;
      const std::uint64_t a = std::max(offset, seg.start), b = std::min(offset + len, seg.start + seg.len);
      if (a >= b) continue;
      const std::uint64_t item = gathers_[seg.index].itemsize();
      const std::uint64_t e0 = (a - seg.start) / item, e1 = (b - seg.start) / item;
      if (e0 >= e1) continue;
      const auto at = static_cast<std::int64_t>(seg.start + e0 * item) - static_cast<std::int64_t>(offset);
      tap_(NDArray::view(dtype_, {static_cast<std::int64_t>(e1 - e0)}, {static_cast<std::int64_t>(item)},
                         const_cast<std::byte*>(bytes + at), nullptr));
    }
  }

  void read(std::uint64_t offset, std::size_t len, std::byte* out) const override {
    for (const auto& seg : segments_) {
      if (len == 0) return;
      const std::uint64_t seg_end = seg.start + seg.len;
      if (offset >= seg_end) continue;
      const std::uint64_t in = offset - seg.start;
      const std::size_t k = static_cast<std::size_t>(std::min<std::uint64_t>(seg_end - offset, len));
      if (seg.gather)
        gathers_[seg.index].read(in, k, out);
      else
        std::memcpy(out, literals_[seg.index].data() + in, k);
      out += k;
      offset += k;
      len -= k;
    }
  }

 private:
  struct Segment {
    std::uint64_t start, len;
    bool gather;
    std::size_t index;
  };
  void add_literal(std::string s) {
    if (s.empty()) return;
    segments_.push_back({total_, s.size(), false, literals_.size()});
    total_ += s.size();
    literals_.push_back(std::move(s));
  }
  void add_gather(ColumnGather g) {
    segments_.push_back({total_, g.size_bytes(), true, gathers_.size()});
    total_ += g.size_bytes();
    gathers_.push_back(std::move(g));
  }

  std::vector<Segment> segments_;
  std::vector<std::string> literals_;
  std::vector<ColumnGather> gathers_;
  std::uint64_t total_ = 0;
  DType dtype_;
  ValueTap tap_;
};

std::string header_text() {
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  char when[64];
  std::strftime(when, sizeof when, "%a %b %e %H:%M:%S %Y", &tm);
  std::string h = std::string("MATLAB 5.0 MAT-file Platform: posix, Created on: ") + when;
  h.resize(116, '\0');
  h.append(8, '\0');    // no subsystem data
  h.push_back('\x00');  // version 0x0100, little-endian
  h.push_back('\x01');
  h += "IM";
  return h;
}

std::string size_text(std::uint64_t bytes) {
  return text::format_fixed(static_cast<double>(bytes) / (1024.0 * 1024.0 * 1024.0), 1) + " GiB";
}

}  // namespace

std::uint64_t mat5_matrix_bytes(const NDArray& array, std::string_view name) {
  return matrix_bytes_for(array, name_bytes(name).size());
}

void check_mat5_fits(const NDArray& array, std::string_view name) {
  const std::string nb = name_bytes(name);
  for (auto d : array.shape()) {
    if (d > std::numeric_limits<std::int32_t>::max())
      throw BadInputError(
          fmt::format("Array {} of shape {} has an extent of {}, more than a MAT-file Level 5 "
                      "dimension can hold (2147483647)",
                      text::str_repr(name), shape_str(array.shape()), d));
  }
  const std::uint64_t total = matrix_bytes_for(array, nb.size());
  if (total > kU32Max || part_bytes(array) > kU32Max)
    throw BadInputError(fmt::format("Array {} of {} ({} {}) is too large for a MAT-file Level 5 variable (limit 4 GiB)",
                                    text::str_repr(name), size_text(array.nbytes()), shape_str(array.shape()),
                                    dtype_name(array.dtype())));
}

std::uint64_t mat5_plane_bytes(const NDArray& array) {
  std::uint64_t n = is_complex(array.dtype()) ? array.itemsize() / 2 : array.itemsize();
  for (int k = 0; k < std::min(array.ndim(), 2); ++k) n *= static_cast<std::uint64_t>(array.shape()[k]);
  return n;
}

std::unique_ptr<ByteSource> mat5_element_source(const NDArray& array, std::string_view name, const StreamBands* stream,
                                                ValueTap tap) {
  check_mat5_fits(array, name);
  return std::make_unique<MatrixSource>(array, name_bytes(name), stream, std::move(tap));
}

void write_mat5(const std::string& path, std::string_view name, const NDArray& array, const Mat5Options& options) {
  AtomicFile file(path);
  write_mat5(file, name, array, options);
  file.commit();
}

void write_mat5(AtomicFile& file, std::string_view name, const NDArray& array, const Mat5Options& options) {
  const StreamBands stream{options.threads};
  const auto source = mat5_element_source(array, name, options.stream_bands ? &stream : nullptr, options.value_tap);
  const std::string header = header_text();
  file.write(header.data(), header.size());
  std::string tag;
  put_u32(tag, miCOMPRESSED);
  put_u32(tag, 0);  // patched once the compressed size is known
  file.write(tag.data(), tag.size());

  const std::uint64_t start = file.bytes_written();
  const DeflateOptions dopt{options.threads, options.block_size, options.method, options.level,
                            mat5_plane_bytes(array)};
  parallel_zlib(
      *source, [&](const std::uint8_t* p, std::size_t n) { file.write(p, n); }, dopt, options.progress);

  const std::uint64_t compressed = file.bytes_written() - start;
  if (compressed > kU32Max)
    throw BadInputError(fmt::format("Array {} does not fit a MAT-file Level 5 variable once compressed ({} > 4 GiB)",
                                    text::str_repr(name), size_text(compressed)));
  std::string count;
  put_u32(count, static_cast<std::uint32_t>(compressed));
  file.write_at(start - 4, count.data(), count.size());
}

}  // namespace vexil::output

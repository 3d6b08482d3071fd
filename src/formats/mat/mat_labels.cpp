// Ground-truth MAT-files through matio (Level 4, 5 and 7.3). The label map
// keeps the element type stored in the file:
// MATLAB stores integer-valued doubles compactly (a double class whose data
// element is miUINT8), and matio widens them back to the class type, so for
// Level 5 files the stored type is read from the element tags here.
#include <unistd.h>
#include <sys/stat.h>
#include <zlib.h>

#include <matio.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "core/memory.hpp"
#include "vexil/errors.hpp"
#include "formats/mat/mat_format.hpp"
#include "formats/mat/mat5_tags.hpp"

namespace vexil::formats::mat {
namespace {

// --- matio's log: kept quiet, its last error becomes part of ours --------

std::mutex g_log_mutex;
std::string g_last_log;

void capture_log(int level, char* message) {
  if (!(level & (MATIO_LOG_LEVEL_ERROR | MATIO_LOG_LEVEL_CRITICAL)) || !message) return;
  std::lock_guard<std::mutex> lock(g_log_mutex);
  g_last_log = message;
}

void init_log() {
  static std::once_flag once;
  std::call_once(once, [] { Mat_LogInitFunc("vexil", capture_log); });
  std::lock_guard<std::mutex> lock(g_log_mutex);
  g_last_log.clear();
}

std::string take_log() {
  std::lock_guard<std::mutex> lock(g_log_mutex);
  std::string s;
  s.swap(g_last_log);
  // matio's HDF5 messages span several lines; the first says what failed.
  if (auto nl = s.find('\n'); nl != std::string::npos) s.resize(nl);
  return s;
}

std::string with_reason(std::string msg) {
  std::string reason = take_log();
  if (!reason.empty()) msg += " (" + reason + ")";
  return msg;
}

// --- Level 5 element tags ----------------------------------------------

// The head of a miMATRIX element (flags, dimensions, name, first data tag)
// fits in far less than this unless the dimension list is absurd.
constexpr std::size_t kHeadBytes = 64 * 1024;

struct StoredVar {
  std::string name;
  std::uint32_t data_type = 0;       // tag of the real-part data element
  std::uint32_t data_nbytes = 0;     // its declared length
  std::uint64_t matrix_nbytes = 0;   // declared length of the miMATRIX payload
  std::uint64_t data_end = 0;        // where the data element ends, from the miMATRIX tag
  std::uint64_t count = 0;           // product of the dimensions (saturated)
  bool numeric = false;              // a numeric or logical class
  bool complex = false;              // an imaginary part follows the real one
};

std::size_t mat_type_size(std::uint32_t t) {
  switch (t) {
    case miINT8: case miUINT8: return 1;
    case miINT16: case miUINT16: return 2;
    case miINT32: case miUINT32: case miSINGLE: return 4;
    case miDOUBLE: case miINT64: case miUINT64: return 8;
    default: return 0;
  }
}

// The name, dimensions and stored data type of one miMATRIX element whose
// bytes (tag included) start at p; nullopt when the head is not all there.
std::optional<StoredVar> parse_matrix_head(const unsigned char* p, std::size_t n, bool swap) {
  SubElement m;
  if (!read_tag(p, n, swap, m) || m.type != miMATRIX) return std::nullopt;
  std::size_t pos = 8;
  SubElement flags, dims, name, data;
  if (!read_tag(p + pos, n - pos, swap, flags) || flags.total > n - pos || flags.nbytes < 4) return std::nullopt;
  pos += flags.total;
  if (pos > n || !read_tag(p + pos, n - pos, swap, dims) || dims.total > n - pos) return std::nullopt;
  pos += dims.total;
  if (pos > n || !read_tag(p + pos, n - pos, swap, name) || name.total > n - pos) return std::nullopt;
  pos += name.total;
  if (pos > n || !read_tag(p + pos, n - pos, swap, data)) return std::nullopt;
  StoredVar v;
  v.name.assign(reinterpret_cast<const char*>(name.data), name.nbytes);
  v.name.resize(std::strlen(v.name.c_str()));  // matio's names end at the first NUL
  v.data_type = data.type;
  v.data_nbytes = data.nbytes;
  v.matrix_nbytes = m.nbytes;
  v.data_end = pos + (data.data - (p + pos)) + static_cast<std::uint64_t>(data.nbytes);
  const std::uint32_t flag_word = load_u32(flags.data, swap);
  const std::uint32_t cls = flag_word & 0xFF;
  v.numeric = cls >= core::mat::mxDOUBLE && cls <= core::mat::mxUINT64;
  v.complex = (flag_word >> 8) & core::mat::kFlagComplex;
  unsigned __int128 count = 1;
  for (std::uint32_t i = 0; i + 4 <= dims.nbytes; i += 4) {
    const auto d = static_cast<std::int32_t>(load_u32(dims.data + i, swap));
    count *= static_cast<std::uint64_t>(d < 0 ? 0 : d);
    if (count > UINT64_MAX) count = UINT64_MAX;
  }
  v.count = static_cast<std::uint64_t>(count);
  return v;
}

// Inflates a miCOMPRESSED element. Keeps the first kHeadBytes of output;
// with `whole`, runs to the end of the stream and reports its total length
// (nullopt-like -1 when the stream is broken or ends early).
struct Inflated {
  std::vector<unsigned char> head;
  std::uint64_t total = 0;
  bool complete = false;
};

Inflated inflate_element(std::FILE* f, std::uint32_t nbytes, bool whole, bool swap) {
  Inflated r;
  z_stream zs{};
  if (inflateInit(&zs) != Z_OK) return r;
  std::vector<unsigned char> out(kHeadBytes), sink(whole ? 256 * 1024 : 0);
  std::vector<unsigned char> in(64 * 1024);
  std::size_t left = nbytes, produced = 0;
  int rc = Z_OK;
  while (left > 0 && rc == Z_OK) {
    const std::size_t chunk = std::min(left, in.size());
    if (std::fread(in.data(), 1, chunk, f) != chunk) break;
    left -= chunk;
    zs.next_in = in.data();
    zs.avail_in = static_cast<uInt>(chunk);
    while (zs.avail_in > 0 && rc == Z_OK) {
      if (produced < out.size()) {
        zs.next_out = out.data() + produced;
        zs.avail_out = static_cast<uInt>(out.size() - produced);
        rc = inflate(&zs, Z_NO_FLUSH);
        produced = out.size() - zs.avail_out;
      } else if (whole) {
        zs.next_out = sink.data();
        zs.avail_out = static_cast<uInt>(sink.size());
        rc = inflate(&zs, Z_NO_FLUSH);
      } else {
        break;
      }
    }
    if (!whole && (produced >= out.size() || parse_matrix_head(out.data(), produced, swap))) break;
  }
  r.complete = rc == Z_STREAM_END;
  r.total = zs.total_out;
  out.resize(produced);
  r.head = std::move(out);
  inflateEnd(&zs);
  return r;
}

struct Level5Var {
  StoredVar head;
  std::uint64_t offset = 0;  // of the top-level element's tag
  std::uint32_t nbytes = 0;  // of the top-level element's payload
  bool compressed = false;
};

struct Level5Scan {
  std::map<std::string, Level5Var> vars;  // first element of each name
  std::map<std::string, int> copies;      // elements carrying each name
  bool swap = false;
};

using FilePtr = std::unique_ptr<std::FILE, int (*)(std::FILE*)>;

// Every top-level element of a Level 5 file: its variable's name, stored
// data type and extent. Elements running past the end of the file mean a
// truncated file, refused before matio reads it.
Level5Scan scan_level5(const std::string& path) {
  Level5Scan scan;
  FilePtr f(std::fopen(path.c_str(), "rb"), std::fclose);
  if (!f) return scan;
  unsigned char header[128];
  if (std::fread(header, 1, 128, f.get()) != 128) return scan;
  const bool swap = scan.swap = header[126] == 'M' && header[127] == 'I';
  struct stat st;
  if (::fstat(fileno(f.get()), &st) != 0) return scan;
  const std::uint64_t size = static_cast<std::uint64_t>(st.st_size);
  std::uint64_t offset = 128;
  while (offset + 8 <= size) {
    unsigned char tag[8];
    if (std::fseek(f.get(), static_cast<long>(offset), SEEK_SET) != 0 || std::fread(tag, 1, 8, f.get()) != 8) break;
    const std::uint32_t type = load_u32(tag, swap);
    const std::uint32_t nbytes = load_u32(tag + 4, swap);
    if (type >> 16) break;  // not a top-level element: leave the rest to matio
    if (nbytes > size - offset - 8)
      throw BadInputError(fmt::format(
          "MAT-file {} is truncated or corrupt: the element at byte {} claims {} bytes, but only {} remain", path,
          offset, nbytes, size - offset - 8));
    if (type == miMATRIX || type == miCOMPRESSED) {
      check_element(f.get(), offset, nbytes, type == miCOMPRESSED, swap, path);
      if (std::fseek(f.get(), static_cast<long>(offset + 8), SEEK_SET) != 0) break;
    }
    std::optional<StoredVar> v;
    if (type == miMATRIX) {
      std::vector<unsigned char> head(8 + std::min<std::size_t>(nbytes, kHeadBytes));
      std::memcpy(head.data(), tag, 8);
      if (std::fread(head.data() + 8, 1, head.size() - 8, f.get()) == head.size() - 8) {
        v = parse_matrix_head(head.data(), head.size(), swap);
      }
    } else if (type == miCOMPRESSED) {
      Inflated z = inflate_element(f.get(), nbytes, false, swap);
      v = parse_matrix_head(z.head.data(), z.head.size(), swap);
      // Inflation stopped short of a whole matrix head: the stream is broken
      // or ends early, and matio would take whatever its buffer held as the
      // rest of the head (a name length of gigabytes, say).
      if (!v && z.head.size() < kHeadBytes && !z.complete)
        throw BadInputError(fmt::format("MAT-file {} is corrupt: the compressed element at byte {} is damaged", path,
                                     offset));
    }
    if (v) {
      scan.vars.emplace(v->name, Level5Var{*v, offset, nbytes, type == miCOMPRESSED});
      ++scan.copies[v->name];
    }
    offset += 8 + static_cast<std::uint64_t>(nbytes);
  }
  return scan;
}

// The chosen variable's data element must hold every element its
// dimensions promise, inside its own element; matio would otherwise hand
// back a buffer partly made of nothing it read.
void check_level5_extent(const std::string& path, const Level5Scan& scan, const std::string& name) {
  auto it = scan.vars.find(name);
  // matio listed it, the scan could not read its head: nothing below
  // could be checked.
  if (it == scan.vars.end())
    throw BadInputError(fmt::format("MAT-file {}: variable '{}' is truncated or corrupt (its head is malformed)", path,
                                 name));
  // matio reads the first readable copy, loadmat keeps the last, and the
  // checks below could only vouch for one of them.
  if (const int copies = scan.copies.at(name); copies > 1)
    throw BadInputError(fmt::format("MAT-file {}: variable '{}' is stored {} times; cannot tell which one to read", path,
                                 name, copies));
  const Level5Var& lv = it->second;
  StoredVar head = lv.head;
  const std::size_t tsize = mat_type_size(head.data_type);
  if (!head.numeric) return;
  auto corrupt = [&](const std::string& why) {
    return BadInputError(fmt::format("MAT-file {}: variable '{}' is truncated or corrupt ({})", path, name, why));
  };
  // Without a numeric storage type nothing bounds the dimensions, and matio
  // allocates what they claim before it reads a byte.
  if (tsize == 0) throw corrupt(fmt::format("its data element has type {}, not a numeric one", head.data_type));
  unsigned __int128 need = static_cast<unsigned __int128>(head.count) * tsize;
  if (need > head.data_nbytes)
    throw corrupt(fmt::format("its dimensions need {} bytes of data, its data element holds {}",
                              static_cast<std::uint64_t>(need > UINT64_MAX ? UINT64_MAX : need), head.data_nbytes));
  std::uint64_t matrix_total = 8 + head.matrix_nbytes;
  if (lv.compressed) {
    FilePtr f(std::fopen(path.c_str(), "rb"), std::fclose);
    if (!f || std::fseek(f.get(), static_cast<long>(lv.offset + 8), SEEK_SET) != 0)
      throw ReadError("Cannot reopen " + path);
    Inflated z = inflate_element(f.get(), lv.nbytes, true, scan.swap);
    if (!z.complete) throw corrupt("its compressed data is damaged or cut short");
    if (matrix_total > z.total) throw corrupt("its compressed data ends early");
  } else if (matrix_total > 8 + static_cast<std::uint64_t>(lv.nbytes)) {
    throw corrupt("its matrix element runs past its end");
  }
  if (head.data_end > matrix_total) throw corrupt("its data element runs past the matrix element");
  if (head.complex) {
    // matio reads as many imaginary values as real ones, whatever the
    // imaginary part's tag says.
    const std::uint64_t at = (head.data_end + 7) / 8 * 8;
    FilePtr f(std::fopen(path.c_str(), "rb"), std::fclose);
    unsigned char tag[8];
    SubElement im;
    if (!f || at + 8 > matrix_total || !read_matrix_bytes(f.get(), lv.offset, lv.nbytes, lv.compressed, at, tag, 8) ||
        !read_tag(tag, 8, scan.swap, im))
      throw corrupt("its imaginary part is missing");
    const std::size_t im_size = mat_type_size(im.type);
    if (im_size == 0) throw corrupt(fmt::format("its imaginary part has type {}, not a numeric one", im.type));
    const unsigned __int128 im_need = static_cast<unsigned __int128>(head.count) * im_size;
    if (im_need > im.nbytes)
      throw corrupt(fmt::format("its dimensions need {} bytes of imaginary data, its element holds {}",
                                static_cast<std::uint64_t>(im_need > UINT64_MAX ? UINT64_MAX : im_need), im.nbytes));
    if (at + (im.packed ? 4 : 8) + std::uint64_t{im.nbytes} > matrix_total)
      throw corrupt("its imaginary part runs past the matrix element");
  }
}

std::optional<DType> dtype_of_mat_type(std::uint32_t t) {
  switch (t) {
    case miINT8: return DType::Int8;
    case miUINT8: return DType::UInt8;
    case miINT16: return DType::Int16;
    case miUINT16: return DType::UInt16;
    case miINT32: return DType::Int32;
    case miUINT32: return DType::UInt32;
    case miSINGLE: return DType::Float32;
    case miDOUBLE: return DType::Float64;
    case miINT64: return DType::Int64;
    case miUINT64: return DType::UInt64;
    default: return std::nullopt;
  }
}

std::optional<DType> dtype_of_class(matio_classes c) {
  switch (c) {
    case MAT_C_DOUBLE: return DType::Float64;
    case MAT_C_SINGLE: return DType::Float32;
    case MAT_C_INT8: return DType::Int8;
    case MAT_C_UINT8: return DType::UInt8;
    case MAT_C_INT16: return DType::Int16;
    case MAT_C_UINT16: return DType::UInt16;
    case MAT_C_INT32: return DType::Int32;
    case MAT_C_UINT32: return DType::UInt32;
    case MAT_C_INT64: return DType::Int64;
    case MAT_C_UINT64: return DType::UInt64;
    default: return std::nullopt;
  }
}

std::optional<DType> dtype_of_data(matio_types t) { return dtype_of_mat_type(static_cast<std::uint32_t>(t)); }

// --- the variables -------------------------------------------------------

struct Candidate {
  std::string name;
  Shape shape;
  unsigned __int128 count = 0;
  std::size_t item = 8;  // bytes per element once read by matio
};

using MatPtr = std::unique_ptr<mat_t, int (*)(mat_t*)>;

// Copies `n` values of type From into a new Fortran-ordered array of type To,
// refusing any value that does not survive the trip (the stored type is the
// one the values came from, so a mismatch means the file is inconsistent).
template <class From, class To>
NDArray narrow_to(const From* src, std::int64_t n, const Shape& shape, const std::string& name,
                  const std::string& path) {
  NDArray out = NDArray::allocate(dtype_of_v<To>, shape);
  auto* dst = reinterpret_cast<To*>(out.mutable_data());
  for (std::int64_t i = 0; i < n; ++i) {
    const From v = src[i];
    bool exact;
    To t{};
    if constexpr (std::is_floating_point_v<From> && std::is_integral_v<To>) {
      // Range first: casting an out-of-range float to an integer is undefined.
      // The upper bound is exclusive: To's max may round up to 2^digits as From.
      exact = std::isfinite(v) && v >= static_cast<From>(std::numeric_limits<To>::lowest()) &&
              v < std::ldexp(From{1}, std::numeric_limits<To>::digits);
      if (exact) {
        t = static_cast<To>(v);
        exact = static_cast<From>(t) == v;
      }
    } else if constexpr (std::is_floating_point_v<To> && std::is_integral_v<From>) {
      // Compared in long double, which holds every 64-bit integer: the float
      // may have rounded past From's range.
      t = static_cast<To>(v);
      exact = static_cast<long double>(t) == static_cast<long double>(v);
    } else if constexpr (std::is_floating_point_v<To>) {
      t = static_cast<To>(v);
      exact = static_cast<From>(t) == v || (std::isnan(static_cast<double>(v)));
    } else {
      t = static_cast<To>(v);
      exact = std::cmp_equal(t, v);
    }
    if (!exact)
      throw BadInputError(fmt::format("MAT-file {}: variable '{}' holds a value that its stored type cannot hold", path,
                                   name));
    dst[i] = t;
  }
  return NDArray::view(dtype_of_v<To>, shape, NDArray::f_strides(shape, sizeof(To)), out.mutable_data(),
                       out.keep_alive());
}

NDArray convert_to_storage(const void* data, DType from, DType to, std::int64_t n, const Shape& shape,
                           const std::string& name, const std::string& path) {
  return visit_dtype(from, [&](auto f) -> NDArray {
    using From = decltype(f);
    if constexpr (std::is_same_v<From, bool> || !std::is_arithmetic_v<From>) {
      throw BadInputError("unexpected element type");
    } else {
      return visit_dtype(to, [&](auto t) -> NDArray {
        using To = decltype(t);
        if constexpr (std::is_same_v<To, bool> || !std::is_arithmetic_v<To>) {
          throw BadInputError("unexpected element type");
        } else {
          return narrow_to<From, To>(static_cast<const From*>(data), n, shape, name, path);
        }
      });
    }
  });
}

}  // namespace

// matio allocates a Level 4 variable's name and data as its header declares
// them; walk the headers first and refuse any that run past the file.
void check_level4_extents(const std::string& path, std::uint64_t size) {
  FilePtr f(std::fopen(path.c_str(), "rb"), std::fclose);
  if (!f) return;
  std::uint64_t offset = 0;
  bool first_swap = false;
  while (offset + 20 <= size) {
    unsigned char h[20];
    if (std::fseek(f.get(), static_cast<long>(offset), SEEK_SET) != 0 || std::fread(h, 1, 20, f.get()) != 20) return;
    // matio takes the type word in whichever order reads as a type, then the
    // byte order of the other four from its M digit (0 little, 1 big endian),
    // and keeps the order it settled on for the first variable.
    std::uint32_t v[5];
    v[0] = load_u32(h, false);
    if (v[0] > 4052) v[0] = load_u32(h, true);
    const bool swap = (v[0] / 1000 == 1) == (std::endian::native == std::endian::little);
    if (offset == 0) first_swap = swap;
    if (swap != first_swap)
      throw BadInputError(fmt::format("MAT-file {} is corrupt: the variable at byte {} changes byte order", path, offset));
    for (int i = 1; i < 5; ++i) v[i] = load_u32(h + 4 * i, swap);
    static constexpr std::uint64_t kSize[] = {8, 4, 4, 2, 2, 1};
    const std::uint32_t p = (v[0] / 10) % 10;
    const unsigned __int128 data =
        static_cast<unsigned __int128>(v[1]) * v[2] * (p < 6 ? kSize[p] : 8) * (v[3] ? 2 : 1);
    if (v[0] > 4052 || v[4] > size - offset - 20 || data > size - offset - 20 - v[4])
      throw BadInputError(fmt::format("MAT-file {} is truncated or corrupt: the variable at byte {} runs past the end",
                                   path, offset));
    offset += 20 + v[4] + static_cast<std::uint64_t>(data);
  }
}

NDArray read_label_variable(const std::string& path, std::string& mat_key) {
  init_log();
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) {
    if (errno == ENOENT) throw NotFoundError("[Errno 2] No such file or directory: '" + path + "'");
    throw ReadError(fmt::format("[Errno {}] {}: '{}'", errno, std::strerror(errno), path));
  }
  if (S_ISDIR(st.st_mode)) throw ReadError("[Errno 21] Is a directory: '" + path + "'");
  if (st.st_size == 0) throw BadInputError("MAT-file " + path + " is empty");

  {
    // Without a Level 5 / 7.3 header matio tries Level 4, reading the first
    // variable's header inside Mat_Open already.
    unsigned char head[128] = {};
    FilePtr f(std::fopen(path.c_str(), "rb"), std::fclose);
    // matio also wants version 0x0100 (Level 5) or 0x0200 (7.3), else it
    // reads the file as Level 4.
    const bool read = f && std::fread(head, 1, 128, f.get()) == 128;
    const bool little = head[126] == 'I' && head[127] == 'M', big = head[126] == 'M' && head[127] == 'I';
    const unsigned version = little ? head[124] | head[125] << 8 : head[125] | head[124] << 8;
    const bool level5 = read && (little || big) && (version == 0x0100 || version == 0x0200);
    if (!level5) check_level4_extents(path, static_cast<std::uint64_t>(st.st_size));
  }
  MatPtr mat(Mat_Open(path.c_str(), MAT_ACC_RDONLY), Mat_Close);
  if (!mat) {
    take_log();
    throw BadInputError(path + " is not a MAT-file (Level 4, 5 or 7.3)");
  }
  const mat_ft version = Mat_GetVersion(mat.get());

  Level5Scan level5;
  if (version == MAT_FT_MAT5) level5 = scan_level5(path);

  // Numeric and logical arrays only: text, cells, structs, sparse matrices
  // and objects are not label maps.
  std::vector<Candidate> candidates;
  for (;;) {
    matvar_t* info = Mat_VarReadNextInfo(mat.get());
    if (!info) break;
    std::unique_ptr<matvar_t, void (*)(matvar_t*)> guard(info, Mat_VarFree);
    if (!info->name || info->name[0] == '_') continue;
    // A logical flag counts only on a numeric class: on a sparse matrix it
    // would send matio to allocate whatever the index tags claim.
    if (!dtype_of_class(info->class_type)) continue;
    if (info->rank < 0 || (info->rank > 0 && !info->dims)) continue;
    Candidate c;
    c.name = info->name;
    if (auto t = dtype_of_class(info->class_type)) c.item = itemsize(*t) * (info->isComplex ? 2 : 1);
    c.count = 1;
    for (int i = 0; i < info->rank; ++i) {
      if (info->dims[i] > static_cast<std::size_t>(INT64_MAX))
        throw BadInputError(fmt::format("MAT-file {}: variable '{}' has an impossible dimension", path, c.name));
      c.shape.push_back(static_cast<std::int64_t>(info->dims[i]));
      c.count *= info->dims[i];
      if (c.count > (static_cast<unsigned __int128>(1) << 100)) c.count = static_cast<unsigned __int128>(1) << 100;
    }
    candidates.push_back(std::move(c));
  }
  const std::string scan_error = take_log();
  if (candidates.empty()) {
    std::string msg = "No numeric array variable found in " + path;
    if (!scan_error.empty()) msg += " (" + scan_error + ")";
    throw BadInputError(msg);
  }

  const Candidate* chosen = nullptr;
  if (candidates.size() == 1) chosen = &candidates[0];
  for (const char* preferred : {"gt", "groundtruth"}) {
    if (chosen) break;
    for (const auto& c : candidates)
      if (c.name == preferred) {
        chosen = &c;
        break;
      }
  }
  if (!chosen) {
    for (const auto& c : candidates)
      if (!chosen || c.count > chosen->count) chosen = &c;
  }

  // Refuse what cannot fit before matio tries to allocate it.
  {
    const unsigned __int128 bytes = chosen->count * chosen->item;
    if (bytes > core::physical_memory())
      throw BadInputError(fmt::format("MAT-file {}: variable '{}' of shape {} is larger than this machine's memory",
                                   path, chosen->name, shape_str(chosen->shape)));
  }

  // Each element takes at least 1/1032 of a byte of the file (deflate's best
  // ratio); more elements than that are a lie matio would allocate for.
  if (chosen->count > static_cast<unsigned __int128>(st.st_size) * kDeflateMaxRatio + 4096)
    throw BadInputError(fmt::format("MAT-file {}: variable '{}' of shape {} cannot be stored in a file of {} bytes",
                                 path, chosen->name, shape_str(chosen->shape), st.st_size));

  if (version == MAT_FT_MAT5) check_level5_extent(path, level5, chosen->name);

  if (Mat_Rewind(mat.get()) != 0) throw ReadError(with_reason("Cannot rewind MAT-file " + path));
  matvar_t* raw = Mat_VarRead(mat.get(), chosen->name.c_str());
  if (!raw) throw ReadError(with_reason(fmt::format("Cannot read variable '{}' from {}", chosen->name, path)));
  std::shared_ptr<void> keep(raw, [](void* p) { Mat_VarFree(static_cast<matvar_t*>(p)); });
  take_log();

  const std::string& name = chosen->name;
  auto corrupt = [&](const char* what) {
    return BadInputError(fmt::format("MAT-file {}: variable '{}' is corrupt ({})", path, name, what));
  };
  if (raw->rank != static_cast<int>(chosen->shape.size()) || (raw->rank > 0 && !raw->dims))
    throw corrupt("its dimensions changed between listing and reading");
  Shape shape;
  for (int i = 0; i < raw->rank; ++i) {
    if (raw->dims[i] != static_cast<std::size_t>(chosen->shape[i]))
      throw corrupt("its dimensions changed between listing and reading");
    shape.push_back(chosen->shape[i]);
  }
  const std::int64_t n = NDArray::checked_size(shape);

  std::optional<DType> held = dtype_of_data(raw->data_type);
  if (!held) throw corrupt("unknown data type");
  const std::size_t item = itemsize(*held);
  if (raw->data_size > 0 && static_cast<std::size_t>(raw->data_size) != item) throw corrupt("element size mismatch");

  mat_key = name;
  if (n == 0) {
    DType t = *held;
    if (raw->isLogical) t = DType::Bool;
    else if (raw->isComplex) t = *held == DType::Float32 ? DType::Complex64 : DType::Complex128;
    return NDArray::allocate(t, shape);
  }
  if (!raw->data) throw corrupt("no data");

  if (raw->isComplex) {
    if (*held != DType::Float64 && *held != DType::Float32 && !is_integer(*held)) throw corrupt("complex data type");
    const auto* split = static_cast<const mat_complex_split_t*>(raw->data);
    if (!split->Re || !split->Im) throw corrupt("no data");
    const DType out_t = *held == DType::Float32 ? DType::Complex64 : DType::Complex128;
    NDArray out = NDArray::allocate(out_t, shape);
    visit_dtype(*held, [&](auto v) {
      using T = decltype(v);
      if constexpr (std::is_arithmetic_v<T> && !std::is_same_v<T, bool>) {
        const T* re = static_cast<const T*>(split->Re);
        const T* im = static_cast<const T*>(split->Im);
        if (out_t == DType::Complex64) {
          auto* dst = reinterpret_cast<std::complex<float>*>(out.mutable_data());
          for (std::int64_t i = 0; i < n; ++i) dst[i] = {static_cast<float>(re[i]), static_cast<float>(im[i])};
        } else {
          auto* dst = reinterpret_cast<std::complex<double>*>(out.mutable_data());
          for (std::int64_t i = 0; i < n; ++i) dst[i] = {static_cast<double>(re[i]), static_cast<double>(im[i])};
        }
      }
    });
    return NDArray::view(out_t, shape, NDArray::f_strides(shape, itemsize(out_t)), out.mutable_data(),
                         out.keep_alive());
  }

  if (raw->nbytes < static_cast<std::size_t>(n) * item) throw corrupt("less data than its dimensions need");

  if (raw->isLogical) {
    if (item != 1) {
      NDArray out = NDArray::allocate(DType::Bool, shape);
      auto* b = reinterpret_cast<unsigned char*>(out.mutable_data());
      const auto* src = static_cast<const unsigned char*>(raw->data);
      for (std::int64_t i = 0; i < n; ++i) {
        bool nonzero = false;
        for (std::size_t k = 0; k < item; ++k) nonzero = nonzero || src[i * item + k] != 0;
        b[i] = nonzero;
      }
      return NDArray::view(DType::Bool, shape, NDArray::f_strides(shape, 1), out.mutable_data(), out.keep_alive());
    }
    auto* b = static_cast<unsigned char*>(raw->data);
    for (std::int64_t i = 0; i < n; ++i) b[i] = b[i] != 0;  // C++ bool must be 0 or 1
    return NDArray::view(DType::Bool, shape, NDArray::f_strides(shape, 1), static_cast<std::byte*>(raw->data), keep);
  }

  if (auto it = level5.vars.find(name); it != level5.vars.end()) {
    if (auto storage = dtype_of_mat_type(it->second.head.data_type); storage && *storage != *held)
      return convert_to_storage(raw->data, *held, *storage, n, shape, name, path);
  }
  return NDArray::view(*held, shape, NDArray::f_strides(shape, item), static_cast<std::byte*>(raw->data), keep);
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

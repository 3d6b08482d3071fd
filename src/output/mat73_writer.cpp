#include "output/mat73_writer.hpp"

#include <zlib.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <exception>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include <fmt/format.h>

#include "vexil/errors.hpp"
#include "output/atomic_file.hpp"
#include "output/column_gather.hpp"

#ifdef VEXIL_HAVE_HDF5
#include <hdf5.h>
#endif
#ifdef VEXIL_HAVE_ISAL
#include <isa-l/igzip_lib.h>
#endif

namespace vexil::output {
namespace {

constexpr std::size_t kUserBlockBytes = 512;
constexpr std::size_t kDefaultChunkBytes = std::size_t{4} << 20;
// HDF5 stores a chunk's compressed size in 32 bits; stay far below that.
constexpr std::size_t kMaxChunkBytes = std::size_t{256} << 20;
// Band planes smaller than this are grouped into one chunk. Kept at HDF5's
// default chunk cache size, so a reader going band by band inflates each
// grouped chunk once rather than once per band.
constexpr std::size_t kGroupBytes = std::size_t{1} << 20;

// The array as MATLAB sees it: at least two dimensions; the unit axes
// MATLAB adds have stride 0.
struct MatlabLayout {
  std::vector<std::int64_t> dims;
  std::vector<std::int64_t> strides;
};

MatlabLayout matlab_layout(const NDArray& a) {
  MatlabLayout m;
  if (a.ndim() == 0) {
    m.dims = {1, 1};
    m.strides = {0, 0};
  } else if (a.ndim() == 1) {
    // A 1-d array is a row; an empty one is 0x0, as the Level 5 writer has it.
    m.dims = a.shape()[0] == 0 ? std::vector<std::int64_t>{0, 0}
                               : std::vector<std::int64_t>{1, a.shape()[0]};
    m.strides = {0, a.strides()[0]};
  } else {
    m.dims = a.shape();
    m.strides = a.strides();
  }
  return m;
}

std::size_t resolve_chunk_cap(const Mat73Options& o) {
  const std::size_t cap = o.chunk_bytes == 0 ? kDefaultChunkBytes : o.chunk_bytes;
  return std::min(cap, kMaxChunkBytes);
}

// Chunk extents for dataset dims in HDF5 (reversed) order. The last two axes
// are one band plane (MATLAB's rows and columns): a chunk holds a whole plane
// when it fits, else an even split of it; planes are grouped along the next
// axis only while the group stays small.
std::vector<std::uint64_t> chunk_dims_for(const std::vector<std::uint64_t>& hdims, std::size_t item,
                                          std::size_t cap) {
  const std::size_t n = hdims.size();
  std::vector<std::uint64_t> chunk(n, 1);
  std::uint64_t inner = item;
  for (std::size_t k = n; k-- > 0;) {
    const std::uint64_t limit = std::max<std::uint64_t>(
        item, k + 2 >= n ? cap : std::min(cap, kGroupBytes));
    const std::uint64_t d = hdims[k];
    if (d <= limit / inner) {
      chunk[k] = d;
      inner *= d;
      continue;
    }
    const std::uint64_t most = std::max<std::uint64_t>(1, limit / inner);
    const std::uint64_t pieces = (d + most - 1) / most;
    chunk[k] = (d + pieces - 1) / pieces;
    break;
  }
  return chunk;
}

// What the chunk workers need: the dataset's geometry over the source array.
struct ChunkPlan {
  int n = 0;
  std::size_t item = 0;
  bool logical = false;
  const std::byte* base = nullptr;
  std::vector<std::uint64_t> hdims;    // HDF5 order
  std::vector<std::int64_t> hstrides;  // source byte strides in HDF5 order
  std::vector<std::uint64_t> chunk;
  std::vector<std::uint64_t> grid;     // chunks per axis
  std::uint64_t nchunks = 1;
  std::size_t chunk_bytes = 0;         // uncompressed bytes of a full chunk
  // Every chunk is one run of the column-major data (whole inner axes, one
  // partial axis, single steps outside), so it can be read through the
  // shared column gatherer, which gathers pixel-interleaved cubes band group
  // by band group. It splits complex elements, so those keep the own walk.
  std::shared_ptr<const ColumnGather> columns;

  // Element coordinates of a chunk's first element.
  void start_of(std::uint64_t index, std::uint64_t* start) const {
    for (int k = n; k-- > 0;) {
      start[k] = (index % grid[k]) * chunk[k];
      index /= grid[k];
    }
  }
};

ChunkPlan make_plan(const NDArray& a, const MatlabLayout& m, const Mat73Options& o) {
  ChunkPlan p;
  p.n = static_cast<int>(m.dims.size());
  p.item = a.itemsize();
  p.logical = a.dtype() == DType::Bool;
  p.base = a.data();
  for (int k = 0; k < p.n; ++k) {
    p.hdims.push_back(static_cast<std::uint64_t>(m.dims[p.n - 1 - k]));
    p.hstrides.push_back(m.strides[p.n - 1 - k]);
  }
  p.chunk = chunk_dims_for(p.hdims, p.item, resolve_chunk_cap(o));
  p.chunk_bytes = p.item;
  for (int k = 0; k < p.n; ++k) {
    p.grid.push_back((p.hdims[k] + p.chunk[k] - 1) / p.chunk[k]);
    p.nchunks *= p.grid.back();
    p.chunk_bytes *= p.chunk[k];
  }
  return p;
}

#ifdef VEXIL_HAVE_HDF5
bool chunks_are_runs(const ChunkPlan& p) {
  int k = p.n - 1;
  while (k >= 0 && p.chunk[k] == p.hdims[k]) --k;
  for (int j = k - 1; j >= 0; --j)
    if (p.chunk[j] != 1) return false;
  return true;
}
#endif

void check_name(std::string_view name) {
  if (name.empty()) throw BadInputError("a MAT-file variable needs a name");
  if (name.find('/') != std::string_view::npos || name.find('\0') != std::string_view::npos || name == ".")
    throw BadInputError(fmt::format("'{}' cannot name a MAT-file 7.3 variable", name));
}

#ifdef VEXIL_HAVE_HDF5

std::string_view matlab_class(DType t) {
  switch (t) {
    case DType::Bool: return "logical";
    case DType::Int8: return "int8";
    case DType::UInt8: return "uint8";
    case DType::Int16: return "int16";
    case DType::UInt16: return "uint16";
    case DType::Int32: return "int32";
    case DType::UInt32: return "uint32";
    case DType::Int64: return "int64";
    case DType::UInt64: return "uint64";
    case DType::Float32:
    case DType::Complex64: return "single";
    case DType::Float64:
    case DType::Complex128: break;
  }
  return "double";
}

DeflateMethod resolve_method(DeflateMethod m) {
  if (m == DeflateMethod::Auto) return isal_available() ? DeflateMethod::Isal : DeflateMethod::Zlib;
  if (m == DeflateMethod::Isal && !isal_available())
    throw BadInputError("ISA-L deflate was requested but this build has no ISA-L");
  return m;
}

// The defaults favour speed: the arrays written here are the largest ones.
int resolve_level(DeflateMethod m, int level) {
  if (m == DeflateMethod::Isal) {
    if (level < 0) return 1;
    if (level < 1 || level > 3) throw BadInputError("ISA-L deflate levels are 1 to 3");
    return level;
  }
  if (level < 0) return 1;
  if (level < 1 || level > 9) throw BadInputError("zlib deflate levels are 1 to 9");
  return level;
}

// Copies a rows x cols plane (dst row length `dst_cols` elements). When the
// source columns are not adjacent, rows are taken in tiles so each source
// cache line read serves the whole tile.
template <std::size_t N>
void copy_plane(const std::byte* src, std::int64_t srow, std::int64_t scol, std::int64_t rows,
                std::int64_t cols, std::byte* dst, std::int64_t dst_cols) {
  const std::int64_t drow = dst_cols * static_cast<std::int64_t>(N);
  if (scol == static_cast<std::int64_t>(N)) {
    for (std::int64_t r = 0; r < rows; ++r)
      std::memcpy(dst + r * drow, src + r * srow, static_cast<std::size_t>(cols) * N);
    return;
  }
  constexpr std::int64_t kTile = 16;
  for (std::int64_t r0 = 0; r0 < rows; r0 += kTile) {
    const std::int64_t rn = std::min(kTile, rows - r0);
    const std::byte* s0 = src + r0 * srow;
    std::byte* d0 = dst + r0 * drow;
    for (std::int64_t c = 0; c < cols; ++c) {
      const std::byte* s = s0 + c * scol;
      std::byte* d = d0 + c * static_cast<std::int64_t>(N);
      for (std::int64_t r = 0; r < rn; ++r) std::memcpy(d + r * drow, s + r * srow, N);
    }
  }
}

void copy_plane_any(std::size_t item, const std::byte* src, std::int64_t srow, std::int64_t scol,
                    std::int64_t rows, std::int64_t cols, std::byte* dst, std::int64_t dst_cols) {
  switch (item) {
    case 1: return copy_plane<1>(src, srow, scol, rows, cols, dst, dst_cols);
    case 2: return copy_plane<2>(src, srow, scol, rows, cols, dst, dst_cols);
    case 4: return copy_plane<4>(src, srow, scol, rows, cols, dst, dst_cols);
    case 8: return copy_plane<8>(src, srow, scol, rows, cols, dst, dst_cols);
    default: return copy_plane<16>(src, srow, scol, rows, cols, dst, dst_cols);
  }
}

// MATLAB's logical holds 0 or 1 only, whatever byte a bool arrived as.
void normalise_logical(std::byte* data, std::size_t len) {
  auto* b = reinterpret_cast<unsigned char*>(data);
  for (std::size_t i = 0; i < len; ++i) b[i] = b[i] != 0;
}

// Fills `out` (chunk_bytes) with chunk `index` in HDF5 C order, which is the
// column-major order of the MATLAB array; the part of an edge chunk beyond
// the dataset is zero, as direct chunk writes need whole chunks.
void gather_chunk(const ChunkPlan& p, std::uint64_t index, std::byte* out) {
  const int n = p.n;
  std::vector<std::uint64_t> start(n);
  std::vector<std::int64_t> ext(n);
  p.start_of(index, start.data());
  if (p.columns) {
    std::uint64_t first = 0, count = 1;
    for (int k = 0; k < n; ++k) {
      first = first * p.hdims[k] + start[k];
      count *= std::min(p.chunk[k], p.hdims[k] - start[k]);
    }
    const std::size_t len = static_cast<std::size_t>(count) * p.item;
    p.columns->read(first * p.item, len, out);
    std::memset(out + len, 0, p.chunk_bytes - len);
    if (p.logical) normalise_logical(out, len);
    return;
  }
  bool edge = false;
  const std::byte* src0 = p.base;
  for (int k = 0; k < n; ++k) {
    ext[k] = static_cast<std::int64_t>(std::min(p.chunk[k], p.hdims[k] - start[k]));
    edge = edge || static_cast<std::uint64_t>(ext[k]) < p.chunk[k];
    src0 += static_cast<std::int64_t>(start[k]) * p.hstrides[k];
  }
  if (edge) std::memset(out, 0, p.chunk_bytes);

  // Element stride of each chunk axis inside the chunk buffer.
  std::vector<std::int64_t> dstep(n);
  std::int64_t step = 1;
  for (int k = n; k-- > 0;) {
    dstep[k] = step;
    step *= static_cast<std::int64_t>(p.chunk[k]);
  }
  const int outer = n - 2;
  std::vector<std::int64_t> idx(outer, 0);
  for (;;) {
    const std::byte* src = src0;
    std::int64_t dst = 0;
    for (int k = 0; k < outer; ++k) {
      src += idx[k] * p.hstrides[k];
      dst += idx[k] * dstep[k];
    }
    copy_plane_any(p.item, src, p.hstrides[n - 2], p.hstrides[n - 1], ext[n - 2], ext[n - 1],
                   out + dst * static_cast<std::int64_t>(p.item),
                   static_cast<std::int64_t>(p.chunk[n - 1]));
    int k = outer - 1;
    for (; k >= 0; --k) {
      if (++idx[k] < ext[k]) break;
      idx[k] = 0;
    }
    if (k < 0) break;
  }
  if (p.logical) normalise_logical(out, p.chunk_bytes);
}

// One complete zlib stream per chunk, as HDF5's deflate filter stores it.
class Deflater {
 public:
  Deflater(DeflateMethod method, int level) : method_(method), level_(level) {
#ifdef VEXIL_HAVE_ISAL
    if (method_ == DeflateMethod::Isal) {
      isal_buf_size_ = level == 1 ? ISAL_DEF_LVL1_DEFAULT : level == 2 ? ISAL_DEF_LVL2_DEFAULT : ISAL_DEF_LVL3_DEFAULT;
      isal_buf_ = std::make_unique<std::uint8_t[]>(isal_buf_size_);
      isal_ = std::make_unique<isal_zstream>();
      return;
    }
#endif
    if (deflateInit(&z_, level) != Z_OK) throw std::bad_alloc();
    zlib_ready_ = true;
  }
  ~Deflater() {
    if (zlib_ready_) deflateEnd(&z_);
  }
  Deflater(const Deflater&) = delete;
  Deflater& operator=(const Deflater&) = delete;

  std::size_t compress(const std::byte* in, std::size_t len, std::vector<unsigned char>& out) {
#ifdef VEXIL_HAVE_ISAL
    if (method_ == DeflateMethod::Isal) return compress_isal(in, len, out);
#endif
    deflateReset(&z_);
    const std::size_t bound = deflateBound(&z_, static_cast<uLong>(len));
    if (out.size() < bound) out.resize(bound);
    z_.next_in = reinterpret_cast<Bytef*>(const_cast<std::byte*>(in));
    z_.avail_in = static_cast<uInt>(len);
    z_.next_out = out.data();
    z_.avail_out = static_cast<uInt>(out.size());
    if (deflate(&z_, Z_FINISH) != Z_STREAM_END) throw WriteError("zlib failed to compress a chunk");
    return out.size() - z_.avail_out;
  }

 private:
#ifdef VEXIL_HAVE_ISAL
  std::size_t compress_isal(const std::byte* in, std::size_t len, std::vector<unsigned char>& out) {
    isal_zstream* s = isal_.get();
    isal_deflate_init(s);
    s->level = static_cast<std::uint32_t>(level_);
    s->level_buf = isal_buf_.get();
    s->level_buf_size = isal_buf_size_;
    s->gzip_flag = IGZIP_ZLIB;
    s->end_of_stream = 1;
    s->flush = NO_FLUSH;
    s->next_in = reinterpret_cast<std::uint8_t*>(const_cast<std::byte*>(in));
    s->avail_in = static_cast<std::uint32_t>(len);
    if (out.size() < len + len / 8 + 1024) out.resize(len + len / 8 + 1024);
    std::size_t done = 0;
    for (;;) {
      s->next_out = out.data() + done;
      s->avail_out = static_cast<std::uint32_t>(out.size() - done);
      if (isal_deflate(s) != COMP_OK) throw WriteError("ISA-L failed to compress a chunk");
      done = out.size() - s->avail_out;
      if (s->internal_state.state == ZSTATE_END) return done;
      if (s->avail_out == 0) out.resize(out.size() * 2);
    }
  }
  std::uint32_t isal_buf_size_ = 0;
  std::unique_ptr<std::uint8_t[]> isal_buf_;
  std::unique_ptr<isal_zstream> isal_;
#endif
  DeflateMethod method_;
  int level_;
  z_stream z_{};
  bool zlib_ready_ = false;
};

struct Compressed {
  std::vector<unsigned char> bytes;
  std::size_t size = 0;
};

using ChunkSink = void (*)(void* ctx, std::uint64_t index, const unsigned char* data, std::size_t len);

// Gathers and deflates every chunk on `threads` workers and hands them to
// `sink` on the calling thread in chunk order (HDF5 is not thread-safe).
// At most 2 x threads chunks wait at any time.
void compress_chunks(const ChunkPlan& plan, int threads, DeflateMethod method, int level, ChunkSink sink,
                     void* ctx) {
  struct Shared {
    std::mutex m;
    std::condition_variable work_cv, ready_cv;
    std::uint64_t next_claim = 0;
    std::uint64_t next_write = 0;
    std::map<std::uint64_t, Compressed> ready;
    std::vector<Compressed> spare;
    std::exception_ptr error;
    bool stop = false;
  } sh;
  const std::uint64_t window = 2 * static_cast<std::uint64_t>(threads);

  auto fail = [&sh](std::exception_ptr e) {
    {
      std::lock_guard<std::mutex> lk(sh.m);
      if (!sh.error) sh.error = e;
      sh.stop = true;
    }
    sh.work_cv.notify_all();
    sh.ready_cv.notify_all();
  };

  auto worker = [&] {
    try {
      std::vector<std::byte> raw(plan.chunk_bytes);
      Deflater z(method, level);
      for (;;) {
        std::uint64_t index;
        Compressed c;
        {
          std::unique_lock<std::mutex> lk(sh.m);
          sh.work_cv.wait(lk, [&] {
            return sh.stop || sh.next_claim >= plan.nchunks || sh.next_claim < sh.next_write + window;
          });
          if (sh.stop || sh.next_claim >= plan.nchunks) return;
          index = sh.next_claim++;
          if (!sh.spare.empty()) {
            c = std::move(sh.spare.back());
            sh.spare.pop_back();
          }
        }
        gather_chunk(plan, index, raw.data());
        c.size = z.compress(raw.data(), raw.size(), c.bytes);
        {
          std::lock_guard<std::mutex> lk(sh.m);
          sh.ready.emplace(index, std::move(c));
        }
        sh.ready_cv.notify_one();
      }
    } catch (...) {
      fail(std::current_exception());
    }
  };

  std::vector<std::thread> pool;
  try {
    for (int t = 0; t < threads; ++t) pool.emplace_back(worker);
    for (std::uint64_t w = 0; w < plan.nchunks; ++w) {
      Compressed c;
      {
        std::unique_lock<std::mutex> lk(sh.m);
        sh.ready_cv.wait(lk, [&] { return sh.stop || sh.ready.count(w) != 0; });
        if (sh.stop) break;
        auto node = sh.ready.extract(w);
        c = std::move(node.mapped());
      }
      sink(ctx, w, c.bytes.data(), c.size);
      {
        std::lock_guard<std::mutex> lk(sh.m);
        sh.next_write = w + 1;
        sh.spare.push_back(std::move(c));
      }
      sh.work_cv.notify_all();
    }
  } catch (...) {
    fail(std::current_exception());
  }
  {
    std::lock_guard<std::mutex> lk(sh.m);
    sh.stop = true;
  }
  sh.work_cv.notify_all();
  for (auto& t : pool) t.join();
  if (sh.error) std::rethrow_exception(sh.error);
}

// "Tue Dec  8 04:06:48 2026", as C's asctime writes it, in English whatever the locale.
std::string created_on(std::time_t now) {
  static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  std::tm tm{};
  localtime_r(&now, &tm);
  return fmt::format("{} {} {:2d} {:02d}:{:02d}:{:02d} {}", kDays[tm.tm_wday % 7], kMonths[tm.tm_mon % 12],
                     tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, tm.tm_year + 1900);
}

std::vector<unsigned char> user_block() {
  std::vector<unsigned char> block(kUserBlockBytes, 0);
  const std::string text = fmt::format(
      "MATLAB 7.3 MAT-file, Platform: GLNXA64, Created on: {} HDF5 schema 1.00 .", created_on(std::time(nullptr)));
  std::memset(block.data(), ' ', 116);
  std::memcpy(block.data(), text.data(), std::min<std::size_t>(text.size(), 116));
  // Bytes 116..123 (subsystem data offset) stay zero; version 0x0200 and the
  // endian indicator follow as MATLAB writes them on little-endian hosts.
  block[124] = 0x00;
  block[125] = 0x02;
  block[126] = 'I';
  block[127] = 'M';
  return block;
}

// An HDF5 identifier closed on scope exit.
class H5Handle {
 public:
  using Closer = herr_t (*)(hid_t);
  H5Handle(hid_t id, Closer close) : id_(id), close_(close) {}
  ~H5Handle() { reset(); }
  H5Handle(const H5Handle&) = delete;
  H5Handle& operator=(const H5Handle&) = delete;
  hid_t get() const { return id_; }
  bool valid() const { return id_ >= 0; }
  // Closes now; false when HDF5 reports a failure (a file's last flush).
  bool reset() {
    bool ok = true;
    if (id_ >= 0) ok = close_(id_) >= 0;
    id_ = -1;
    return ok;
  }

 private:
  hid_t id_;
  Closer close_;
};

// Keeps HDF5 from printing its error stack; our exceptions carry the message.
class QuietHdf5 {
 public:
  QuietHdf5() {
    H5Eget_auto2(H5E_DEFAULT, &func_, &data_);
    H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);
  }
  ~QuietHdf5() { H5Eset_auto2(H5E_DEFAULT, func_, data_); }
  QuietHdf5(const QuietHdf5&) = delete;
  QuietHdf5& operator=(const QuietHdf5&) = delete;

 private:
  H5E_auto2_t func_ = nullptr;
  void* data_ = nullptr;
};

herr_t innermost_error(unsigned n, const H5E_error2_t* err, void* out) {
  if (n == 0 && err && err->desc) *static_cast<std::string*>(out) = err->desc;
  return 0;
}

[[noreturn]] void hdf5_failed(const std::string& path, std::string_view what) {
  std::string detail;
  H5Ewalk2(H5E_DEFAULT, H5E_WALK_UPWARD, innermost_error, &detail);
  throw WriteError(fmt::format("cannot write '{}': HDF5 could not {}{}", path, what,
                            detail.empty() ? std::string() : fmt::format(" ({})", detail)));
}

hid_t element_type(DType t) {
  switch (t) {
    case DType::Bool:
    case DType::UInt8: return H5T_NATIVE_UINT8;
    case DType::Int8: return H5T_NATIVE_INT8;
    case DType::Int16: return H5T_NATIVE_INT16;
    case DType::UInt16: return H5T_NATIVE_UINT16;
    case DType::Int32: return H5T_NATIVE_INT32;
    case DType::UInt32: return H5T_NATIVE_UINT32;
    case DType::Int64: return H5T_NATIVE_INT64;
    case DType::UInt64: return H5T_NATIVE_UINT64;
    case DType::Float32:
    case DType::Complex64: return H5T_NATIVE_FLOAT;
    case DType::Float64:
    case DType::Complex128: break;
  }
  return H5T_NATIVE_DOUBLE;
}

void add_class_attribute(hid_t obj, std::string_view cls, const std::string& path) {
  // Fixed-length ASCII of exactly the text's length, as MATLAB stores it.
  H5Handle type(H5Tcopy(H5T_C_S1), H5Tclose);
  if (!type.valid() || H5Tset_size(type.get(), cls.size()) < 0) hdf5_failed(path, "create a string type");
  H5Handle space(H5Screate(H5S_SCALAR), H5Sclose);
  H5Handle attr(H5Acreate2(obj, "MATLAB_class", type.get(), space.get(), H5P_DEFAULT, H5P_DEFAULT), H5Aclose);
  if (!attr.valid() || H5Awrite(attr.get(), type.get(), cls.data()) < 0)
    hdf5_failed(path, "write the MATLAB_class attribute");
}

template <class T>
void add_scalar_attribute(hid_t obj, const char* name, hid_t type, T value, const std::string& path) {
  H5Handle space(H5Screate(H5S_SCALAR), H5Sclose);
  H5Handle attr(H5Acreate2(obj, name, type, space.get(), H5P_DEFAULT, H5P_DEFAULT), H5Aclose);
  if (!attr.valid() || H5Awrite(attr.get(), type, &value) < 0)
    hdf5_failed(path, fmt::format("write the {} attribute", name));
}

struct DirectWrite {
  hid_t dset;
  const ChunkPlan* plan;
  const std::string* path;
};

void write_chunk(void* ctx, std::uint64_t index, const unsigned char* data, std::size_t len) {
  auto* w = static_cast<DirectWrite*>(ctx);
  std::vector<hsize_t> offset(w->plan->n);
  std::vector<std::uint64_t> start(w->plan->n);
  w->plan->start_of(index, start.data());
  std::copy(start.begin(), start.end(), offset.begin());
  if (H5Dwrite_chunk(w->dset, H5P_DEFAULT, 0, offset.data(), len, data) < 0)
    hdf5_failed(*w->path, "write a chunk");
}

void write_hdf5_body(const std::string& tmp, const std::string& path, std::string_view name,
                     const NDArray& array, const Mat73Options& options) {
  const MatlabLayout m = matlab_layout(array);
  const std::string key(name);

  H5Handle fcpl(H5Pcreate(H5P_FILE_CREATE), H5Pclose);
  if (!fcpl.valid() || H5Pset_userblock(fcpl.get(), kUserBlockBytes) < 0)
    hdf5_failed(path, "reserve the MAT-file header");
  H5Handle fapl(H5Pcreate(H5P_FILE_ACCESS), H5Pclose);
  if (!fapl.valid() || H5Pset_fclose_degree(fapl.get(), H5F_CLOSE_STRONG) < 0)
    hdf5_failed(path, "set up file access");
  H5Handle file(H5Fcreate(tmp.c_str(), H5F_ACC_TRUNC, fcpl.get(), fapl.get()), H5Fclose);
  if (!file.valid()) hdf5_failed(path, "create the file");

  if (array.empty()) {
    // MATLAB keeps an empty array as its dimensions, flagged MATLAB_empty.
    std::vector<std::uint64_t> dims(m.dims.begin(), m.dims.end());
    const hsize_t rank = dims.size();
    H5Handle space(H5Screate_simple(1, &rank, nullptr), H5Sclose);
    H5Handle dset(H5Dcreate2(file.get(), key.c_str(), H5T_NATIVE_UINT64, space.get(), H5P_DEFAULT, H5P_DEFAULT,
                             H5P_DEFAULT),
                  H5Dclose);
    if (!dset.valid()) hdf5_failed(path, fmt::format("create the dataset '{}'", key));
    if (H5Dwrite(dset.get(), H5T_NATIVE_UINT64, H5S_ALL, H5S_ALL, H5P_DEFAULT, dims.data()) < 0)
      hdf5_failed(path, "write the dimensions of an empty array");
    add_class_attribute(dset.get(), matlab_class(array.dtype()), path);
    add_scalar_attribute<std::uint8_t>(dset.get(), "MATLAB_empty", H5T_NATIVE_UINT8, 1, path);
    if (array.dtype() == DType::Bool)
      add_scalar_attribute<std::int32_t>(dset.get(), "MATLAB_int_decode", H5T_NATIVE_INT32, 1, path);
    if (!dset.reset()) hdf5_failed(path, "close the dataset");
    if (!file.reset()) hdf5_failed(path, "finish the file");
    return;
  }

  ChunkPlan plan = make_plan(array, m, options);
  // Measured on a 256 MiB uint16 cube: the own tiled walk costs half the
  // CPU of the shared gatherer on band-sequential views, while the shared
  // gatherer's band groups win on pixel-interleaved ones.
  const bool pixel_interleaved = plan.n == 3 && plan.hstrides[0] == static_cast<std::int64_t>(plan.item) &&
                                 plan.hdims[0] >= 4;
  if (pixel_interleaved && !is_complex(array.dtype()) && chunks_are_runs(plan))
    plan.columns = std::make_shared<ColumnGather>(array);
  const DeflateMethod method = resolve_method(options.method);
  const int level = resolve_level(method, options.level);

  const hid_t component = element_type(array.dtype());
  const bool complex = is_complex(array.dtype());
  H5Handle compound(complex ? H5Tcreate(H5T_COMPOUND, array.itemsize()) : -1, H5Tclose);
  hid_t type = component;
  if (complex) {
    const std::size_t half = array.itemsize() / 2;
    if (!compound.valid() || H5Tinsert(compound.get(), "real", 0, component) < 0 ||
        H5Tinsert(compound.get(), "imag", half, component) < 0)
      hdf5_failed(path, "create the complex type");
    type = compound.get();
  }

  std::vector<hsize_t> hdims(plan.hdims.begin(), plan.hdims.end());
  std::vector<hsize_t> chunk(plan.chunk.begin(), plan.chunk.end());
  H5Handle space(H5Screate_simple(plan.n, hdims.data(), nullptr), H5Sclose);
  if (!space.valid()) hdf5_failed(path, "create the dataspace");
  H5Handle dcpl(H5Pcreate(H5P_DATASET_CREATE), H5Pclose);
  if (!dcpl.valid() || H5Pset_chunk(dcpl.get(), plan.n, chunk.data()) < 0 ||
      H5Pset_deflate(dcpl.get(), static_cast<unsigned>(level)) < 0 ||
      H5Pset_fill_time(dcpl.get(), H5D_FILL_TIME_NEVER) < 0)
    hdf5_failed(path, "set up chunked deflate storage");
  H5Handle dset(H5Dcreate2(file.get(), key.c_str(), type, space.get(), H5P_DEFAULT, dcpl.get(), H5P_DEFAULT),
                H5Dclose);
  if (!dset.valid()) hdf5_failed(path, fmt::format("create the dataset '{}'", key));
  add_class_attribute(dset.get(), matlab_class(array.dtype()), path);
  if (array.dtype() == DType::Bool)
    add_scalar_attribute<std::int32_t>(dset.get(), "MATLAB_int_decode", H5T_NATIVE_INT32, 1, path);

  int threads = options.threads > 0 ? options.threads : static_cast<int>(std::thread::hardware_concurrency());
  threads = static_cast<int>(std::clamp<std::uint64_t>(static_cast<std::uint64_t>(std::max(threads, 1)), 1,
                                                       plan.nchunks));
  DirectWrite ctx{dset.get(), &plan, &path};
  compress_chunks(plan, threads, method, level, write_chunk, &ctx);

  if (!dset.reset()) hdf5_failed(path, "close the dataset");
  if (!file.reset()) hdf5_failed(path, "finish the file");
}

#endif  // VEXIL_HAVE_HDF5

}  // namespace

bool mat73_available() {
#ifdef VEXIL_HAVE_HDF5
  return true;
#else
  return false;
#endif
}

std::vector<std::uint64_t> mat73_chunk_dims(const NDArray& array, const Mat73Options& options) {
  if (array.empty()) return {};
  return make_plan(array, matlab_layout(array), options).chunk;
}

void write_mat73(const std::string& path, std::string_view name, const NDArray& array,
                 const Mat73Options& options) {
  AtomicFile out(path);
  write_mat73(out, name, array, options);
  out.commit();
}

void write_mat73(AtomicFile& out, std::string_view name, const NDArray& array, const Mat73Options& options) {
  check_name(name);
  const std::string& path = out.final_path();
#ifdef VEXIL_HAVE_HDF5
  // HDF5 rewrites the (empty) temporary file through its own descriptor; the
  // header goes into the user block it leaves free once HDF5 is done.
  {
    QuietHdf5 quiet;
    write_hdf5_body(out.temp_path(), path, name, array, options);
  }
  const auto block = user_block();
  out.write_at(0, block.data(), block.size());
#else
  (void)out;
  (void)array;
  (void)options;
  throw WriteError(fmt::format(
      "cannot write '{}': MAT-file 7.3 output needs HDF5, and this build has none "
      "(install libhdf5-dev and rebuild)",
      path));
#endif
}

}  // namespace vexil::output
